#pragma once

#include "Protocol/HelperError.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bix::ax {

// The one place that decides how text becomes a fingerprint and when a name, identifier or
// error message is safe to show the host. Pure functions, callable from any thread; the only
// state is the sensitive pattern, compiled once per process on first use.
class Redaction {
public:
    Redaction() = delete;

    // "Application": shown instead of a display name that is empty, too long or sensitive.
    static constexpr std::string_view fallbackDisplayName = "Application";

    // SHA-256 (64 lowercase hex digits) of the fields in NFC, joined by U+001F in order. Fields
    // are not escaped. An empty list hashes zero bytes.
    static std::string semanticFingerprint(const std::vector<std::string>& fields);

    // SHA-256 (64 lowercase hex digits) of the UTF-8 bytes exactly as given.
    static std::string contentFingerprint(std::string_view text);

    // The NFC name trimmed of white space, or "Application" when that is empty, longer than 80
    // UTF-8 bytes, or sensitive. Never empty.
    static std::string safeDisplayName(std::string_view name);

    // The NFC identifier (not trimmed), or nothing when absent, empty, longer than 128 UTF-8
    // bytes, sensitive, or holding a control or format character.
    static std::optional<std::string> safeIdentifier(std::optional<std::string_view> identifier);

    // The message the host may see for `error`: fixed texts for permissionDenied, targetStale,
    // profileMismatch, locatorNotFound, locatorAmbiguous and focusConflict; otherwise the
    // error's own message when at most 160 UTF-8 bytes and not sensitive, else a fixed text.
    static std::string publicErrorMessage(const HelperProtocolError& error);

    // True when `text` contains anything that looks like a credential (token, secret, password,
    // cookie, bearer, api key, "sk-" plus a letter or digit), in any letter case.
    static bool isSensitive(std::string_view text);
};

} // namespace bix::ax
