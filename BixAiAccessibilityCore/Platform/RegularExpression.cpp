#include "Platform/RegularExpression.h"

#include <stdexcept>
#include <string>
#include <unicode/regex.h>
#include <unicode/stringpiece.h>
#include <unicode/unistr.h>

namespace bix::ax {

struct RegularExpression::Compiled {
    std::unique_ptr<icu::RegexPattern> pattern;
};

namespace {

icu::UnicodeString fromUTF8(std::string_view utf8) {
    return icu::UnicodeString::fromUTF8(
        icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
}

} // namespace

RegularExpression::RegularExpression(std::string_view pattern)
    : compiled_(std::make_unique<Compiled>()) {
    UErrorCode status = U_ZERO_ERROR;
    UParseError parseError{};
    compiled_->pattern.reset(icu::RegexPattern::compile(fromUTF8(pattern), 0, parseError, status));
    if (U_FAILURE(status) || !compiled_->pattern) {
        throw std::logic_error("regular expression does not compile: " + std::string(pattern));
    }
}

RegularExpression::~RegularExpression() = default;

bool RegularExpression::firstMatchCoversWhole(std::string_view utf8) const {
    const icu::UnicodeString text = fromUTF8(utf8);
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> matcher(compiled_->pattern->matcher(text, status));
    if (U_FAILURE(status) || !matcher->find(status) || U_FAILURE(status)) {
        return false;
    }
    const int32_t start = matcher->start(status);
    const int32_t end = matcher->end(status);
    return U_SUCCESS(status) && start == 0 && end == text.length();
}

bool RegularExpression::matchesAnywhere(std::string_view utf8) const {
    const icu::UnicodeString text = fromUTF8(utf8);
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> matcher(compiled_->pattern->matcher(text, status));
    if (U_FAILURE(status)) {
        return false;
    }
    const bool found = matcher->find(status);
    return U_SUCCESS(status) && found;
}

} // namespace bix::ax
