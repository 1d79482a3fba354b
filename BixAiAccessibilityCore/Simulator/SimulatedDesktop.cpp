#include "Simulator/SimulatedDesktop.h"

#include "Access/AccessibilityBackend.h"

#include <algorithm>
#include <functional>
#include <mutex>
#include <unistd.h>
#include <unordered_map>
#include <utility>

namespace bix {

namespace simulated {

const std::string kRole = "AXRole";
const std::string kTitle = "AXTitle";
const std::string kValue = "AXValue";
const std::string kEnabled = "AXEnabled";
const std::string kFocused = "AXFocused";
const std::string kMinimized = "AXMinimized";
const std::string kChildren = "AXChildren";
const std::string kParent = "AXParent";
const std::string kWindows = "AXWindows";
const std::string kFocusedUIElement = "AXFocusedUIElement";
const std::string kIdentifier = "AXIdentifier";
const std::string kPress = "AXPress";
const std::string kApplicationRole = "AXApplication";
constexpr SimulatedElementId kNoElement = 0;

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

struct ChatRun {
    SimulatedChatBehaviour behaviour;
    std::optional<SimulatedElementId> message;
    std::size_t nextChunk = 0;
    std::uint64_t generation = 0;
    bool generating = false;
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

std::size_t derivedHash(SimulatedElementId id) {
    // Spread ids over the hash space; collisions come only from explicit hashes.
    std::uint64_t x = id + 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return static_cast<std::size_t>(x ^ (x >> 31));
}

AXAttributeValue toAttributeValue(const SimulatedValue& value) {
    return std::visit([](const auto& v) -> AXAttributeValue { return v; }, value);
}

std::optional<SimulatedValue> fromAttributeValue(const AXAttributeValue& value) {
    if (const auto* text = std::get_if<std::string>(&value)) {
        return SimulatedValue{*text};
    }
    if (const auto* attributed = std::get_if<AXAttributedText>(&value)) {
        return SimulatedValue{*attributed};
    }
    if (const auto* number = std::get_if<double>(&value)) {
        return SimulatedValue{*number};
    }
    if (const auto* flag = std::get_if<bool>(&value)) {
        return SimulatedValue{*flag};
    }
    return std::nullopt;
}

class SimulatedObserver;

} // namespace simulated

using namespace simulated;

// Work collected under the model's lock and carried out after it is released: posted tasks and
// timers (the scheduler must never be called with the lock held).
struct PendingWork {
    TaskScheduler* scheduler = nullptr;
    std::vector<RunLoopTask> tasks;
    std::vector<std::pair<std::chrono::milliseconds, RunLoopTask>> timers;

    void run() {
        if (scheduler == nullptr) {
            return;
        }
        for (auto& task : tasks) {
            scheduler->post(std::move(task));
        }
        for (auto& [delay, task] : timers) {
            scheduler->addTimer(delay, std::move(task));
        }
    }
};

struct SimulatedDesktop::State : std::enable_shared_from_this<SimulatedDesktop::State> {
    mutable std::mutex mutex; // guards every field below
    TaskScheduler* scheduler = nullptr;
    bool trusted = true;
    std::size_t prompts = 0;
    std::int32_t ownPid = static_cast<std::int32_t>(::getpid());
    std::optional<std::int32_t> frontmost;
    bool activationAllowed = true;
    std::vector<Application> applications; // platform order
    std::unordered_map<SimulatedElementId, Element> elements;
    std::map<std::string, SimulatedElementId> keys;
    SimulatedElementId nextId = 1;
    std::vector<std::weak_ptr<SimulatedObserver>> observers;
    std::vector<SimulatedSideEffect> sideEffects;
    std::vector<ChatRun> chats;
    SimulatedDesktop* owner = nullptr;
    // Scheduled changes waiting for a scheduler.
    std::vector<std::pair<std::chrono::milliseconds, std::function<void(SimulatedDesktop&)>>>
        waitingChanges;

    // All helpers below expect `mutex` to be held.
    Application* app(std::int32_t pid) {
        for (auto& application : applications) {
            if (application.pid == pid) {
                return &application;
            }
        }
        return nullptr;
    }
    Element* element(SimulatedElementId id) {
        auto found = elements.find(id);
        return found == elements.end() ? nullptr : &found->second;
    }
    AXPlatformElementRef ref(SimulatedElementId id) {
        const Element* e = element(id);
        return std::make_shared<ElementRef>(this, id, e ? e->hash : derivedHash(id));
    }
    std::optional<SimulatedElementId> idOf(const AXPlatformElementRef& reference) const {
        const auto* r = dynamic_cast<const ElementRef*>(reference.get());
        if (r == nullptr || r->owner() != this) {
            return std::nullopt;
        }
        return r->id();
    }
    std::optional<SimulatedElementId> keyed(const std::string& name) const {
        auto found = keys.find(name);
        if (found == keys.end()) {
            return std::nullopt;
        }
        return found->second;
    }

