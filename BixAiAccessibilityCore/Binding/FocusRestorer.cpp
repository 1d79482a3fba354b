#include "Binding/FocusRestorer.h"

#include "Platform/Uuid.h"
#include "Protocol/HelperError.h"

#include <utility>

namespace bix::ax {

FocusRestorer::FocusRestorer(std::shared_ptr<AccessibilityBackend> backend,
                             std::shared_ptr<BoundTargetStore> targets, Clock now)
    : backend_(std::move(backend)), targets_(std::move(targets)), now_(std::move(now)) {}

std::string FocusRestorer::capture(const std::string& bindingId) {
    const BoundTarget target = targets_->validated(bindingId);
    const std::optional<std::int32_t> frontmost = backend_->frontmostApplicationPID();
    if (!frontmost) {
        throw HelperProtocolError(HelperErrorCode::actionFailed,
                                  "No foreground application can be captured.");
    }
    std::string token = std::string(kFocusTokenPrefix) + randomUuidHexDigits();
    std::optional<AXElementHandle> focused = backend_->focusedElement(*frontmost);
    CapturedFocus captured{
        .token = token,
        .bindingId = bindingId,
        .priorPID = *frontmost,
        .priorFocusedElement = std::move(focused),
        .boundPID = target.pid,
        .expiresAt = now_() + kFocusCaptureLifetime,
    };
    std::lock_guard guard(lock_);
    capture_ = std::move(captured);
    return token;
}

std::optional<FocusRestorer::CapturedFocus>
FocusRestorer::takeCapture(const std::string& focusToken) {
    std::lock_guard guard(lock_);
    if (!capture_ || capture_->token != focusToken) {
        return std::nullopt;
    }
    return std::exchange(capture_, std::nullopt);
}

FocusRestoreResult FocusRestorer::restore(const std::string& bindingId,
                                          const std::string& focusToken) {
    // Taken out first: a token is usable once, whatever happens below.
    const std::optional<CapturedFocus> captured = takeCapture(focusToken);
    if (!captured || captured->bindingId != bindingId || !(captured->expiresAt > now_())) {
        throw HelperProtocolError(HelperErrorCode::focusConflict,
                                  "Focus capture is invalid or expired.");
    }
    targets_->validated(bindingId);

    // Only undo our own activation: if the user brought some third application forward, taking
    // the foreground away from it would fight the user.
    const std::optional<std::int32_t> frontmost = backend_->frontmostApplicationPID();
    if (!frontmost || (*frontmost != captured->boundPID && *frontmost != captured->priorPID)) {
        throw HelperProtocolError(HelperErrorCode::focusConflict,
                                  "The user changed the foreground application.");
    }
    if (*frontmost != captured->priorPID && !backend_->activateApplication(captured->priorPID)) {
        throw HelperProtocolError(HelperErrorCode::actionFailed,
                                  "The previous application could not be restored.");
    }
    FocusRestoreResult result{.app = true, .element = false};
    if (captured->priorFocusedElement) {
        result.element = backend_->restoreFocus(*captured->priorFocusedElement, captured->priorPID);
    }
    return result;
}

void FocusRestorer::shutdown() {
    std::lock_guard guard(lock_);
    capture_.reset();
}

} // namespace bix::ax
