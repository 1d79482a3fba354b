#include "Protocol/HelperError.h"

namespace bix {
namespace {

struct CodeName {
    HelperErrorCode code;
    std::string_view wire;
};

// In declaration order, so the table can be indexed by the enumerator's value.
constexpr std::array<CodeName, kHelperErrorCodeCount> kCodeNames{{
    {HelperErrorCode::invalidFrame, "INVALID_FRAME"},
    {HelperErrorCode::frameTooLarge, "FRAME_TOO_LARGE"},
    {HelperErrorCode::invalidJSON, "INVALID_JSON"},
    {HelperErrorCode::invalidRequest, "INVALID_REQUEST"},
    {HelperErrorCode::unsupportedProtocol, "UNSUPPORTED_PROTOCOL"},
    {HelperErrorCode::handshakeRequired, "HANDSHAKE_REQUIRED"},
    {HelperErrorCode::sessionMismatch, "SESSION_MISMATCH"},
    {HelperErrorCode::commandNotAllowed, "COMMAND_NOT_ALLOWED"},
    {HelperErrorCode::permissionDenied, "PERMISSION_DENIED"},
    {HelperErrorCode::candidateNotFound, "CANDIDATE_NOT_FOUND"},
    {HelperErrorCode::candidateExpired, "CANDIDATE_EXPIRED"},
    {HelperErrorCode::windowSelectionRequired, "WINDOW_SELECTION_REQUIRED"},
    {HelperErrorCode::targetNotBound, "TARGET_NOT_BOUND"},
    {HelperErrorCode::targetStale, "TARGET_STALE"},
    {HelperErrorCode::profileMismatch, "PROFILE_MISMATCH"},
    {HelperErrorCode::locatorNotFound, "LOCATOR_NOT_FOUND"},
    {HelperErrorCode::locatorAmbiguous, "LOCATOR_AMBIGUOUS"},
    {HelperErrorCode::actionUnsupported, "ACTION_UNSUPPORTED"},
    {HelperErrorCode::actionFailed, "ACTION_FAILED"},
    {HelperErrorCode::observationNotFound, "OBSERVATION_NOT_FOUND"},
    {HelperErrorCode::responseTimeout, "RESPONSE_TIMEOUT"},
    {HelperErrorCode::focusConflict, "FOCUS_CONFLICT"},
    {HelperErrorCode::internalFailure, "INTERNAL_FAILURE"},
}};

constexpr bool tableFollowsDeclarationOrder() {
    for (std::size_t i = 0; i < kCodeNames.size(); ++i) {
        if (static_cast<std::size_t>(kCodeNames[i].code) != i) {
            return false;
        }
    }
    return true;
}
static_assert(tableFollowsDeclarationOrder());

} // namespace

const std::array<HelperErrorCode, kHelperErrorCodeCount>& allHelperErrorCodes() {
    static const auto codes = [] {
        std::array<HelperErrorCode, kHelperErrorCodeCount> all{};
        for (std::size_t i = 0; i < kCodeNames.size(); ++i) {
            all[i] = kCodeNames[i].code;
        }
        return all;
    }();
    return codes;
}

std::string_view rawValue(HelperErrorCode code) {
    const auto index = static_cast<std::size_t>(code);
    if (index >= kCodeNames.size()) {
        return "INTERNAL_FAILURE";
    }
    return kCodeNames[index].wire;
}

std::optional<HelperErrorCode> helperErrorCodeFromRawValue(std::string_view wire) {
    for (const auto& entry : kCodeNames) {
        if (entry.wire == wire) {
            return entry.code;
        }
    }
    return std::nullopt;
}

} // namespace bix