    SimulatedElementId build(const SimulatedElementSpec& spec, std::int32_t appPid,
                             std::optional<SimulatedElementId> parent);
    void destroy(SimulatedElementId id, PendingWork& work);
    void detach(SimulatedElementId id);
    void notify(SimulatedElementId id, const std::string& notification, PendingWork& work);
    void notifyLayout(SimulatedElementId id, PendingWork& work);
    SimulatedElementSpec specOf(SimulatedElementId id, std::int32_t oldPid,
                                std::int32_t newPid) const;
    bool isInSubtree(SimulatedElementId root, SimulatedElementId candidate) const;
    void runChatPress(SimulatedElementId pressed, PendingWork& work);
    void submitChat(std::size_t index, PendingWork& work);
    void startNewConversation(std::size_t index, PendingWork& work);
    void growReply(std::size_t chatIndex, std::uint64_t generation, PendingWork& work);
    void scheduleGrowth(std::size_t chatIndex, PendingWork& work);
    void setValueNotifying(Element& e, const std::string& attribute, SimulatedValue value,
                           PendingWork& work);
    PendingWork work() { return PendingWork{scheduler, {}, {}}; }
    void armChange(std::chrono::milliseconds after, std::function<void(SimulatedDesktop&)> change,
                   PendingWork& work) {
        std::weak_ptr<State> weakState = weak_from_this();
        work.timers.emplace_back(after, [weakState, change = std::move(change)] {
            if (auto state = weakState.lock()) {
                change(*state->owner);
            }
        });
    }
};

namespace simulated {

// One observer of one process. Its fields are guarded by the model's mutex (the model walks
// every observer when it posts a notification).
class SimulatedObserver final : public AXPlatformObserver,
                                public std::enable_shared_from_this<SimulatedObserver> {
public:
    SimulatedObserver(std::weak_ptr<SimulatedDesktop::State> state, std::int32_t pid,
                      AXObserverCallback callback)
        : state_(std::move(state)), pid_(pid), callback_(callback) {}

    AXError addNotification(const AXPlatformElementRef& element, const std::string& notification,
                            std::shared_ptr<void> context) override;
    AXError removeNotification(const AXPlatformElementRef& element,
                               const std::string& notification) override;
    void attachToMainRunLoop() override { setAttached(true); }
    void detachFromMainRunLoop() override { setAttached(false); }

    // Under the model's mutex.
    std::map<std::pair<SimulatedElementId, std::string>, std::shared_ptr<void>> registrations;
    bool attached = false;
    AXObserverCallback callback() const { return callback_; }

private:
    void setAttached(bool value) {
        if (auto state = state_.lock()) {
            std::lock_guard guard(state->mutex);
            attached = value;
        }
    }
    std::weak_ptr<SimulatedDesktop::State> state_;
    std::int32_t pid_;
    AXObserverCallback callback_;
};

AXError injected(const Element& e, AXOperation operation, const std::string& name) {
    if (e.errors.empty()) {
        return ax::kSuccess;
    }
    auto found = e.errors.find({operation, name});
    if (found == e.errors.end()) {
        found = e.errors.find({operation, ""});
    }
    return found == e.errors.end() ? ax::kSuccess : found->second;
}

AXError SimulatedObserver::addNotification(const AXPlatformElementRef& element,
                                           const std::string& notification,
                                           std::shared_ptr<void> context) {
    auto state = state_.lock();
    if (!state) {
        return ax::kInvalidUIElementObserver;
    }
    std::lock_guard guard(state->mutex);
    if (!state->trusted) {
        return ax::kAPIDisabled;
    }
    auto id = state->idOf(element);
    Element* e = id ? state->element(*id) : nullptr;
    if (e == nullptr) {
        return ax::kInvalidUIElement;
    }
    if (AXError forced = injected(*e, AXOperation::addNotification, notification)) {
        return forced;
    }
    const bool supported = !e->notifications || e->notifications->count(notification) > 0;
    if (!supported) {
        return ax::kNotificationUnsupported;
    }
    auto [_, inserted] = registrations.emplace(std::pair{*id, notification}, std::move(context));
    return inserted ? ax::kSuccess : ax::kNotificationAlreadyRegistered;
}

AXError SimulatedObserver::removeNotification(const AXPlatformElementRef& element,
                                              const std::string& notification) {
    auto state = state_.lock();
    if (!state) {
        return ax::kInvalidUIElementObserver;
    }
    std::lock_guard guard(state->mutex);
    auto id = state->idOf(element);
    if (!id || registrations.erase({*id, notification}) == 0) {
        return ax::kNotificationNotRegistered;
    }
    return ax::kSuccess;
}

} // namespace simulated

// MARK: model helpers (mutex held)

namespace {
// Inserts `id` at `position` in a child list, or appends it when the position is absent or past
// the end.
void insertAt(std::vector<SimulatedElementId>& list, std::optional<std::size_t> position,
              SimulatedElementId id) {
    const std::size_t at = std::min(position.value_or(list.size()), list.size());
    list.insert(list.begin() + static_cast<long>(at), id);
}

// Applies one edit to a running application under the desktop's lock; false for an unknown pid.
template <typename Fn>
bool editApplication(SimulatedDesktop::State& state, std::int32_t pid, Fn&& edit) {
    std::lock_guard guard(state.mutex);
    Application* app = state.app(pid);
    if (app == nullptr) {
        return false;
    }
    edit(*app);
    return true;
}

// Applies one edit to an existing element under the desktop's lock; false for an unknown element.
template <typename Fn>
bool editElement(SimulatedDesktop::State& state, SimulatedElementId element, Fn&& edit) {
    std::lock_guard guard(state.mutex);
    Element* e = state.element(element);
    if (e == nullptr) {
        return false;
    }
    edit(*e);
    return true;
}
} // namespace

SimulatedElementId SimulatedDesktop::State::build(const SimulatedElementSpec& spec,
                                                  std::int32_t appPid,
                                                  std::optional<SimulatedElementId> parent) {
    const SimulatedElementId id = nextId++;
    Element e;
    e.id = id;
    e.explicitHash = spec.hash;
    e.hash = spec.hash.value_or(derivedHash(id));
    e.pid = spec.pid.value_or(appPid);
    e.key = spec.key;
    e.attributes = spec.attributes;
    e.settable = spec.settableAttributes;
    e.actions = spec.actions;
    e.notifications = spec.supportedNotifications;
    e.parent = parent;
    elements.emplace(id, std::move(e));
    if (!spec.key.empty()) {
        keys[spec.key] = id;
    }
    std::vector<SimulatedElementId> children;
    children.reserve(spec.children.size());
    for (const auto& child : spec.children) {
        // Children of an element of another process belong to that process unless they say so.
        children.push_back(build(child, spec.pid.value_or(appPid), id));
    }
    elements[id].children = std::move(children);
    return id;
}

void SimulatedDesktop::State::destroy(SimulatedElementId id, PendingWork& work) {
    Element* e = element(id);
    if (e == nullptr) {
        return;
    }
    const auto children = e->children;
    for (auto child : children) {
        destroy(child, work);
    }
    notify(id, std::string(kAXUIElementDestroyedNotification), work);
    e = element(id);
    if (!e->key.empty()) {
        auto found = keys.find(e->key);
        if (found != keys.end() && found->second == id) {
            keys.erase(found);
        }
    }
    for (auto& application : applications) {
        if (application.focused == id) {
            application.focused.reset();
        }
    }
    elements.erase(id);
}

void SimulatedDesktop::State::detach(SimulatedElementId id) {
    Element* e = element(id);
    if (e == nullptr || !e->parent) {
        return;
    }
    if (Element* parent = element(*e->parent)) {
        auto& siblings = parent->children;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), id), siblings.end());
    }
    e->parent.reset();
}

