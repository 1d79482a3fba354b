#pragma once

#include "Access/AccessibilityBackend.h"
#include "Profiles/ProfileResolutionStore.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace bix::ax {

// How a submit press went: "confirmed" when the composer was seen to change afterwards,
// "uncertain" when it did not change within about half a second. Both are successes.
struct SubmitResult {
    std::string delivery;
    bool observedComposerChange = false;

    friend bool operator==(const SubmitResult&, const SubmitResult&) = default;
};

// Blocks the calling thread; injected so tests can drive time by hand.
using Sleeper = std::function<void(std::chrono::milliseconds)>;
Sleeper threadSleeper();

// The only changes the helper makes to the target application: the prompt written into the
// composer, and presses of the submit, stop and new-conversation controls. Every operation first
// has its resolution re-proved against a fresh read of the bound window, then checks the element
// itself in a fresh snapshot, then acts through the guarded backend calls, which refuse anything
// outside the bound window of the bound process. Holds no state of its own.
class ActionExecutor {
public:
    ActionExecutor(std::shared_ptr<AccessibilityBackend> backend,
                   std::shared_ptr<ProfileResolutionStore> resolutions,
                   Sleeper sleep = threadSleeper());

    // Writes `text` into the composer and reads it back; returns the text's content fingerprint.
    std::string setComposerText(const std::string& bindingId, const std::string& resolutionId,
                                const std::string& text);
    // Presses submit and watches the composer for a change, at most ten times 50 ms.
    SubmitResult pressSubmit(const std::string& bindingId, const std::string& resolutionId);
    void pressStop(const std::string& bindingId, const std::string& resolutionId);
    void pressNewConversation(const std::string& bindingId, const std::string& resolutionId);

private:
    enum class OptionalControl { stop, newConversation };
    // The composer's value after the submit press; nothing when the composer element is gone.
    using ComposerRead = std::optional<std::string>;

    std::optional<ComposerRead> readComposerAfterPress(const AXElementHandle& composer);

    void pressOptionalControl(const std::string& bindingId, const std::string& resolutionId,
                              OptionalControl control);
    AXBoundActionGuard guardFor(const BoundTarget& target, const AXNodeSnapshot& element) const;

    std::shared_ptr<AccessibilityBackend> backend_;
    std::shared_ptr<ProfileResolutionStore> resolutions_;
    Sleeper sleep_;
};

} // namespace bix::ax
