#pragma once

#include <array>
#include <cstddef>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace bix::ax {

// The closed list of failure codes of the helper protocol. Each case travels to the host as its
// wire string (`rawValue`). Cases 0-7 concern the protocol itself, 8-21 why a command could not
// be carried out, 22 every failure that is not a HelperProtocolError.
enum class HelperErrorCode {
    invalidFrame,
    frameTooLarge,
    invalidJSON,
    invalidRequest,
    unsupportedProtocol,
    handshakeRequired,
    sessionMismatch,
    commandNotAllowed,
    permissionDenied,
    candidateNotFound,
    candidateExpired,
    windowSelectionRequired,
    targetNotBound,
    targetStale,
    profileMismatch,
    locatorNotFound,
    locatorAmbiguous,
    actionUnsupported,
    actionFailed,
    observationNotFound,
    responseTimeout,
    focusConflict,
    internalFailure,
};

inline constexpr std::size_t kHelperErrorCodeCount = 23;

// Every code, in declaration order.
const std::array<HelperErrorCode, kHelperErrorCodeCount>& allHelperErrorCodes();

// The wire string of a code, e.g. "TARGET_STALE".
std::string_view rawValue(HelperErrorCode code);

// The code whose wire string is exactly `wire` (case-sensitive), or nothing.
std::optional<HelperErrorCode> helperErrorCodeFromRawValue(std::string_view wire);

// The one error type every service of the helper throws: a code plus the internal message (a
// fixed English sentence). What the host sees is decided by Redaction::publicErrorMessage.
// Immutable after construction; equal when code and message are equal.
class HelperProtocolError : public std::exception {
public:
    HelperProtocolError(HelperErrorCode code, std::string message)
        : code_(code), message_(std::move(message)) {}

    HelperErrorCode code() const noexcept { return code_; }
    const std::string& message() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

    friend bool operator==(const HelperProtocolError& a, const HelperProtocolError& b) {
        return a.code_ == b.code_ && a.message_ == b.message_;
    }

private:
    HelperErrorCode code_;
    std::string message_;
};

} // namespace bix::ax