void SimulatedDesktop::State::notify(SimulatedElementId id, const std::string& notification,
                                     PendingWork& work) {
    if (scheduler == nullptr) {
        return;
    }
    std::weak_ptr<State> weakState = weak_from_this();
    auto reference = ref(id);
    std::erase_if(observers, [](const auto& weak) { return weak.expired(); });
    for (const auto& weakObserver : observers) {
        auto observer = weakObserver.lock();
        if (!observer || !observer->attached) {
            continue;
        }
        auto found = observer->registrations.find({id, notification});
        if (found == observer->registrations.end()) {
            continue;
        }
        std::shared_ptr<void> context = found->second;
        std::weak_ptr<SimulatedObserver> observerRef = observer;
        work.tasks.push_back([weakState, observerRef, id, reference, notification, context] {
            auto state = weakState.lock();
            auto live = observerRef.lock();
            if (!state || !live) {
                return;
            }
            {
                // A registration removed (or an observer detached) after posting delivers nothing.
                std::lock_guard guard(state->mutex);
                auto current = live->registrations.find({id, notification});
                if (!live->attached || current == live->registrations.end() ||
                    current->second != context) {
                    return;
                }
            }
            live->callback()(reference, notification, context);
        });
    }
}

void SimulatedDesktop::State::notifyLayout(SimulatedElementId id, PendingWork& work) {
    std::optional<SimulatedElementId> current = id;
    while (current) {
        const Element* e = element(*current);
        if (e == nullptr) {
            return;
        }
        notify(*current, std::string(kAXLayoutChangedNotification), work);
        current = e->parent;
    }
}

SimulatedElementSpec SimulatedDesktop::State::specOf(SimulatedElementId id, std::int32_t oldPid,
                                                     std::int32_t newPid) const {
    const Element& e = elements.at(id);
    SimulatedElementSpec spec;
    spec.key = e.key;
    spec.attributes = e.attributes;
    spec.settableAttributes = e.settable;
    spec.actions = e.actions;
    spec.pid = e.pid == oldPid ? newPid : e.pid;
    spec.hash = e.explicitHash;
    spec.supportedNotifications = e.notifications;
    for (auto child : e.children) {
        spec.children.push_back(specOf(child, oldPid, newPid));
    }
    return spec;
}

bool SimulatedDesktop::State::isInSubtree(SimulatedElementId root,
                                          SimulatedElementId candidate) const {
    std::optional<SimulatedElementId> current = candidate;
    while (current) {
        if (*current == root) {
            return true;
        }
        auto found = elements.find(*current);
        if (found == elements.end()) {
            return false;
        }
        current = found->second.parent;
    }
    return false;
}

void SimulatedDesktop::State::setValueNotifying(Element& e, const std::string& attribute,
                                                SimulatedValue value, PendingWork& work) {
    e.attributes[attribute] = std::move(value);
    if (attribute == kValue) {
        notify(e.id, std::string(kAXValueChangedNotification), work);
    }
}

// MARK: scripted chat behaviour (mutex held)

void SimulatedDesktop::State::runChatPress(SimulatedElementId pressed, PendingWork& work) {
    for (std::size_t index = 0; index < chats.size(); ++index) {
        const auto& b = chats[index].behaviour;
        if (keyed(b.submitKey) == pressed) {
            submitChat(index, work);
        } else if (keyed(b.stopKey) == pressed && chats[index].generating) {
            chats[index].generating = false;
            ++chats[index].generation;
            setValueNotifying(*element(pressed), kEnabled, false, work);
        } else if (keyed(b.newConversationKey) == pressed) {
            startNewConversation(index, work);
        }
    }
}

