#pragma once

#include "Platform/AXPlatform.h"
#include "Platform/MainRunLoop.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

namespace bix::ax {

// Names one element of the simulated desktop (application elements included). Never reused.
using SimulatedElementId = std::uint64_t;

// A plain attribute value an element may hold. Structural attributes (AXChildren, AXParent,
// AXWindows, AXFocusedUIElement) come from the tree itself.
using SimulatedValue = std::variant<std::monostate, std::string, AXAttributedText, double, bool>;

// The platform operations whose result code can be forced per element.
enum class AXOperation {
    copyAttribute,       // keyed by attribute name
    isAttributeSettable, // keyed by attribute name
    setAttribute,        // keyed by attribute name
    copyActionNames,
    getPid,
    performAction,   // keyed by action name
    addNotification, // keyed by notification name
};

// The description of a new element and, through `children`, of its whole subtree.
struct SimulatedElementSpec {
    std::string key; // optional name for lookups (elementByKey); unique when not empty
    std::map<std::string, SimulatedValue> attributes; // "AXRole", "AXTitle", "AXValue", ...
    std::set<std::string> settableAttributes;         // e.g. "AXValue", "AXFocused"
    std::optional<std::vector<std::string>> actions = std::vector<std::string>{}; // nullopt: absent
    std::optional<std::int32_t> pid; // owning process; the application's when absent
    std::optional<std::size_t> hash; // platform hash; derived from the identity when absent
    std::optional<std::set<std::string>> supportedNotifications; // all five when absent
    std::vector<SimulatedElementSpec> children;

    // Shorthands for the common attributes.
    static SimulatedElementSpec withRole(std::string role);
    SimulatedElementSpec& set(const std::string& attribute, SimulatedValue value);
    SimulatedElementSpec& settable(const std::string& attribute);
    SimulatedElementSpec& withActions(std::vector<std::string> names);
    SimulatedElementSpec& child(SimulatedElementSpec spec);
    SimulatedElementSpec& named(std::string newKey);
};

// A running application and its windows.
struct SimulatedApplicationSpec {
    std::int32_t pid = 0;
    std::optional<std::string> bundleId;
    std::optional<std::string> localizedName;
    AXActivationPolicy activationPolicy = AXActivationPolicy::regular;
    bool isActive = false;
    bool isTerminated = false;
    std::vector<SimulatedElementSpec> windows;
    std::string focusedKey; // key of the application's focused element, if any
};

// One write or press that reached an element, in the order they happened.
struct SimulatedSideEffect {
    enum class Kind { setAttribute, performAction };
    Kind kind;
    SimulatedElementId element;
    std::string name; // attribute or action name
    SimulatedValue value;

    friend bool operator==(const SimulatedSideEffect&, const SimulatedSideEffect&) = default;
};

// One change the desktop makes by itself: a scenario event, or a chat application's scripted
// change after a submit.
struct SimulatedChange {
    enum class Kind {
        quit,     // the application `pid` quits
        relaunch, // `pid` quits and starts again as `newPid`
        close,    // the window `key` closes
        minimize, // the window `key` is minimized
        restore,  // the window `key` is restored
        retitle,  // the window `key` is titled `title`
        recreate, // the element `key` is replaced by a copy with a new identity
    };
    Kind kind = Kind::quit;
    // quit, relaunch: absent in a chat behaviour's change means the chat application itself.
    std::optional<std::int32_t> pid;
    std::int32_t newPid = 0;
    std::string key;
    std::string title;

    friend bool operator==(const SimulatedChange&, const SimulatedChange&) = default;
};

// A change and its delay.
struct SimulatedTimedChange {
    std::chrono::milliseconds after{0};
    SimulatedChange change;

