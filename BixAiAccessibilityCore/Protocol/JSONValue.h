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

namespace bix::ax {

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

} // namespace bix::ax
