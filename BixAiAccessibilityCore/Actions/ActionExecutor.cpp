#include "Actions/ActionExecutor.h"

#include "Platform/UnicodeText.h"
#include "Protocol/HelperError.h"
#include "Protocol/HelperProtocolLimits.h"
#include "Protocol/Redaction.h"

#include <thread>
#include <utility>

namespace bix::ax {

namespace {

constexpr std::string_view kPressAction = "AXPress";
constexpr int kSubmitPolls = 10;
constexpr std::chrono::milliseconds kSubmitPollInterval{50};

bool isValidComposerText(const std::string& text) {
    return !text.empty() && text.size() <= HelperProtocolLimits::maximumPromptUTF8Bytes &&
           text.find('\0') == std::string::npos;
}

bool isPressable(const AXNodeSnapshot& snap, const BoundTarget& target) {
    return snap.pid == target.pid && snap.isEnabled &&
           snap.actions.contains(std::string(kPressAction));
}

bool sameText(const std::string& a, const std::string& b) {
    return a == b || UnicodeText::toNFC(a) == UnicodeText::toNFC(b);
}

} // namespace

Sleeper threadSleeper() {
    return [](std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); };
}

ActionExecutor::ActionExecutor(std::shared_ptr<AccessibilityBackend> backend,
                               std::shared_ptr<ProfileResolutionStore> resolutions, Sleeper sleep)
    : backend_(std::move(backend)), resolutions_(std::move(resolutions)), sleep_(std::move(sleep)) {
}

std::string ActionExecutor::setComposerText(const std::string& bindingId,
                                            const std::string& resolutionId,
                                            const std::string& text) {
    // Checked before anything of the target is touched.
    if (!isValidComposerText(text)) {
        throw HelperProtocolError(HelperErrorCode::invalidRequest,
                                  "Composer text is invalid or too large.");
    }
    const auto [resolution, target] =
        resolutions_->validatedForAction(resolutionId, bindingId, ResolvedProfileAction::composer);
    const AXNodeSnapshot composer = backend_->snapshot(resolution.input, false);
    const bool textInput = composer.role == "AXTextArea" || composer.role == "AXTextField";
    if (composer.pid != target.pid || !composer.isEnabled || !composer.isValueSettable ||
        !textInput) {
        throw HelperProtocolError(HelperErrorCode::actionUnsupported,
                                  "The resolved composer is not safely writable.");
    }
    backend_->setValue(text, resolution.input, guardFor(target, composer));
    const AXNodeSnapshot written = backend_->snapshot(resolution.input, true);
    if (written.pid != target.pid || !written.value || !sameText(*written.value, text)) {
        // The value may be in place; only its confirmation failed.
        throw HelperProtocolError(HelperErrorCode::actionFailed,
                                  "Composer write could not be verified.");
    }
    return Redaction::contentFingerprint(text);
}

std::optional<ActionExecutor::ComposerRead>
ActionExecutor::readComposerAfterPress(const AXElementHandle& composer) {
    try {
        return backend_->snapshot(composer, true).value;
    } catch (const HelperProtocolError& error) {
        // The binding was just proved live, so a composer that no longer exists was replaced by
        // the application in answer to the press: the submit went through. Reporting a failure
        // here would invite the host to send the same prompt twice.
        if (error.code() == HelperErrorCode::targetStale) {
            return std::nullopt;
        }
        throw;
    }
}

SubmitResult ActionExecutor::pressSubmit(const std::string& bindingId,
                                         const std::string& resolutionId) {
    const auto [resolution, target] =
        resolutions_->validatedForAction(resolutionId, bindingId, ResolvedProfileAction::submit);
    const AXNodeSnapshot submit = backend_->snapshot(resolution.submit, false);
    if (!isPressable(submit, target)) {
        throw HelperProtocolError(HelperErrorCode::actionUnsupported,
                                  "The resolved submit control does not support AXPress.");
    }
    const std::optional<std::string> baseline = backend_->snapshot(resolution.input, true).value;
    backend_->perform(std::string(kPressAction), resolution.submit, guardFor(target, submit));
    for (int poll = 0; poll < kSubmitPolls; ++poll) {
        sleep_(kSubmitPollInterval);
        // A binding that went stale meanwhile ends the command, although the press was made.
        resolutions_->validated(resolutionId, bindingId);
        const std::optional<ComposerRead> current = readComposerAfterPress(resolution.input);
        if (!current || *current != baseline) {
            return SubmitResult{"confirmed", true};
        }
    }
    return SubmitResult{"uncertain", false};
}

void ActionExecutor::pressStop(const std::string& bindingId, const std::string& resolutionId) {
    pressOptionalControl(bindingId, resolutionId, OptionalControl::stop);
}

void ActionExecutor::pressNewConversation(const std::string& bindingId,
                                          const std::string& resolutionId) {
    pressOptionalControl(bindingId, resolutionId, OptionalControl::newConversation);
}

void ActionExecutor::pressOptionalControl(const std::string& bindingId,
                                          const std::string& resolutionId,
                                          OptionalControl control) {
    const bool stop = control == OptionalControl::stop;
    // Fails with the control's "changed" message when it is unprofiled or was not on screen, so
    // past this point the resolution holds the control.
    const auto [resolution, target] = resolutions_->validatedForAction(
        resolutionId, bindingId,
        stop ? ResolvedProfileAction::stop : ResolvedProfileAction::newConversation);
    const AXElementHandle element = stop ? *resolution.stopGeneration : *resolution.newConversation;
    const AXNodeSnapshot snap = backend_->snapshot(element, false);
    if (!isPressable(snap, target)) {
        throw HelperProtocolError(HelperErrorCode::actionUnsupported,
                                  "The resolved control does not support AXPress.");
    }
    backend_->perform(std::string(kPressAction), element, guardFor(target, snap));
}

AXBoundActionGuard ActionExecutor::guardFor(const BoundTarget& target,
                                            const AXNodeSnapshot& element) const {
    return AXBoundActionGuard{
        .bindingId = target.bindingId,
        .pid = target.pid,
        .bundleId = target.bundleId,
        .window = target.window,
        .windowFingerprint = target.windowFingerprint,
        .elementFingerprint = element.semanticFingerprint(),
    };
}

} // namespace bix::ax
