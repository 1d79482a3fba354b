#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace bix::ax {

// The name of one accessibility element outside the backend: an opaque token minted once per
// platform element by the backend's registry (the upper-case canonical form of a random UUID).
// Equality and hashing use the token only; a token means something only to the backend that
// minted it.
struct AXElementHandle {
    std::string token;

    friend bool operator==(const AXElementHandle&, const AXElementHandle&) = default;
    friend auto operator<=>(const AXElementHandle&, const AXElementHandle&) = default;
};

} // namespace bix::ax

template <> struct std::hash<bix::ax::AXElementHandle> {
    std::size_t operator()(const bix::ax::AXElementHandle& handle) const noexcept {
        return std::hash<std::string>{}(handle.token);
    }
};

namespace bix::ax {

// The attributes of one element as read at one instant: the record from which the rest of the
// helper reasons about the target application's user interface. Compared field by field.
struct AXNodeSnapshot {
    AXElementHandle handle;
    std::int32_t pid = 0; // owning process, as the platform reports it for this element
    std::string role;
    std::optional<std::string> subrole;
    std::optional<std::string> identifier;
    std::optional<std::string> title;
    std::optional<std::string> description;
    std::optional<std::string> value; // only filled when the read asked for values
    bool isEnabled = true;            // true when AXEnabled is absent
    bool isFocused = false;           // false when AXFocused is absent
    bool isMinimized = false;         // false when AXMinimized is absent
    bool isValueSettable = false;
    std::set<std::string> actions;         // ordered by code point
    std::vector<AXElementHandle> children; // the first 256, in platform order
    std::optional<AXElementHandle> parent;

    // The element fingerprint: role, subrole, identifier, settability and the sorted action list.
    // It survives relabelling, text edits, focus changes and moves in the tree.
    std::string semanticFingerprint() const;

    friend bool operator==(const AXNodeSnapshot&, const AXNodeSnapshot&) = default;
};

// The window fingerprint of a window's snapshot: owning pid, role, subrole and identifier. It
// survives retitling and state changes, and changes when the owning process changes.
std::string accessibilityWindowFingerprint(const AXNodeSnapshot& window);

// One running application as the helper may show it. Compared field by field.
struct RunningApplicationDescriptor {
    std::int32_t pid = 0;
    std::string bundleId;    // always matches the bundle-identifier pattern
    std::string displayName; // safe display name; "Application" when the platform has none
    bool isActive = false;
    bool isTerminated = false;

    friend bool operator==(const RunningApplicationDescriptor&,
                           const RunningApplicationDescriptor&) = default;
};

// The facts of a binding and of a resolved control that the caller believed when it decided to
// act; the backend re-proves every one of them just before a write or press.
struct AXBoundActionGuard {
    std::string bindingId;
    std::int32_t pid = 0;
    std::string bundleId;
    AXElementHandle window;
    std::string windowFingerprint;
    std::string elementFingerprint;

    friend bool operator==(const AXBoundActionGuard&, const AXBoundActionGuard&) = default;
};

// A cancellable notification registration. Shared object; cancel() is idempotent and thread-safe,
// and destroying an observation cancels it.
class AXObservation {
public:
    virtual ~AXObservation() = default;
    // Stops delivery: no handler call starts after cancel() returns (one already running or
    // dispatched may still finish).
    virtual void cancel() = 0;
};

// Called with the handle of the registered element and the notification name, on the main
// run-loop thread. Must be thread-safe; may call back into the backend.
using AXNotificationHandler =
    std::function<void(const AXElementHandle& element, const std::string& notification)>;

// The only notifications an observation may subscribe to.
inline constexpr std::string_view kAXValueChangedNotification = "AXValueChanged";
inline constexpr std::string_view kAXUIElementDestroyedNotification = "AXUIElementDestroyed";
inline constexpr std::string_view kAXWindowCreatedNotification = "AXWindowCreated";
inline constexpr std::string_view kAXLayoutChangedNotification = "AXLayoutChanged";
inline constexpr std::string_view kAXSelectedChildrenChangedNotification =
    "AXSelectedChildrenChanged";
inline constexpr std::array<std::string_view, 5> kAllowlistedAXNotifications = {
    kAXValueChangedNotification, kAXUIElementDestroyedNotification, kAXWindowCreatedNotification,
    kAXLayoutChangedNotification, kAXSelectedChildrenChangedNotification};

// The single seam between the helper's logic and the platform's accessibility and application
// interfaces. Implementations are shared objects, safe to call from several threads at once (the
// server thread and the main run-loop thread). Every error thrown is a HelperProtocolError.
class AccessibilityBackend {
public:
    virtual ~AccessibilityBackend() = default;

    // Whether this process may use the accessibility interface; only this call, with prompt set,
    // may show the platform's permission prompt. Never throws.
    virtual bool isTrusted(bool prompt) = 0;
    // Regular, live applications with a valid bundle identifier, other than this process, in the
    // platform's order. Never throws.
    virtual std::vector<RunningApplicationDescriptor> runningApplications() = 0;
    // One live application with a valid bundle identifier, whatever its activation policy;
    // absent otherwise. Never throws.
    virtual std::optional<RunningApplicationDescriptor> application(std::int32_t pid) = 0;
    // Handles of the application's first 16 windows, in platform order. Throws.
    virtual std::vector<AXElementHandle> windows(std::int32_t pid) = 0;
    // Reads one element; the value only when includeValue is set. A failed read mints no handles.
    virtual AXNodeSnapshot snapshot(const AXElementHandle& handle, bool includeValue) = 0;
    // Writes AXValue after re-proving every fact of the guard. Nothing is written on failure.
    virtual void setValue(const std::string& value, const AXElementHandle& on,
                          const AXBoundActionGuard& guardedBy) = 0;
    // Performs "AXPress" (the only allowed action) after re-proving the guard.
    virtual void perform(const std::string& action, const AXElementHandle& on,
                         const AXBoundActionGuard& guardedBy) = 0;
    // Subscribes to allowlisted notifications of the given elements of process pid. A failure
    // leaves nothing registered.
    virtual std::shared_ptr<AXObservation> observe(std::int32_t pid,
                                                   const std::vector<AXElementHandle>& elements,
                                                   const std::vector<std::string>& notifications,
                                                   AXNotificationHandler handler) = 0;
    // The frontmost application's pid, if any. Never throws.
    virtual std::optional<std::int32_t> frontmostApplicationPID() = 0;
    // The application's focused element, absent when it has none. Throws only when untrusted.
    virtual std::optional<AXElementHandle> focusedElement(std::int32_t pid) = 0;
    // Asks the platform to activate a live application. Never throws.
    virtual bool activateApplication(std::int32_t pid) = 0;
    // Focuses the element again if it still belongs to pid and its focus is settable; true only
    // when the write succeeded. Never throws.
    virtual bool restoreFocus(const AXElementHandle& handle, std::int32_t pid) = 0;
};

} // namespace bix::ax
