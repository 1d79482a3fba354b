#pragma once

// Private to the simulator: the state one SimulatedDesktop shares between its files.
//   SimulatedDesktopModel.cpp          the element and application model and its edits
//   SimulatedDesktopPlatform.cpp       the platform's answers over the model
//   SimulatedDesktopNotifications.cpp  observers, notification delivery and timers on the scheduler
//   SimulatedDesktopChanges.cpp        changes the desktop makes by itself (public API only)
//   SimulatedChatApplication.cpp       scripted chat behaviour, a press responder over the model
// Scripted behaviour plugs in through SimulatedPressResponder, so the model never depends on it.

#include "Access/AccessibilityBackend.h"
#include "Simulator/SimulatedDesktop.h"

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unistd.h>
#include <unordered_map>
#include <utility>
#include <vector>

namespace bix::ax::simulated {

inline const std::string kRole = "AXRole";
inline const std::string kTitle = "AXTitle";
inline const std::string kValue = "AXValue";
inline const std::string kEnabled = "AXEnabled";
inline const std::string kFocused = "AXFocused";
inline const std::string kMinimized = "AXMinimized";
inline const std::string kChildren = "AXChildren";
inline const std::string kParent = "AXParent";
inline const std::string kWindows = "AXWindows";
inline const std::string kFocusedUIElement = "AXFocusedUIElement";
inline const std::string kIdentifier = "AXIdentifier";
inline const std::string kPress = "AXPress";
inline const std::string kApplicationRole = "AXApplication";
inline constexpr SimulatedElementId kNoElement = 0;

// One element of the model. Application elements hold their windows as children.
struct Element {
    SimulatedElementId id = kNoElement;
    std::size_t hash = 0;
    std::optional<std::size_t> explicitHash;
    std::int32_t pid = 0;
    bool isApplication = false;
    std::string key;
    std::map<std::string, SimulatedValue> attributes;
    std::set<std::string> settable;
    std::optional<std::vector<std::string>> actions;
    std::optional<std::set<std::string>> notifications;
    std::vector<SimulatedElementId> children;
    std::optional<SimulatedElementId> parent;
    std::map<std::pair<AXOperation, std::string>, AXError> errors;

    // The result code forced for one operation and name, or kSuccess.
    AXError forcedError(AXOperation operation, const std::string& name) const {
        if (errors.empty()) {
            return ax::kSuccess;
        }
        auto found = errors.find({operation, name});
        if (found == errors.end()) {
            found = errors.find({operation, ""});
        }
        return found == errors.end() ? ax::kSuccess : found->second;
    }
};

struct Application {
    std::int32_t pid = 0;
    std::optional<std::string> bundleId;
    std::optional<std::string> localizedName;
    AXActivationPolicy activationPolicy = AXActivationPolicy::regular;
    bool isActive = false;
    bool isTerminated = false;
    SimulatedElementId element = kNoElement;
    std::optional<SimulatedElementId> focused;
};

// A platform reference: the owning model's address (compared, never dereferenced) and the id.
class ElementRef final : public AXPlatformElement {
public:
    ElementRef(const void* owner, SimulatedElementId id, std::size_t hash)
        : owner_(owner), id_(id), hash_(hash) {}
    std::size_t hash() const override { return hash_; }
    bool equals(const AXPlatformElement& other) const override {
        const auto* ref = dynamic_cast<const ElementRef*>(&other);
        return ref != nullptr && ref->owner_ == owner_ && ref->id_ == id_;
    }
    const void* owner() const { return owner_; }
    SimulatedElementId id() const { return id_; }

private:
    const void* owner_;
    SimulatedElementId id_;
    std::size_t hash_;
};

// Spreads ids over the hash space; collisions come only from explicit hashes.
inline std::size_t derivedHash(SimulatedElementId id) {
    std::uint64_t x = id + 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return static_cast<std::size_t>(x ^ (x >> 31));
}

// Work collected under the model's lock and carried out after it is released: posted tasks and
// timers (the scheduler must never be called with the lock held).
struct PendingWork {
    TaskScheduler* scheduler = nullptr;
    std::vector<RunLoopTask> tasks;
    std::vector<std::pair<std::chrono::milliseconds, RunLoopTask>> timers;

