#include "Protocol/Validation.h"

#include "Platform/RegularExpression.h"
#include "Platform/UnicodeText.h"
#include "Protocol/HelperError.h"

#include <algorithm>
#include <stdexcept>

namespace bix::ax {
namespace {

bool contains(std::span<const std::string_view> keys, std::string_view key) {
    return std::find(keys.begin(), keys.end(), key) != keys.end();
}

[[noreturn]] void failInvalid(std::string_view key) {
    std::string message = "Invalid ";
    message += key;
    message += '.';
    throw HelperProtocolError(HelperErrorCode::invalidRequest, std::move(message));
}

} // namespace

void Validation::exactKeys(const JSONObject& object, std::span<const std::string_view> required,
                           std::span<const std::string_view> optional) {
    std::size_t requiredPresent = 0;
    for (const auto& member : object) {
        if (contains(required, member.first)) {
            ++requiredPresent;
        } else if (!contains(optional, member.first)) {
            throw HelperProtocolError(HelperErrorCode::invalidRequest,
                                      "Unexpected or missing fields.");
        }
    }
    // Keys of an object are unique, so counting the required ones found proves all are there
    // as long as the required list itself has no repeats.
    std::size_t requiredDistinct = 0;
    for (std::size_t i = 0; i < required.size(); ++i) {
        if (!contains(required.first(i), required[i])) {
            ++requiredDistinct;
        }
    }
    if (requiredPresent != requiredDistinct) {
        throw HelperProtocolError(HelperErrorCode::invalidRequest, "Unexpected or missing fields.");
    }
}

void Validation::exactKeys(const JSONObject& object,
                           std::initializer_list<std::string_view> required,
                           std::initializer_list<std::string_view> optional) {
    exactKeys(object, std::span<const std::string_view>(required.begin(), required.size()),
              std::span<const std::string_view>(optional.begin(), optional.size()));
}

std::string Validation::boundedText(const JSONValue* value, std::string_view key,
                                    std::size_t maximumBytes, Pattern pattern) {
    const std::string* text = value != nullptr ? value->stringValue() : nullptr;
    if (text == nullptr || text->empty() || text->size() > maximumBytes ||
        !UnicodeText::isNFC(*text) || !matches(pattern, *text)) {
        failInvalid(key);
    }
    return *text;
}

std::string Validation::boundedText(const JSONObject& object, std::string_view key,
                                    std::size_t maximumBytes, Pattern pattern) {
    return boundedText(jsonValue(object, key), key, maximumBytes, pattern);
}

bool Validation::matches(Pattern pattern, std::string_view text) {
    if (pattern == Pattern::none) {
        return true;
    }
    return regularExpression(pattern).firstMatchCoversWhole(text);
}

const RegularExpression& Validation::regularExpression(Pattern pattern) {
    switch (pattern) {
    case Pattern::opaque: {
        static const RegularExpression expression("^[A-Za-z0-9_-]{1,128}$");
        return expression;
    }
    case Pattern::processNonce: {
        static const RegularExpression expression("^[A-Za-z0-9_-]{16,128}$");
        return expression;
    }
    case Pattern::profileId: {
        static const RegularExpression expression("^[A-Za-z0-9][A-Za-z0-9._:-]{2,127}$");
        return expression;
    }
    case Pattern::hash: {
        static const RegularExpression expression("^[a-f0-9]{64}$");
        return expression;
    }
    case Pattern::bundle: {
        static const RegularExpression expression(
            "^(?=.{3,255}$)[A-Za-z0-9-]+(?:\\.[A-Za-z0-9-]+)+$");
        return expression;
    }
    case Pattern::axName: {
        static const RegularExpression expression("^AX[A-Za-z0-9]{1,63}$");
        return expression;
    }
    case Pattern::none:
        break;
    }
    throw std::logic_error("Validation::regularExpression called without a pattern");
}

} // namespace bix::ax
