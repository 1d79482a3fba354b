#include "Platform/LocalizedTextOrder.h"

#include <string_view>
#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/stringpiece.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>

namespace bix::ax {

namespace {

// The C/POSIX locale (no user preference; ICU calls it en_US_POSIX) carries a collation tailoring
// in plain ASCII order, upper case first, which is not case-insensitive at any strength. It stands
// for "no locale chosen", so the locale-neutral root collation is used instead.
icu::Locale collationLocale() {
    icu::Locale locale = icu::Locale::getDefault();
    if (std::string_view(locale.getVariant()) == "POSIX") {
        return icu::Locale::getRoot();
    }
    return locale;
}

// Used only when no collator is available (missing locale data): full case folding, then code
// point order, which still ignores letter case.
int compareFolded(std::string_view a, std::string_view b) {
    auto left = icu::UnicodeString::fromUTF8(icu::StringPiece(a.data(), a.size()));
    auto right = icu::UnicodeString::fromUTF8(icu::StringPiece(b.data(), b.size()));
    return left.caseCompare(right, U_FOLD_CASE_DEFAULT);
}

} // namespace

struct LocalizedTextOrder::Collation {
    std::unique_ptr<icu::Collator> collator;
};

LocalizedTextOrder::LocalizedTextOrder() {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Collator> collator(
        icu::Collator::createInstance(collationLocale(), status));
    if (U_FAILURE(status) || collator == nullptr) {
        return;
    }
    // Secondary strength: base letters and accents count, letter case does not.
    collator->setStrength(icu::Collator::SECONDARY);
    collation_ = std::make_unique<Collation>(Collation{std::move(collator)});
}

LocalizedTextOrder::~LocalizedTextOrder() = default;

int LocalizedTextOrder::compare(std::string_view a, std::string_view b) const {
    if (collation_ == nullptr) {
        return compareFolded(a, b);
    }
    UErrorCode status = U_ZERO_ERROR;
    UCollationResult result = collation_->collator->compareUTF8(
        icu::StringPiece(a.data(), a.size()), icu::StringPiece(b.data(), b.size()), status);
    if (U_FAILURE(status)) {
        return compareFolded(a, b);
    }
    return static_cast<int>(result);
}

} // namespace bix::ax