    friend bool operator==(const SimulatedTimedChange&, const SimulatedTimedChange&) = default;
};

// Scripted chat-application behaviour: pressing `submit` clears `composer`, appends an assistant
// message (a child of `transcript`) and grows its value one chunk per `step` on the scheduler's
// timers while `stop` is enabled; pressing `stop` ends the reply early; pressing
// `newConversation` removes every message from the transcript. Only the newest assistant message
// carries `messageIdentifier`.
struct SimulatedChatBehaviour {
    std::string composerKey;
    std::string submitKey;
    std::string stopKey;
    std::string newConversationKey;
    std::string transcriptKey;
    std::vector<std::string> replyChunks;
    std::chrono::milliseconds step{50};
    std::string messageIdentifier = "assistant-message";
    std::string messageRole = "AXStaticText";
    // After the last chunk the reply keeps changing every step (at least 1 ms): the message holds
    // the whole reply followed by " (N)", N counting up from 1, until stop, a new conversation or
    // the message vanishing ends it.
    bool neverSettles = false;
    // Changes each submit arms, `after` from the press (quit, window closing, composer recreated).
    std::vector<SimulatedTimedChange> afterSubmit;
};

// An in-memory desktop that behaves like the platform's accessibility interface: applications,
// windows, element trees with their attributes, owning processes, identities (a hash plus an
// equality relation, collisions included), forced result codes, notifications delivered as tasks
// on a scheduler (the main run loop), and scripted application behaviour on its timers.
//
// Owns the model through `state_` (shared with the element references it hands out, observers and
// queued tasks, which hold it weakly). One mutex inside the state guards the whole model; it is
// never held while posting to the scheduler or calling a notification callback. Every operation
// is thread-safe. Mutations of a removed element or application are ignored (they return false
// or an empty id).
class SimulatedDesktop final : public AXPlatform {
public:
    SimulatedDesktop();
    ~SimulatedDesktop() override;
    SimulatedDesktop(const SimulatedDesktop&) = delete;
    SimulatedDesktop& operator=(const SimulatedDesktop&) = delete;

    // Where notifications and scripted behaviour run; must outlive the desktop or be replaced
    // by nullptr first. Without a scheduler, notifications are dropped and replies do not grow.
    void setScheduler(TaskScheduler* scheduler);

    // MARK: desktop
    void setTrusted(bool trusted);
    std::size_t trustPromptCount() const; // how often isProcessTrusted(true) was asked
    void setOwnPid(std::int32_t pid);
    void setFrontmostApplication(std::optional<std::int32_t> pid);
    void setActivationAllowed(bool allowed); // false: activation requests are refused

    // MARK: applications
    // Adds an application (replacing nothing: the pid must be free). Returns its application
    // element, or 0 when the pid is taken.
    SimulatedElementId addApplication(const SimulatedApplicationSpec& spec);
    // The application leaves the running list and every element it owns vanishes.
    bool quitApplication(std::int32_t pid);
    // Keeps the application listed but marks it terminated (its elements stay readable).
    bool setTerminated(std::int32_t pid, bool terminated);
    // Quits `pid` and starts the same application (bundle, name, policy, fresh copies of its
    // windows as they are now) under `newPid`. Returns the new application element.
    SimulatedElementId relaunchApplication(std::int32_t pid, std::int32_t newPid);
    bool setApplicationActive(std::int32_t pid, bool active);
    bool setLocalizedName(std::int32_t pid, std::optional<std::string> name);
    bool setFocusedElement(std::int32_t pid, std::optional<SimulatedElementId> element);
    SimulatedElementId applicationElement(std::int32_t pid) const;

    // MARK: windows
    // Appends (or inserts at `position`) a window built from `spec`; returns its id.
    SimulatedElementId addWindow(std::int32_t pid, const SimulatedElementSpec& spec,
                                 std::optional<std::size_t> position = std::nullopt);
    bool closeWindow(SimulatedElementId window);
    bool setMinimized(SimulatedElementId window, bool minimized);
    bool retitle(SimulatedElementId window, const std::string& title);
    std::vector<SimulatedElementId> windowsOf(std::int32_t pid) const;

