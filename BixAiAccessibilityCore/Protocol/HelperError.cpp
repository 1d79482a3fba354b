#include "Protocol/HelperError.h"

#include "Protocol/RawValueTable.h"

namespace bix::ax {
namespace {

using CodeNames = RawValueTable<HelperErrorCode, kHelperErrorCodeCount>;

constexpr CodeNames kCodeNames{{{
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
}}};
static_assert(kCodeNames.followsDeclarationOrder());

} // namespace

const std::array<HelperErrorCode, kHelperErrorCodeCount>& allHelperErrorCodes() {
    static constexpr auto codes = kCodeNames.allValues();
    return codes;
}

std::string_view rawValue(HelperErrorCode code) {
    return kCodeNames.name(code).value_or("INTERNAL_FAILURE");
}

std::optional<HelperErrorCode> helperErrorCodeFromRawValue(std::string_view wire) {
    return kCodeNames.find(wire);
}

} // namespace bix::ax
