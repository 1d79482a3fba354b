#include "Protocol/CanonicalJSONEncoder.h"

#include "Protocol/HelperError.h"
#include "Protocol/JSONValue.h"

#include <charconv>
#include <cmath>

namespace bix::ax {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

bool needsEscape(unsigned char byte) {
    return byte < 0x20 || byte == '"' || byte == '\\';
}

void appendEscaped(std::string& out, unsigned char byte) {
    switch (byte) {
    case '"':
        out += "\\\"";
        return;
    case '\\':
        out += "\\\\";
        return;
    case '\b':
        out += "\\b";
        return;
    case '\f':
        out += "\\f";
        return;
    case '\n':
        out += "\\n";
        return;
    case '\r':
        out += "\\r";
        return;
    case '\t':
        out += "\\t";
        return;
    default:
        out += "\\u00";
        out += kHexDigits[byte >> 4];
        out += kHexDigits[byte & 0x0F];
        return;
    }
}

void appendString(std::string& out, std::string_view text) {
    out += '"';
    std::size_t runStart = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (needsEscape(byte)) {
            out.append(text, runStart, i - runStart);
            appendEscaped(out, byte);
            runStart = i + 1;
        }
    }
    out.append(text, runStart, text.size() - runStart);
    out += '"';
}

void appendInteger(std::string& out, std::int64_t value) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

void appendDouble(std::string& out, double value) {
    if (!std::isfinite(value)) {
        // JSON has no spelling for infinities or NaN; refusing beats writing invalid JSON.
        throw HelperProtocolError(HelperErrorCode::internalFailure, "The helper failed safely.");
    }
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

void appendValue(std::string& out, const JSONValue& value);

void appendArray(std::string& out, const JSONArray& array) {
    out += '[';
    bool first = true;
    for (const JSONValue& element : array) {
        if (!first) {
            out += ',';
        }
        first = false;
        appendValue(out, element);
    }
    out += ']';
}

void appendObject(std::string& out, const JSONObject& object) {
    // JSONObject keeps its keys in ascending byte order, which is the canonical member order.
    out += '{';
    bool first = true;
    for (const auto& [key, member] : object) {
        if (!first) {
            out += ',';
        }
        first = false;
        appendString(out, key);
        out += ':';
        appendValue(out, member);
    }
    out += '}';
}

void appendValue(std::string& out, const JSONValue& value) {
    switch (value.kind()) {
    case JSONValue::Kind::boolean:
        out += *value.boolValue() ? "true" : "false";
        return;
    case JSONValue::Kind::integer:
        appendInteger(out, *value.intValue());
        return;
    case JSONValue::Kind::floatingPoint:
        appendDouble(out, *value.doubleValue());
        return;
    case JSONValue::Kind::string:
        appendString(out, *value.stringValue());
        return;
    case JSONValue::Kind::array:
        appendArray(out, *value.arrayValue());
        return;
    case JSONValue::Kind::object:
        appendObject(out, *value.objectValue());
        return;
    case JSONValue::Kind::null:
        out += "null";
        return;
    }
}

} // namespace

std::string encodeCanonicalJSON(const JSONValue& value) {
    std::string out;
    appendValue(out, value);
    return out;
}

} // namespace bix::ax