    // MARK: elements
    SimulatedElementId addChild(SimulatedElementId parent, const SimulatedElementSpec& spec,
                                std::optional<std::size_t> position = std::nullopt);
    // Removes the element and its subtree ("AXUIElementDestroyed" for each).
    bool removeElement(SimulatedElementId element);
    // A new element with the same attributes takes the old one's place (same parent, position
    // and children); the old one vanishes. Windows are replaced in the window list.
    SimulatedElementId replaceElement(SimulatedElementId element);
    // Moves the element (with its subtree) under another parent.
    bool moveElement(SimulatedElementId element, SimulatedElementId newParent,
                     std::optional<std::size_t> position = std::nullopt);
    bool setAttribute(SimulatedElementId element, const std::string& attribute,
                      SimulatedValue value);
    bool removeAttribute(SimulatedElementId element, const std::string& attribute);
    bool setSettable(SimulatedElementId element, const std::string& attribute, bool settable);
    bool setActions(SimulatedElementId element, std::optional<std::vector<std::string>> actions);
    bool setOwner(SimulatedElementId element, std::int32_t pid);
    bool setSupportedNotifications(SimulatedElementId element,
                                   std::optional<std::set<std::string>> notifications);
    // Forces `error` for one operation on one element; `name` narrows it to one attribute,
    // action or notification ("" means every name). kSuccess removes the injection.
    bool injectError(SimulatedElementId element, AXOperation operation, AXError error,
                     const std::string& name = "");
    bool clearInjectedErrors(SimulatedElementId element);
    // Delivers a notification for the element as the application would.
    bool postNotification(SimulatedElementId element, const std::string& notification);

    // MARK: scripted behaviour
    // Attaches chat behaviour to the elements named by the behaviour's keys. False when a key is
    // unknown.
    bool addChatBehaviour(const SimulatedChatBehaviour& behaviour);

    // Runs `change` once on the scheduler's thread, `after` from now, or from when a scheduler is
    // set if there is none yet (scenario events are read before the run loop exists).
    void scheduleChange(std::chrono::milliseconds after,
                        std::function<void(SimulatedDesktop&)> change);
    // Makes one change now. False when its application or element is gone, or when it names no
    // application.
    bool applyChange(const SimulatedChange& change);

    // MARK: inspection (tests and demos)
    std::optional<SimulatedElementId> elementByKey(const std::string& key) const;
    bool exists(SimulatedElementId element) const;
    std::vector<SimulatedElementId> childrenOf(SimulatedElementId element) const;
    std::optional<SimulatedElementId> parentOf(SimulatedElementId element) const;
    SimulatedValue attributeValue(SimulatedElementId element, const std::string& attribute) const;
    // The latest kSideEffectCapacity writes and presses, oldest first; older ones are dropped so
    // the record of a long-running helper stays bounded.
    std::vector<SimulatedSideEffect> sideEffects() const;
    void clearSideEffects();
    // Live (element, notification) registrations over every observer attached or not.
    std::size_t notificationRegistrationCount() const;
    // A platform reference to an element, as the platform would hand it out.
    AXPlatformElementRef elementReference(SimulatedElementId element) const;
    std::size_t elementCount() const;

    // MARK: AXPlatform
    bool isProcessTrusted(bool prompt) override;
    std::int32_t ownProcessIdentifier() override;
    std::vector<AXPlatformApplication> runningApplications() override;
    std::optional<AXPlatformApplication> runningApplication(std::int32_t pid) override;
    std::optional<std::int32_t> frontmostApplicationPID() override;
    bool activateApplication(std::int32_t pid) override;
    AXPlatformElementRef createApplicationElement(std::int32_t pid) override;
    AXResult<AXAttributeValue> copyAttributeValue(const AXPlatformElementRef& element,
                                                  const std::string& attribute) override;
    AXResult<bool> isAttributeSettable(const AXPlatformElementRef& element,
                                       const std::string& attribute) override;
    AXError setAttributeValue(const AXPlatformElementRef& element, const std::string& attribute,
                              const AXAttributeValue& value) override;
    AXResult<std::optional<std::vector<std::string>>>
    copyActionNames(const AXPlatformElementRef& element) override;
    AXResult<std::int32_t> getPid(const AXPlatformElementRef& element) override;
    AXError performAction(const AXPlatformElementRef& element, const std::string& action) override;
    AXResult<std::shared_ptr<AXPlatformObserver>>
    createObserver(std::int32_t pid, AXObserverCallback callback) override;

    static constexpr std::size_t kSideEffectCapacity = 1024;

    struct State;

private:
    std::shared_ptr<State> state_;
};

} // namespace bix::ax
