#include "Protocol/JSONValue.h"

namespace bix::ax {

JSONValue::Kind JSONValue::kind() const noexcept {
    switch (storage_.index()) {
    case 0:
        return Kind::boolean;
    case 1:
        return Kind::integer;
    case 2:
        return Kind::floatingPoint;
    case 3:
        return Kind::string;
    case 4:
        return Kind::array;
    case 5:
        return Kind::object;
    default:
        return Kind::null;
    }
}

std::optional<bool> JSONValue::boolValue() const noexcept {
    if (const bool* value = std::get_if<bool>(&storage_)) {
        return *value;
    }
    return std::nullopt;
}

std::optional<std::int64_t> JSONValue::intValue() const noexcept {
    if (const std::int64_t* value = std::get_if<std::int64_t>(&storage_)) {
        return *value;
    }
    return std::nullopt;
}

std::optional<double> JSONValue::doubleValue() const noexcept {
    if (const double* value = std::get_if<double>(&storage_)) {
        return *value;
    }
    return std::nullopt;
}

const std::string* JSONValue::stringValue() const noexcept {
    return std::get_if<std::string>(&storage_);
}

const JSONArray* JSONValue::arrayValue() const noexcept {
    return std::get_if<JSONArray>(&storage_);
}

const JSONObject* JSONValue::objectValue() const noexcept {
    return std::get_if<JSONObject>(&storage_);
}

const JSONValue* jsonValue(const JSONObject& object, std::string_view key) {
    const auto found = object.find(key);
    return found == object.end() ? nullptr : &found->second;
}

} // namespace bix::ax