void SimulatedDesktop::State::submitChat(std::size_t index, PendingWork& work) {
    auto& chat = chats[index];
    const auto& b = chat.behaviour;
    Element* composer = keyed(b.composerKey) ? element(*keyed(b.composerKey)) : nullptr;
    auto transcript = keyed(b.transcriptKey);
    if (composer == nullptr || !transcript || element(*transcript) == nullptr) {
        return;
    }
    const auto* prompt = std::get_if<std::string>(&composer->attributes[kValue]);
    if (prompt == nullptr || prompt->empty() || chat.generating) {
        return; // a real chat app keeps its send button inert here
    }
    const std::string promptText = *prompt;
    setValueNotifying(*composer, kValue, std::string(), work);
    // Like a real chat app, only the newest answer carries the assistant-message identifier, so
    // a profile names exactly one message however long the conversation grows.
    for (auto message : element(*transcript)->children) {
        Element* earlier = element(message);
        if (earlier == nullptr) {
            continue;
        }
        const auto identifier = earlier->attributes.find(kIdentifier);
        if (identifier != earlier->attributes.end() &&
            identifier->second == SimulatedValue(b.messageIdentifier)) {
            earlier->attributes.erase(identifier);
        }
    }
    const std::int32_t pid = element(*transcript)->pid;
    auto userMessage = SimulatedElementSpec::withRole(b.messageRole);
    userMessage.set(kIdentifier, std::string("user-message")).set(kValue, promptText);
    auto reply = SimulatedElementSpec::withRole(b.messageRole);
    reply.set(kIdentifier, b.messageIdentifier).set(kValue, std::string());
    // build() may rehash the element table: look the transcript up again after each call.
    const auto userId = build(userMessage, pid, *transcript);
    element(*transcript)->children.push_back(userId);
    const auto replyId = build(reply, pid, *transcript);
    element(*transcript)->children.push_back(replyId);
    notifyLayout(*transcript, work);
    chat.message = replyId;
    chat.nextChunk = 0;
    chat.generating = true;
    ++chat.generation;
    if (auto stop = keyed(b.stopKey); stop && element(*stop)) {
        setValueNotifying(*element(*stop), kEnabled, true, work);
    }
    scheduleGrowth(index, work);
}

void SimulatedDesktop::State::startNewConversation(std::size_t index, PendingWork& work) {
    auto& chat = chats[index];
    chat.generating = false;
    ++chat.generation;
    chat.message.reset();
    if (auto stop = keyed(chat.behaviour.stopKey); stop && element(*stop)) {
        setValueNotifying(*element(*stop), kEnabled, false, work);
    }
    auto transcript = keyed(chat.behaviour.transcriptKey);
    if (!transcript || element(*transcript) == nullptr) {
        return;
    }
    const auto messages = element(*transcript)->children;
    for (auto message : messages) {
        destroy(message, work);
    }
    element(*transcript)->children.clear();
    notifyLayout(*transcript, work);
}

void SimulatedDesktop::State::scheduleGrowth(std::size_t chatIndex, PendingWork& work) {
    std::weak_ptr<State> weakState = weak_from_this();
    const std::uint64_t generation = chats[chatIndex].generation;
    work.timers.emplace_back(chats[chatIndex].behaviour.step, [weakState, chatIndex, generation] {
        auto state = weakState.lock();
        if (!state) {
            return;
        }
        PendingWork next;
        {
            std::lock_guard guard(state->mutex);
            next = state->work();
            state->growReply(chatIndex, generation, next);
        }
        next.run();
    });
}

void SimulatedDesktop::State::growReply(std::size_t chatIndex, std::uint64_t generation,
                                        PendingWork& work) {
    auto& chat = chats[chatIndex];
    if (!chat.generating || chat.generation != generation || !chat.message) {
        return;
    }
    // The reply ends (and stop is disabled) also when its message is gone or there is nothing left
    // to say, so the app never shows a live stop button while idle.
    auto finishReply = [&] {
        chat.generating = false;
        if (auto stop = keyed(chat.behaviour.stopKey); stop && element(*stop)) {
            setValueNotifying(*element(*stop), kEnabled, false, work);
        }
    };
    Element* message = element(*chat.message);
    if (message == nullptr || chat.nextChunk >= chat.behaviour.replyChunks.size()) {
        finishReply();
        return;
    }
    std::string text;
    if (const auto* current = std::get_if<std::string>(&message->attributes[kValue])) {
        text = *current;
    }
    text += chat.behaviour.replyChunks[chat.nextChunk++];
    setValueNotifying(*message, kValue, text, work);
    if (message->parent) {
        notifyLayout(*message->parent, work);
    }
    if (chat.nextChunk < chat.behaviour.replyChunks.size()) {
        scheduleGrowth(chatIndex, work);
        return;
    }
    finishReply();
}

// MARK: element spec shorthands

SimulatedElementSpec SimulatedElementSpec::withRole(std::string role) {
    SimulatedElementSpec spec;
    spec.attributes[kRole] = std::move(role);
    return spec;
}
SimulatedElementSpec& SimulatedElementSpec::set(const std::string& attribute,
                                                SimulatedValue value) {
    attributes[attribute] = std::move(value);
    return *this;
}
SimulatedElementSpec& SimulatedElementSpec::settable(const std::string& attribute) {
    settableAttributes.insert(attribute);
    return *this;
}
SimulatedElementSpec& SimulatedElementSpec::withActions(std::vector<std::string> names) {
    actions = std::move(names);
    return *this;
}
SimulatedElementSpec& SimulatedElementSpec::child(SimulatedElementSpec spec) {
    children.push_back(std::move(spec));
    return *this;
}
SimulatedElementSpec& SimulatedElementSpec::named(std::string newKey) {
    key = std::move(newKey);
    return *this;
}

// MARK: desktop

SimulatedDesktop::SimulatedDesktop() : state_(std::make_shared<State>()) {
    state_->owner = this;
}
SimulatedDesktop::~SimulatedDesktop() = default;

void SimulatedDesktop::setScheduler(TaskScheduler* scheduler) {
    PendingWork work;
    {
        std::lock_guard guard(state_->mutex);
        state_->scheduler = scheduler;
        work = state_->work();
        if (scheduler != nullptr) {
            for (auto& [after, change] : state_->waitingChanges) {
                state_->armChange(after, std::move(change), work);
            }
            state_->waitingChanges.clear();
        }
    }
    work.run();
}

