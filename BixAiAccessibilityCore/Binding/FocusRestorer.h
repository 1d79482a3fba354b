#pragma once

#include "Access/AccessibilityBackend.h"
#include "Binding/BoundTargetStore.h"
#include "Platform/Clock.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace bix::ax {

// How long a focus capture can be restored.
inline constexpr std::chrono::seconds kFocusCaptureLifetime{30};
inline constexpr std::string_view kFocusTokenPrefix = "focus_";

// What restore() gave back: the previous application (always true on success) and its focused
// element (false when none was captured or the platform refused).
struct FocusRestoreResult {
    bool app = false;
    bool element = false;

    friend bool operator==(const FocusRestoreResult&, const FocusRestoreResult&) = default;
};

// Remembers which application (and which element in it) had the user's focus before the bound
// application was brought forward, and gives focus back later, but only while the user has not
// moved on to a third application. A capture is a one-shot token that expires after 30 seconds.
//
// Owns the one live capture. `lock_` guards `capture_` and is never held across a backend, store
// or clock call. Invariants: at most one capture exists; a token is consumed by its first restore,
// whatever the outcome.
class FocusRestorer {
public:
    FocusRestorer(std::shared_ptr<AccessibilityBackend> backend,
                  std::shared_ptr<BoundTargetStore> targets, Clock now);
    FocusRestorer(const FocusRestorer&) = delete;
    FocusRestorer& operator=(const FocusRestorer&) = delete;

    // Records the frontmost application and its focused element for the (validated) binding and
    // returns a fresh "focus_" token; any earlier capture is forgotten. Throws HelperProtocolError.
    std::string capture(const std::string& bindingId);

    // Consumes the token and, if the user is still on the bound or the captured application,
    // activates the captured application again and refocuses its element. Throws
    // HelperProtocolError (focusConflict when the capture or the foreground no longer fits).
    FocusRestoreResult restore(const std::string& bindingId, const std::string& focusToken);

    // Forgets every capture.
    void shutdown();

private:
    struct CapturedFocus {
        std::string token;
        std::string bindingId;
        std::int32_t priorPID = 0;
        std::optional<AXElementHandle> priorFocusedElement;
        std::int32_t boundPID = 0;
        TimePoint expiresAt;
    };

    std::optional<CapturedFocus> takeCapture(const std::string& focusToken);

    std::shared_ptr<AccessibilityBackend> backend_;
    std::shared_ptr<BoundTargetStore> targets_;
    Clock now_;
    std::mutex lock_; // guards capture_
    std::optional<CapturedFocus> capture_;
};

} // namespace bix::ax
