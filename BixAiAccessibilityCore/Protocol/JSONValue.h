#pragma once

#include <concepts>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace bix {

class JSONValue;

// Members of a JSON object: unique keys, kept in ascending byte order of the key (the order the
// canonical encoder writes them in). Transparent comparison allows lookups by string_view.
using JSONObject = std::map<std::string, JSONValue, std::less<>>;
using JSONArray = std::vector<JSONValue>;

// One JSON value: the value type of requests, results, profiles and locators. Equality is
// structural; an integer and a double are never equal, even when numerically the same. Strings
// are UTF-8; those produced by StrictJSONParser are in NFC. Doubles are meant to be finite (the
// parser never produces others; the encoder refuses them).
class JSONValue {
public:
    enum class Kind { boolean, integer, floatingPoint, string, array, object, null };

    JSONValue() noexcept : storage_(std::monostate{}) {}
    JSONValue(std::nullptr_t) noexcept : storage_(std::monostate{}) {}
    JSONValue(bool value) noexcept : storage_(value) {}
    template <std::integral T>
    requires(!std::same_as<T, bool>) JSONValue(T value)
    noexcept : storage_(static_cast<std::int64_t>(value)) {}
    JSONValue(double value) noexcept : storage_(value) {}
    JSONValue(std::string value) noexcept : storage_(std::move(value)) {}
    JSONValue(std::string_view value) : storage_(std::string(value)) {}
    JSONValue(const char* value) : storage_(std::string(value)) {}
    JSONValue(JSONArray value) noexcept : storage_(std::move(value)) {}
    JSONValue(JSONObject value) noexcept : storage_(std::move(value)) {}

    Kind kind() const noexcept;
    bool isNull() const noexcept { return std::holds_alternative<std::monostate>(storage_); }

    // Each returns the payload, or nothing when the value is of another kind. There is no
    // accessor for doubles: no request field is a floating number.
    std::optional<bool> boolValue() const noexcept;
    std::optional<std::int64_t> intValue() const noexcept;
    const std::string* stringValue() const noexcept;
    const JSONArray* arrayValue() const noexcept;
    const JSONObject* objectValue() const noexcept;

    // Mutable access for building values in place; nothing when the kind differs.
    JSONArray* mutableArrayValue() noexcept { return std::get_if<JSONArray>(&storage_); }
    JSONObject* mutableObjectValue() noexcept { return std::get_if<JSONObject>(&storage_); }

    // The double payload, for the encoder and tests; nothing for any other kind.
    std::optional<double> doubleValue() const noexcept;

    friend bool operator==(const JSONValue& a, const JSONValue& b) = default;

private:
    std::variant<bool, std::int64_t, double, std::string, JSONArray, JSONObject, std::monostate>
        storage_;
};

// The value stored under `key`, or nullptr when the object has no such member.
const JSONValue* jsonValue(const JSONObject& object, std::string_view key);

// The strict, bounded JSON parser every request passes through. Accepts only RFC 8259 JSON with
// NFC strings, unique keys, no leading zeros and no trailing data; refuses anything deeper than
// `maximumDepth` (the top-level value is depth 0) or holding more than `maximumNodes` values.
// Every refusal is a HelperProtocolError with code invalidJSON and a fixed message. Stateless
// between calls, so one parser may serve any number of parses (and threads).
class StrictJSONParser {
public:
    StrictJSONParser(int maximumDepth, int maximumNodes)
        : maximumDepth_(maximumDepth), maximumNodes_(maximumNodes) {}

    JSONValue parse(std::string_view data) const;

    int maximumDepth() const noexcept { return maximumDepth_; }
    int maximumNodes() const noexcept { return maximumNodes_; }

private:
    int maximumDepth_;
    int maximumNodes_;
};

// Canonical compact JSON: object members sorted by key, no whitespace, the solidus unescaped,
// doubles in shortest round-trip form. No size limit (HelperProtocolEncoder adds the frame limit).
// Throws HelperProtocolError (internalFailure) for a non-finite double, which JSON cannot carry.
std::string encodeCanonicalJSON(const JSONValue& value);

} // namespace bix