void SimulatedDesktop::scheduleChange(std::chrono::milliseconds after,
                                      std::function<void(SimulatedDesktop&)> change) {
    PendingWork work;
    {
        std::lock_guard guard(state_->mutex);
        work = state_->work();
        if (state_->scheduler == nullptr) {
            state_->waitingChanges.emplace_back(after, std::move(change));
        } else {
            state_->armChange(after, std::move(change), work);
        }
    }
    work.run();
}
void SimulatedDesktop::setTrusted(bool trusted) {
    std::lock_guard guard(state_->mutex);
    state_->trusted = trusted;
}
std::size_t SimulatedDesktop::trustPromptCount() const {
    std::lock_guard guard(state_->mutex);
    return state_->prompts;
}
void SimulatedDesktop::setOwnPid(std::int32_t pid) {
    std::lock_guard guard(state_->mutex);
    state_->ownPid = pid;
}
void SimulatedDesktop::setFrontmostApplication(std::optional<std::int32_t> pid) {
    std::lock_guard guard(state_->mutex);
    state_->frontmost = pid;
}
void SimulatedDesktop::setActivationAllowed(bool allowed) {
    std::lock_guard guard(state_->mutex);
    state_->activationAllowed = allowed;
}

// MARK: applications

SimulatedElementId SimulatedDesktop::addApplication(const SimulatedApplicationSpec& spec) {
    PendingWork work;
    SimulatedElementId appElement = kNoElement;
    {
        std::lock_guard guard(state_->mutex);
        if (state_->app(spec.pid) != nullptr) {
            return kNoElement;
        }
        work = state_->work();
        auto root = SimulatedElementSpec::withRole(kApplicationRole);
        if (spec.localizedName) {
            root.set(kTitle, *spec.localizedName);
        }
        root.pid = spec.pid;
        appElement = state_->build(root, spec.pid, std::nullopt);
        state_->element(appElement)->isApplication = true;
        Application app;
        app.pid = spec.pid;
        app.bundleId = spec.bundleId;
        app.localizedName = spec.localizedName;
        app.activationPolicy = spec.activationPolicy;
        app.isActive = spec.isActive;
        app.isTerminated = spec.isTerminated;
        app.element = appElement;
        for (const auto& window : spec.windows) {
            const auto id = state_->build(window, spec.pid, appElement);
            state_->element(appElement)->children.push_back(id);
        }
        if (!spec.focusedKey.empty()) {
            app.focused = state_->keyed(spec.focusedKey);
        }
        state_->applications.push_back(std::move(app));
    }
    work.run();
    return appElement;
}

bool SimulatedDesktop::quitApplication(std::int32_t pid) {
    PendingWork work;
    {
        std::lock_guard guard(state_->mutex);
        Application* app = state_->app(pid);
        if (app == nullptr) {
            return false;
        }
        work = state_->work();
        const auto appElement = app->element;
        std::erase_if(state_->applications, [pid](const auto& a) { return a.pid == pid; });
        state_->destroy(appElement, work);
        if (state_->frontmost == pid) {
            state_->frontmost.reset();
        }
    }
    work.run();
    return true;
}

bool SimulatedDesktop::setTerminated(std::int32_t pid, bool terminated) {
    return editApplication(*state_, pid, [&](Application& app) { app.isTerminated = terminated; });
}

SimulatedElementId SimulatedDesktop::relaunchApplication(std::int32_t pid, std::int32_t newPid) {
    SimulatedApplicationSpec spec;
    {
        std::lock_guard guard(state_->mutex);
        Application* app = state_->app(pid);
        if (app == nullptr || (newPid != pid && state_->app(newPid) != nullptr)) {
            return kNoElement;
        }
        spec.pid = newPid;
        spec.bundleId = app->bundleId;
        spec.localizedName = app->localizedName;
        spec.activationPolicy = app->activationPolicy;
        spec.isActive = app->isActive;
        for (auto window : state_->element(app->element)->children) {
            spec.windows.push_back(state_->specOf(window, pid, newPid));
        }
        if (app->focused && state_->element(*app->focused) != nullptr) {
            spec.focusedKey = state_->element(*app->focused)->key;
        }
    }
    quitApplication(pid);
    return addApplication(spec);
}

bool SimulatedDesktop::setApplicationActive(std::int32_t pid, bool active) {
    return editApplication(*state_, pid, [&](Application& app) { app.isActive = active; });
}

bool SimulatedDesktop::setLocalizedName(std::int32_t pid, std::optional<std::string> name) {
    return editApplication(*state_, pid,
                           [&](Application& app) { app.localizedName = std::move(name); });
}

bool SimulatedDesktop::setFocusedElement(std::int32_t pid,
                                         std::optional<SimulatedElementId> element) {
    std::lock_guard guard(state_->mutex);
    Application* app = state_->app(pid);
    if (app == nullptr || (element && state_->element(*element) == nullptr)) {
        return false;
    }
    app->focused = element;
    return true;
}

SimulatedElementId SimulatedDesktop::applicationElement(std::int32_t pid) const {
    std::lock_guard guard(state_->mutex);
    const Application* app = state_->app(pid);
    return app == nullptr ? kNoElement : app->element;
}

// MARK: windows

SimulatedElementId SimulatedDesktop::addWindow(std::int32_t pid, const SimulatedElementSpec& spec,
                                               std::optional<std::size_t> position) {
    PendingWork work;
    SimulatedElementId id = kNoElement;
    {
        std::lock_guard guard(state_->mutex);
        Application* app = state_->app(pid);
        if (app == nullptr) {
            return kNoElement;
        }
        work = state_->work();
        const auto appElement = app->element;
        id = state_->build(spec, pid, appElement);
        insertAt(state_->element(appElement)->children, position, id);
        state_->notify(appElement, std::string(kAXWindowCreatedNotification), work);
    }
    work.run();
    return id;
}

bool SimulatedDesktop::closeWindow(SimulatedElementId window) {
    {
        std::lock_guard guard(state_->mutex);
        const Element* e = state_->element(window);
        if (e == nullptr || !e->parent || !state_->element(*e->parent) ||
            !state_->element(*e->parent)->isApplication) {
            return false;
        }
    }
    return removeElement(window);
}

