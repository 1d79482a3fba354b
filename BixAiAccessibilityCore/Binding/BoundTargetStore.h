#pragma once

#include "Access/AccessibilityBackend.h"
#include "Access/AccessibilityTreeReader.h"
#include "Binding/AppDiscovery.h"
#include "Platform/Clock.h"
#include "Platform/Uuid.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

namespace bix::ax {

// How long the windows offered by the first binding step can be chosen from.
inline constexpr std::chrono::seconds kWindowSelectionLifetime{120};
inline constexpr std::string_view kWindowCandidatePrefix = "window_";
inline constexpr std::string_view kBindingPrefix = "binding_";
inline constexpr std::string_view kProcessRefPrefix = "process_";
inline constexpr std::string_view kWindowRefPrefix = "windowref_";
inline constexpr std::string_view kAXWindowRole = "AXWindow";

// One window offered by the first binding step. Compared field by field.
struct WindowCandidate {
    std::string windowCandidateId;
    std::string displayLabel; // "Window <k>", k the 1-based position among all listed windows
    std::string role;         // always "AXWindow" for offered windows
    std::optional<std::string> subrole;
    bool isFocused = false; // focus state when listed

    friend bool operator==(const WindowCandidate&, const WindowCandidate&) = default;
};

// What the host is told about a new binding: opaque references only, never the pid or the
// window handle. Compared field by field.
struct BoundTargetSummary {
    std::string bindingId;
    std::string processRef;
    std::string windowRef;
    std::string displayName;
    std::string bundleId;
    std::string profileHash;
    std::string windowFingerprint;

    friend bool operator==(const BoundTargetSummary&, const BoundTargetSummary&) = default;
};

// The stored binding: one window of one process, named on the wire by opaque references.
struct BoundTarget {
    std::string bindingId;  // "binding_" + 32 hex digits
    std::string processRef; // "process_" + 32 hex digits; stands for the pid on the wire
    std::string windowRef;  // "windowref_" + 32 hex digits; stands for the window on the wire
    std::int32_t pid = 0;
    std::string bundleId;
    std::string displayName; // safe display name
    AXElementHandle window;
    std::string profileHash;       // 64 lowercase hex digits
    std::string windowFingerprint; // of the window at binding time

    BoundTargetSummary summary() const;
    // The process and window a tree read of this binding starts from.
    AXWindowTarget windowTarget() const { return AXWindowTarget{pid, window}; }

    friend bool operator==(const BoundTarget&, const BoundTarget&) = default;
};

// The answer of bind(): either the windows to choose from (first step) or the new binding.
// Compared by case and payload.
class BindTargetResult {
public:
    static BindTargetResult windowSelectionRequired(std::vector<WindowCandidate> windows);
    static BindTargetResult bound(BoundTargetSummary summary);

    bool isWindowSelectionRequired() const;
    bool isBound() const;
    // The offered windows, in list order. Throws std::bad_variant_access unless
    // isWindowSelectionRequired().
    const std::vector<WindowCandidate>& windows() const;
    // The new binding. Throws std::bad_variant_access unless isBound().
    const BoundTargetSummary& summary() const;

    friend bool operator==(const BindTargetResult&, const BindTargetResult&) = default;

private:
    explicit BindTargetResult(std::variant<std::vector<WindowCandidate>, BoundTargetSummary> value)
        : value_(std::move(value)) {}
    std::variant<std::vector<WindowCandidate>, BoundTargetSummary> value_;
};

// Told the identifier of a binding that has just been dropped. Called on whichever thread dropped
// it, never with the store's lock held, so it may call back into the store. Must be thread-safe.
using TargetInvalidationHandler = std::function<void(const std::string& bindingId)>;

// Turns a candidate application into a binding of one of its windows in two steps (list the
// windows, then bind the chosen one), and re-proves the binding against the live application
// before every use. A binding that no longer matches is dropped, never repaired, and every
// registered listener is told.
//
// Owns the pending window selection, the binding and the listener table. `lock_` guards those
// three and is never held while calling the backend, the discovery, the clock or a listener;
// checks that need the platform run on copies taken under the lock. Invariants: at most one
// pending selection and at most one binding exist; a dropped binding never comes back; listeners
// are called only for a binding that was actually removed, once per removal.
class BoundTargetStore {
public:
    BoundTargetStore(std::shared_ptr<AccessibilityBackend> backend,
                     std::shared_ptr<AppDiscovery> discovery, Clock now);
    BoundTargetStore(const BoundTargetStore&) = delete;
    BoundTargetStore& operator=(const BoundTargetStore&) = delete;

    // Without a window candidate: lists the candidate application's windows and remembers them as
    // the one pending selection. With one: binds that window, replacing (and invalidating) any
    // earlier binding. Throws HelperProtocolError; discovery and backend errors pass through.
    BindTargetResult bind(const std::string& candidateId, const std::string& expectedBundleId,
                          const std::string& profileHash,
                          const std::optional<std::string>& windowCandidateId);

    // Drops the binding and tells the listeners. Throws targetNotBound for an unknown one.
    void unbind(const std::string& bindingId);

    // The binding, after proving its process still runs the bound bundle and its window is still
    // a window of that process. Drops the binding (and tells the listeners) when not.
    BoundTarget validated(const std::string& bindingId);

    // validated(), then proves the window is still listed by the application, has the bound
    // identity and is not minimized. Stale failures drop the binding; a minimized window keeps it.
    BoundTarget validatedForAction(const std::string& bindingId);

    // Swaps the binding's profile hash from `expectedProfileHash` to `newProfileHash` without
    // changing its identifier (no listener is told). Returns the updated binding.
    BoundTarget promoteProfileHash(const std::string& bindingId,
                                   const std::string& expectedProfileHash,
                                   const std::string& newProfileHash);

    // Registers a listener; the returned token removes it again.
    Uuid addInvalidationHandler(TargetInvalidationHandler handler);
    // Removing an unknown token does nothing.
    void removeInvalidationHandler(const Uuid& token);

    // Drops the binding and the pending selection (telling the listeners), then forgets the
    // discovery's candidates. Listeners stay registered.
    void shutdown();

private:
    struct PendingWindowSelection {
        std::string candidateId; // the app candidate it belongs to
        std::int32_t pid = 0;
        std::string bundleId; // the expected bundle, equal to the candidate's
        TimePoint expiresAt;
        std::unordered_map<std::string, AXElementHandle> windows; // by window candidate id
    };

    BindTargetResult listWindows(const DiscoveredApplication& candidate,
                                 const std::string& expectedBundleId);
    BindTargetResult finishBinding(const DiscoveredApplication& candidate,
                                   const std::string& profileHash,
                                   const std::string& windowCandidateId);
    BoundTarget bindingCopy(const std::string& bindingId);
    void checkWindowReadyForAction(const BoundTarget& target);
    // Removes the binding if it is still stored and tells the listeners.
    void dropAndNotify(const std::string& bindingId);
    std::vector<TargetInvalidationHandler> handlersLocked() const;
    static void notify(const std::vector<TargetInvalidationHandler>& handlers,
                       const std::vector<std::string>& droppedBindingIds);

    std::shared_ptr<AccessibilityBackend> backend_;
    std::shared_ptr<AppDiscovery> discovery_;
    Clock now_;
    mutable std::mutex lock_; // guards pendingSelection_, binding_ and invalidationHandlers_
    std::optional<PendingWindowSelection> pendingSelection_;
    std::optional<BoundTarget> binding_;
    std::unordered_map<Uuid, TargetInvalidationHandler> invalidationHandlers_;
};

} // namespace bix::ax
