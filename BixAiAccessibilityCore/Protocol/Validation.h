#pragma once

#include "Protocol/JSONValue.h"

#include <cstddef>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

namespace bix::ax {

class RegularExpression;

// The checks every request field passes: exact key sets, bounded NFC text and six fixed
// identifier patterns. Failures throw HelperProtocolError (invalidRequest) with messages that
// never echo the offending input. The patterns are compiled once, on first use, and shared.
class Validation {
public:
    Validation() = delete;

    enum class Pattern {
        none,         // no pattern: any bounded NFC text
        opaque,       // ^[A-Za-z0-9_-]{1,128}$: request ids and opaque identifiers
        processNonce, // ^[A-Za-z0-9_-]{16,128}$
        profileId,    // ^[A-Za-z0-9][A-Za-z0-9._:-]{2,127}$
        hash,         // ^[a-f0-9]{64}$: lowercase SHA-256 hex (profile hashes, fingerprints)
        bundle,       // ^(?=.{3,255}$)[A-Za-z0-9-]+(?:\.[A-Za-z0-9-]+)+$: bundle identifiers
        axName,       // ^AX[A-Za-z0-9]{1,63}$: accessibility role, subrole and action names
    };

    // Passes when every required key is present and every present key is required or optional;
    // otherwise throws "Unexpected or missing fields." (never naming the key).
    static void exactKeys(const JSONObject& object, std::span<const std::string_view> required,
                          std::span<const std::string_view> optional = {});
    static void exactKeys(const JSONObject& object,
                          std::initializer_list<std::string_view> required,
                          std::initializer_list<std::string_view> optional = {});

    // Returns the string when `value` is a non-empty JSON string of at most `maximumBytes` UTF-8
    // bytes, in NFC, and (unless `pattern` is none) wholly matched by the pattern; otherwise
    // throws "Invalid <key>.". `value` may be null (an absent member).
    static std::string boundedText(const JSONValue* value, std::string_view key,
                                   std::size_t maximumBytes, Pattern pattern);
    // The same for the member `key` of `object`.
    static std::string boundedText(const JSONObject& object, std::string_view key,
                                   std::size_t maximumBytes, Pattern pattern);

    // True when the first match of `pattern` in `text` covers all of `text` (none: always true).
    static bool matches(Pattern pattern, std::string_view text);

    // The compiled expression of a pattern other than none.
    static const RegularExpression& regularExpression(Pattern pattern);
};

} // namespace bix::ax