bool SimulatedDesktop::setMinimized(SimulatedElementId window, bool minimized) {
    return setAttribute(window, kMinimized, minimized);
}

bool SimulatedDesktop::retitle(SimulatedElementId window, const std::string& title) {
    return setAttribute(window, kTitle, title);
}

std::vector<SimulatedElementId> SimulatedDesktop::windowsOf(std::int32_t pid) const {
    std::lock_guard guard(state_->mutex);
    const Application* app = state_->app(pid);
    if (app == nullptr) {
        return {};
    }
    return state_->element(app->element)->children;
}

// MARK: elements

SimulatedElementId SimulatedDesktop::addChild(SimulatedElementId parent,
                                              const SimulatedElementSpec& spec,
                                              std::optional<std::size_t> position) {
    PendingWork work;
    SimulatedElementId id = kNoElement;
    {
        std::lock_guard guard(state_->mutex);
        Element* p = state_->element(parent);
        if (p == nullptr) {
            return kNoElement;
        }
        work = state_->work();
        id = state_->build(spec, p->pid, parent);
        insertAt(state_->element(parent)->children, position, id);
        state_->notifyLayout(parent, work);
    }
    work.run();
    return id;
}

bool SimulatedDesktop::removeElement(SimulatedElementId element) {
    PendingWork work;
    {
        std::lock_guard guard(state_->mutex);
        Element* e = state_->element(element);
        if (e == nullptr || e->isApplication) {
            return false;
        }
        work = state_->work();
        const auto parent = e->parent;
        state_->detach(element);
        state_->destroy(element, work);
        if (parent) {
            state_->notifyLayout(*parent, work);
        }
    }
    work.run();
    return true;
}

SimulatedElementId SimulatedDesktop::replaceElement(SimulatedElementId element) {
    PendingWork work;
    SimulatedElementId id = kNoElement;
    {
        std::lock_guard guard(state_->mutex);
        Element* old = state_->element(element);
        if (old == nullptr || old->isApplication) {
            return kNoElement;
        }
        work = state_->work();
        id = state_->nextId++;
        Element fresh = *old;
        fresh.id = id;
        fresh.hash = fresh.explicitHash.value_or(derivedHash(id));
        fresh.errors.clear();
        for (auto child : fresh.children) {
            state_->element(child)->parent = id;
        }
        if (fresh.parent) {
            auto& siblings = state_->element(*fresh.parent)->children;
            std::replace(siblings.begin(), siblings.end(), element, id);
        }
        for (auto& application : state_->applications) {
            if (application.focused == element) {
                application.focused = id;
            }
        }
        if (!fresh.key.empty()) {
            state_->keys[fresh.key] = id;
        }
        old->children.clear();
        old->parent.reset();
        old->key.clear();
        state_->elements.emplace(id, std::move(fresh));
        state_->destroy(element, work);
    }
    work.run();
    return id;
}

bool SimulatedDesktop::moveElement(SimulatedElementId element, SimulatedElementId newParent,
                                   std::optional<std::size_t> position) {
    PendingWork work;
    {
        std::lock_guard guard(state_->mutex);
        Element* e = state_->element(element);
        if (e == nullptr || e->isApplication || state_->element(newParent) == nullptr ||
            state_->isInSubtree(element, newParent)) {
            return false;
        }
        work = state_->work();
        const auto oldParent = e->parent;
        state_->detach(element);
        state_->element(element)->parent = newParent;
        insertAt(state_->element(newParent)->children, position, element);
        if (oldParent) {
            state_->notifyLayout(*oldParent, work);
        }
        state_->notifyLayout(newParent, work);
    }
    work.run();
    return true;
}

bool SimulatedDesktop::setAttribute(SimulatedElementId element, const std::string& attribute,
                                    SimulatedValue value) {
    PendingWork work;
    {
        std::lock_guard guard(state_->mutex);
        Element* e = state_->element(element);
        if (e == nullptr) {
            return false;
        }
        work = state_->work();
        state_->setValueNotifying(*e, attribute, std::move(value), work);
    }
    work.run();
    return true;
}

bool SimulatedDesktop::removeAttribute(SimulatedElementId element, const std::string& attribute) {
    return editElement(*state_, element, [&](Element& e) { e.attributes.erase(attribute); });
}

bool SimulatedDesktop::setSettable(SimulatedElementId element, const std::string& attribute,
                                   bool settable) {
    return editElement(*state_, element, [&](Element& e) {
        if (settable) {
            e.settable.insert(attribute);
        } else {
            e.settable.erase(attribute);
        }
    });
}

bool SimulatedDesktop::setActions(SimulatedElementId element,
                                  std::optional<std::vector<std::string>> actions) {
    return editElement(*state_, element, [&](Element& e) { e.actions = std::move(actions); });
}

bool SimulatedDesktop::setOwner(SimulatedElementId element, std::int32_t pid) {
    return editElement(*state_, element, [&](Element& e) { e.pid = pid; });
}

bool SimulatedDesktop::setSupportedNotifications(
    SimulatedElementId element, std::optional<std::set<std::string>> notifications) {
    return editElement(*state_, element,
                       [&](Element& e) { e.notifications = std::move(notifications); });
}

bool SimulatedDesktop::injectError(SimulatedElementId element, AXOperation operation, AXError error,
                                   const std::string& name) {
    return editElement(*state_, element, [&](Element& e) {
        if (error == ax::kSuccess) {
            e.errors.erase({operation, name});
        } else {
            e.errors[{operation, name}] = error;
        }
    });
}

bool SimulatedDesktop::clearInjectedErrors(SimulatedElementId element) {
    return editElement(*state_, element, [](Element& e) { e.errors.clear(); });
}

