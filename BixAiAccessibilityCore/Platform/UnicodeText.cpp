#include "Platform/UnicodeText.h"

#include <stdexcept>
#include <unicode/normalizer2.h>
#include <unicode/stringpiece.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

namespace bix::ax {
namespace {

const icu::Normalizer2& nfc() {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* normalizer = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status) || normalizer == nullptr) {
        // ICU's data is linked into the library; failing here means a broken installation.
        throw std::logic_error("ICU NFC data is unavailable");
    }
    return *normalizer;
}

// Every scalar below U+0300 is a starter that is unchanged by NFC and never combines with what
// precedes it, so text made only of such scalars is already in NFC. In UTF-8 those are exactly
// the sequences whose lead byte is below 0xCC.
bool hasOnlyScalarsBelowCombiningMarks(std::string_view utf8) {
    for (unsigned char byte : utf8) {
        if (byte >= 0xCC) {
            return false;
        }
    }
    return true;
}

bool isASCII(std::string_view utf8) {
    for (unsigned char byte : utf8) {
        if (byte >= 0x80) {
            return false;
        }
    }
    return true;
}

} // namespace

bool UnicodeText::isNFC(std::string_view utf8) {
    if (hasOnlyScalarsBelowCombiningMarks(utf8)) {
        return true;
    }
    UErrorCode status = U_ZERO_ERROR;
    const bool normalized = nfc().isNormalizedUTF8(
        icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())), status);
    return U_SUCCESS(status) && normalized;
}

std::string UnicodeText::toNFC(std::string_view utf8) {
    if (isASCII(utf8)) {
        return std::string(utf8);
    }
    const icu::UnicodeString source = icu::UnicodeString::fromUTF8(
        icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
    UErrorCode status = U_ZERO_ERROR;
    const icu::UnicodeString composed = nfc().normalize(source, status);
    std::string out;
    if (U_FAILURE(status)) {
        source.toUTF8String(out);
        return out;
    }
    composed.toUTF8String(out);
    return out;
}

std::string UnicodeText::trimWhitespaceAndNewlines(std::string_view utf8) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(utf8.data());
    const auto length = static_cast<int32_t>(utf8.size());
    int32_t begin = 0;
    while (begin < length) {
        int32_t next = begin;
        UChar32 scalar = 0;
        U8_NEXT(bytes, next, length, scalar);
        if (scalar < 0 || !u_isUWhiteSpace(scalar)) {
            break;
        }
        begin = next;
    }
    int32_t end = length;
    while (end > begin) {
        int32_t previous = end;
        UChar32 scalar = 0;
        U8_PREV(bytes, begin, previous, scalar);
        if (scalar < 0 || !u_isUWhiteSpace(scalar)) {
            break;
        }
        end = previous;
    }
    return std::string(utf8.substr(static_cast<size_t>(begin), static_cast<size_t>(end - begin)));
}

bool UnicodeText::containsControlOrFormat(std::string_view utf8) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(utf8.data());
    const auto length = static_cast<int32_t>(utf8.size());
    int32_t index = 0;
    while (index < length) {
        UChar32 scalar = 0;
        U8_NEXT(bytes, index, length, scalar);
        if (scalar < 0) {
            continue; // ill-formed bytes are not scalars of any category
        }
        const int8_t category = u_charType(scalar);
        if (category == U_CONTROL_CHAR || category == U_FORMAT_CHAR) {
            return true;
        }
    }
    return false;
}

} // namespace bix::ax
