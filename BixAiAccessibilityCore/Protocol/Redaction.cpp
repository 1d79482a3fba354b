#include "Protocol/Redaction.h"

#include "Platform/RegularExpression.h"
#include "Platform/Sha256.h"
#include "Platform/UnicodeText.h"

namespace bix::ax {
namespace {

constexpr char kFieldSeparator = '\x1F';
constexpr std::size_t kMaximumDisplayNameBytes = 80;
constexpr std::size_t kMaximumIdentifierBytes = 128;
constexpr std::size_t kMaximumPublicMessageBytes = 160;
constexpr std::string_view kWithheldMessage = "The helper could not complete the request safely.";

const RegularExpression& sensitivePattern() {
    static const RegularExpression pattern(
        "(?i)(token|secret|password|cookie|bearer|api[-_ ]?key|sk-[a-z0-9])");
    return pattern;
}

std::string hexDigest(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    const Sha256Digest digest = sha256(bytes);
    std::string hex;
    hex.reserve(digest.size() * 2);
    for (std::uint8_t byte : digest) {
        hex += kHex[byte >> 4];
        hex += kHex[byte & 0x0F];
    }
    return hex;
}

} // namespace

std::string Redaction::semanticFingerprint(const std::vector<std::string>& fields) {
    std::string joined;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) {
            joined += kFieldSeparator;
        }
        joined += UnicodeText::toNFC(fields[i]);
    }
    return hexDigest(joined);
}

std::string Redaction::contentFingerprint(std::string_view text) {
    return hexDigest(text);
}

std::string Redaction::safeDisplayName(std::string_view name) {
    std::string trimmed = UnicodeText::trimWhitespaceAndNewlines(UnicodeText::toNFC(name));
    if (trimmed.empty() || trimmed.size() > kMaximumDisplayNameBytes || isSensitive(trimmed)) {
        return std::string(fallbackDisplayName);
    }
    return trimmed;
}

std::optional<std::string> Redaction::safeIdentifier(std::optional<std::string_view> identifier) {
    if (!identifier) {
        return std::nullopt;
    }
    std::string normalized = UnicodeText::toNFC(*identifier);
    if (normalized.empty() || normalized.size() > kMaximumIdentifierBytes ||
        isSensitive(normalized) || UnicodeText::containsControlOrFormat(normalized)) {
        return std::nullopt;
    }
    return normalized;
}

std::string Redaction::publicErrorMessage(const HelperProtocolError& error) {
    switch (error.code()) {
    case HelperErrorCode::permissionDenied:
        return "Accessibility permission is unavailable.";
    case HelperErrorCode::targetStale:
        return "The selected app or window changed. Reconnect it.";
    case HelperErrorCode::profileMismatch:
    case HelperErrorCode::locatorNotFound:
    case HelperErrorCode::locatorAmbiguous:
        return "The selected AI layout could not be matched safely.";
    case HelperErrorCode::focusConflict:
        return "Focus changed, so Bix stopped without restoring it.";
    default:
        break;
    }
    const std::string& message = error.message();
    if (message.size() > kMaximumPublicMessageBytes || isSensitive(message)) {
        return std::string(kWithheldMessage);
    }
    return message;
}

bool Redaction::isSensitive(std::string_view text) {
    return sensitivePattern().matchesAnywhere(text);
}

} // namespace bix::ax