bool SimulatedDesktop::postNotification(SimulatedElementId element,
                                        const std::string& notification) {
    PendingWork work;
    {
        std::lock_guard guard(state_->mutex);
        if (state_->element(element) == nullptr) {
            return false;
        }
        work = state_->work();
        state_->notify(element, notification, work);
    }
    work.run();
    return true;
}

bool SimulatedDesktop::addChatBehaviour(const SimulatedChatBehaviour& behaviour) {
    std::lock_guard guard(state_->mutex);
    for (const auto* key : {&behaviour.composerKey, &behaviour.submitKey, &behaviour.stopKey,
                            &behaviour.newConversationKey, &behaviour.transcriptKey}) {
        if (!state_->keyed(*key)) {
            return false;
        }
    }
    state_->chats.push_back(ChatRun{behaviour, std::nullopt, 0, 0, false});
    return true;
}

// MARK: inspection

std::optional<SimulatedElementId> SimulatedDesktop::elementByKey(const std::string& key) const {
    std::lock_guard guard(state_->mutex);
    return state_->keyed(key);
}
bool SimulatedDesktop::exists(SimulatedElementId element) const {
    std::lock_guard guard(state_->mutex);
    return state_->element(element) != nullptr;
}
std::vector<SimulatedElementId> SimulatedDesktop::childrenOf(SimulatedElementId element) const {
    std::lock_guard guard(state_->mutex);
    const Element* e = state_->element(element);
    return e == nullptr ? std::vector<SimulatedElementId>{} : e->children;
}
std::optional<SimulatedElementId> SimulatedDesktop::parentOf(SimulatedElementId element) const {
    std::lock_guard guard(state_->mutex);
    const Element* e = state_->element(element);
    return e == nullptr ? std::nullopt : e->parent;
}
SimulatedValue SimulatedDesktop::attributeValue(SimulatedElementId element,
                                                const std::string& attribute) const {
    std::lock_guard guard(state_->mutex);
    const Element* e = state_->element(element);
    if (e == nullptr) {
        return {};
    }
    auto found = e->attributes.find(attribute);
    return found == e->attributes.end() ? SimulatedValue{} : found->second;
}
std::vector<SimulatedSideEffect> SimulatedDesktop::sideEffects() const {
    std::lock_guard guard(state_->mutex);
    return state_->sideEffects;
}
void SimulatedDesktop::clearSideEffects() {
    std::lock_guard guard(state_->mutex);
    state_->sideEffects.clear();
}
std::size_t SimulatedDesktop::notificationRegistrationCount() const {
    std::lock_guard guard(state_->mutex);
    std::size_t count = 0;
    for (const auto& weak : state_->observers) {
        if (auto observer = weak.lock()) {
            count += observer->registrations.size();
        }
    }
    return count;
}
AXPlatformElementRef SimulatedDesktop::elementReference(SimulatedElementId element) const {
    std::lock_guard guard(state_->mutex);
    return state_->ref(element);
}
std::size_t SimulatedDesktop::elementCount() const {
    std::lock_guard guard(state_->mutex);
    return state_->elements.size();
}

// MARK: AXPlatform: applications

bool SimulatedDesktop::isProcessTrusted(bool prompt) {
    std::lock_guard guard(state_->mutex);
    if (prompt) {
        ++state_->prompts;
    }
    return state_->trusted;
}

std::int32_t SimulatedDesktop::ownProcessIdentifier() {
    std::lock_guard guard(state_->mutex);
    return state_->ownPid;
}

namespace {
AXPlatformApplication describe(const Application& app) {
    return AXPlatformApplication{app.pid,           app.bundleId,
                                 app.localizedName, app.activationPolicy,
                                 app.isActive,      app.isTerminated};
}
} // namespace

std::vector<AXPlatformApplication> SimulatedDesktop::runningApplications() {
    std::lock_guard guard(state_->mutex);
    std::vector<AXPlatformApplication> result;
    for (const auto& app : state_->applications) {
        result.push_back(describe(app));
    }
    return result;
}

std::optional<AXPlatformApplication> SimulatedDesktop::runningApplication(std::int32_t pid) {
    std::lock_guard guard(state_->mutex);
    const Application* app = state_->app(pid);
    if (app == nullptr) {
        return std::nullopt;
    }
    return describe(*app);
}

std::optional<std::int32_t> SimulatedDesktop::frontmostApplicationPID() {
    std::lock_guard guard(state_->mutex);
    return state_->frontmost;
}

bool SimulatedDesktop::activateApplication(std::int32_t pid) {
    std::lock_guard guard(state_->mutex);
    Application* target = state_->app(pid);
    if (target == nullptr || target->isTerminated || !state_->activationAllowed) {
        return false;
    }
    for (auto& app : state_->applications) {
        app.isActive = app.pid == pid;
    }
    state_->frontmost = pid;
    return true;
}

// MARK: AXPlatform: elements

AXPlatformElementRef SimulatedDesktop::createApplicationElement(std::int32_t pid) {
    std::lock_guard guard(state_->mutex);
    const Application* app = state_->app(pid);
    // A process with no application still gets a reference, as on the platform; every call on
    // it fails as an invalid element.
    return state_->ref(app == nullptr ? kNoElement : app->element);
}

namespace {
// Resolves a reference for one operation: trust, existence, then any forced result code.
template <typename Fn>
auto withElement(SimulatedDesktop::State& state, const AXPlatformElementRef& reference,
                 AXOperation operation, const std::string& name, Fn&& fn)
    -> decltype(fn(std::declval<Element&>())) {
    using Result = decltype(fn(std::declval<Element&>()));
    auto fail = [](AXError error) {
        if constexpr (std::is_same_v<Result, AXError>) {
            return error;
        } else {
            Result result{};
            result.error = error;
            return result;
        }
    };
    if (!state.trusted) {
        return fail(ax::kAPIDisabled);
    }
    auto id = state.idOf(reference);
    Element* e = id ? state.element(*id) : nullptr;
    if (e == nullptr) {
        return fail(ax::kInvalidUIElement);
    }
    if (AXError forced = injected(*e, operation, name)) {
        return fail(forced);
    }
    return fn(*e);
}
} // namespace