    void run();
};

class SimulatedObserver;

// Scripted application behaviour reacting to presses that reached an element. Called with the
// model's mutex held, after the press was recorded; it may edit the model, notify and arm timers
// through `work`, but never call the scheduler or the desktop's public API.
class SimulatedPressResponder {
public:
    virtual ~SimulatedPressResponder() = default;
    virtual void pressed(SimulatedDesktop::State& state, SimulatedElementId element,
                         PendingWork& work) = 0;
};

} // namespace bix::ax::simulated

namespace bix::ax {

// Owned by the desktop; element references, observers and queued tasks hold it weakly. `mutex`
// guards every field; helpers below expect it to be held.
struct SimulatedDesktop::State : std::enable_shared_from_this<SimulatedDesktop::State> {
    using Element = simulated::Element;
    using Application = simulated::Application;
    using PendingWork = simulated::PendingWork;
    using Change = std::function<void(SimulatedDesktop&)>;

    mutable std::mutex mutex;

    // The desktop.
    bool trusted = true;
    std::size_t prompts = 0;
    std::int32_t ownPid = static_cast<std::int32_t>(::getpid());
    std::optional<std::int32_t> frontmost;
    bool activationAllowed = true;

    // The model.
    std::vector<Application> applications; // platform order
    std::unordered_map<SimulatedElementId, Element> elements;
    std::map<std::string, SimulatedElementId> keys;
    SimulatedElementId nextId = 1;
    // The latest writes and presses, oldest first, at most kSideEffectCapacity.
    std::deque<SimulatedSideEffect> sideEffects;

    // Notifications and scheduling.
    TaskScheduler* scheduler = nullptr;
    std::vector<std::weak_ptr<simulated::SimulatedObserver>> observers;
    std::vector<std::pair<std::chrono::milliseconds, Change>> waitingChanges; // no scheduler yet
    SimulatedDesktop* owner = nullptr;

    // Scripted behaviour, asked about every press.
    std::vector<std::shared_ptr<simulated::SimulatedPressResponder>> pressResponders;

    // MARK: model (SimulatedDesktopModel.cpp)
    Application* app(std::int32_t pid);
    Element* element(SimulatedElementId id);
    AXPlatformElementRef ref(SimulatedElementId id);
    std::optional<SimulatedElementId> idOf(const AXPlatformElementRef& reference) const;
    std::optional<SimulatedElementId> keyed(const std::string& name) const;
    // Builds `spec` and its subtree under `parent` (which must add the id to its children).
    SimulatedElementId build(const SimulatedElementSpec& spec, std::int32_t appPid,
                             std::optional<SimulatedElementId> parent);
    // Removes the element and its subtree, notifying "AXUIElementDestroyed" for each.
    void destroy(SimulatedElementId id, PendingWork& work);
    void detach(SimulatedElementId id);
    SimulatedElementSpec specOf(SimulatedElementId id, std::int32_t oldPid,
                                std::int32_t newPid) const;
    bool isInSubtree(SimulatedElementId root, SimulatedElementId candidate) const;
    // The pid of the application whose tree holds the element, else the element's own pid.
    std::optional<std::int32_t> applicationPidOf(SimulatedElementId id);
    void setValueNotifying(Element& e, const std::string& attribute, SimulatedValue value,
                           PendingWork& work);
    void recordSideEffect(SimulatedSideEffect effect);

    // MARK: notifications and timers (SimulatedDesktopNotifications.cpp)
    void notify(SimulatedElementId id, const std::string& notification, PendingWork& work);
    // Notifies "AXLayoutChanged" on the element and each of its ancestors.
    void notifyLayout(SimulatedElementId id, PendingWork& work);
    PendingWork work() { return PendingWork{scheduler, {}, {}}; }
    // Arms `change` to run on the desktop `after` from now, once `work` runs.
    void armChange(std::chrono::milliseconds after, Change change, PendingWork& work);
};

} // namespace bix::ax