AXResult<AXAttributeValue> SimulatedDesktop::copyAttributeValue(const AXPlatformElementRef& element,
                                                                const std::string& attribute) {
    std::lock_guard guard(state_->mutex);
    auto& state = *state_;
    return withElement(state, element, AXOperation::copyAttribute, attribute,
                       [&](Element& e) -> AXResult<AXAttributeValue> {
                           // An explicit attribute wins, so tests can give structural
                           // attributes a wrong type.
                           if (auto found = e.attributes.find(attribute);
                               found != e.attributes.end()) {
                               return {ax::kSuccess, toAttributeValue(found->second)};
                           }
                           auto refs = [&](const std::vector<SimulatedElementId>& ids) {
                               std::vector<AXPlatformElementRef> out;
                               out.reserve(ids.size());
                               for (auto id : ids) {
                                   out.push_back(state.ref(id));
                               }
                               return out;
                           };
                           if (attribute == kChildren) {
                               return {ax::kSuccess, refs(e.children)};
                           }
                           if (attribute == kWindows && e.isApplication) {
                               return {ax::kSuccess, refs(e.children)};
                           }
                           if (attribute == kParent && e.parent) {
                               return {ax::kSuccess, state.ref(*e.parent)};
                           }
                           if (attribute == kFocusedUIElement && e.isApplication) {
                               const Application* app = state.app(e.pid);
                               if (app && app->focused && state.element(*app->focused)) {
                                   return {ax::kSuccess, state.ref(*app->focused)};
                               }
                               return {ax::kNoValue, {}};
                           }
                           return {ax::kAttributeUnsupported, {}};
                       });
}

AXResult<bool> SimulatedDesktop::isAttributeSettable(const AXPlatformElementRef& element,
                                                     const std::string& attribute) {
    std::lock_guard guard(state_->mutex);
    return withElement(*state_, element, AXOperation::isAttributeSettable, attribute,
                       [&](Element& e) -> AXResult<bool> {
                           if (e.settable.count(attribute) > 0) {
                               return {ax::kSuccess, true};
                           }
                           if (e.attributes.count(attribute) > 0) {
                               return {ax::kSuccess, false};
                           }
                           return {ax::kAttributeUnsupported, false};
                       });
}

AXError SimulatedDesktop::setAttributeValue(const AXPlatformElementRef& element,
                                            const std::string& attribute,
                                            const AXAttributeValue& value) {
    PendingWork work;
    AXError result = ax::kSuccess;
    {
        std::lock_guard guard(state_->mutex);
        auto& state = *state_;
        work = state.work();
        result = withElement(
            state, element, AXOperation::setAttribute, attribute, [&](Element& e) -> AXError {
                auto plain = fromAttributeValue(value);
                if (e.settable.count(attribute) == 0) {
                    return ax::kAttributeUnsupported;
                }
                if (!plain) {
                    return ax::kIllegalArgument;
                }
                state.sideEffects.push_back(
                    {SimulatedSideEffect::Kind::setAttribute, e.id, attribute, *plain});
                if (attribute == kFocused && *plain == SimulatedValue{true}) {
                    if (Application* app = state.app(e.pid)) {
                        app->focused = e.id;
                    }
                }
                state.setValueNotifying(e, attribute, *plain, work);
                return ax::kSuccess;
            });
    }
    work.run();
    return result;
}

AXResult<std::optional<std::vector<std::string>>>
SimulatedDesktop::copyActionNames(const AXPlatformElementRef& element) {
    std::lock_guard guard(state_->mutex);
    return withElement(*state_, element, AXOperation::copyActionNames, "",
                       [&](Element& e) -> AXResult<std::optional<std::vector<std::string>>> {
                           return {ax::kSuccess, e.actions};
                       });
}

AXResult<std::int32_t> SimulatedDesktop::getPid(const AXPlatformElementRef& element) {
    std::lock_guard guard(state_->mutex);
    return withElement(*state_, element, AXOperation::getPid, "",
                       [&](Element& e) -> AXResult<std::int32_t> {
                           return {ax::kSuccess, e.pid};
                       });
}

AXError SimulatedDesktop::performAction(const AXPlatformElementRef& element,
                                        const std::string& action) {
    PendingWork work;
    AXError result = ax::kSuccess;
    {
        std::lock_guard guard(state_->mutex);
        auto& state = *state_;
        work = state.work();
        result = withElement(
            state, element, AXOperation::performAction, action, [&](Element& e) -> AXError {
                const bool offered = e.actions && std::find(e.actions->begin(), e.actions->end(),
                                                            action) != e.actions->end();
                if (!offered) {
                    return ax::kActionUnsupported;
                }
                state.sideEffects.push_back(
                    {SimulatedSideEffect::Kind::performAction, e.id, action, {}});
                if (action == kPress) {
                    state.runChatPress(e.id, work);
                }
                return ax::kSuccess;
            });
    }
    work.run();
    return result;
}

AXResult<std::shared_ptr<AXPlatformObserver>>
SimulatedDesktop::createObserver(std::int32_t pid, AXObserverCallback callback) {
    std::lock_guard guard(state_->mutex);
    if (!state_->trusted) {
        return {ax::kAPIDisabled, nullptr};
    }
    if (callback == nullptr) {
        return {ax::kIllegalArgument, nullptr};
    }
    auto observer = std::make_shared<SimulatedObserver>(state_, pid, callback);
    state_->observers.push_back(observer);
    return {ax::kSuccess, observer};
}

} // namespace bix
