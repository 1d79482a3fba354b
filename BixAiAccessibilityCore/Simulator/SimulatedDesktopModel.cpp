#include "Simulator/SimulatedDesktopState.h"

#include <algorithm>
#include <utility>

// The element and application model: building, editing and removing elements, and reading the
// model back for tests.

namespace bix::ax {

using namespace simulated;
using State = SimulatedDesktop::State;

// MARK: model helpers (mutex held)

State::Application* State::app(std::int32_t pid) {
    for (auto& application : applications) {
        if (application.pid == pid) {
            return &application;
        }
    }
    return nullptr;
}

State::Element* State::element(SimulatedElementId id) {
    auto found = elements.find(id);
    return found == elements.end() ? nullptr : &found->second;
}

AXPlatformElementRef State::ref(SimulatedElementId id) {
    const Element* e = element(id);
    return std::make_shared<ElementRef>(this, id, e ? e->hash : derivedHash(id));
}

std::optional<SimulatedElementId> State::idOf(const AXPlatformElementRef& reference) const {
    const auto* r = dynamic_cast<const ElementRef*>(reference.get());
    if (r == nullptr || r->owner() != this) {
        return std::nullopt;
    }
    return r->id();
}

std::optional<SimulatedElementId> State::keyed(const std::string& name) const {
    auto found = keys.find(name);
    if (found == keys.end()) {
        return std::nullopt;
    }
    return found->second;
}

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

SimulatedElementId State::build(const SimulatedElementSpec& spec, std::int32_t appPid,
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

void State::destroy(SimulatedElementId id, PendingWork& work) {
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

void State::detach(SimulatedElementId id) {
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

SimulatedElementSpec State::specOf(SimulatedElementId id, std::int32_t oldPid,
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

bool State::isInSubtree(SimulatedElementId root, SimulatedElementId candidate) const {
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

void State::setValueNotifying(Element& e, const std::string& attribute, SimulatedValue value,
                              PendingWork& work) {
    e.attributes[attribute] = std::move(value);
    if (attribute == kValue) {
        notify(e.id, std::string(kAXValueChangedNotification), work);
    }
}

std::optional<std::int32_t> State::applicationPidOf(SimulatedElementId id) {
    const Element* e = element(id);
    if (e == nullptr) {
        return std::nullopt;
    }
    const std::int32_t elementPid = e->pid;
    while (e->parent) {
        e = element(*e->parent);
        if (e == nullptr) {
            return elementPid;
        }
    }
    return e->isApplication ? e->pid : elementPid;
}

void State::recordSideEffect(SimulatedSideEffect effect) {
    // A long-running helper presses and writes without end: keep only the latest entries.
    if (sideEffects.size() >= kSideEffectCapacity) {
        sideEffects.pop_front();
    }
    sideEffects.push_back(std::move(effect));
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
    return {state_->sideEffects.begin(), state_->sideEffects.end()};
}
void SimulatedDesktop::clearSideEffects() {
    std::lock_guard guard(state_->mutex);
    state_->sideEffects.clear();
}
AXPlatformElementRef SimulatedDesktop::elementReference(SimulatedElementId element) const {
    std::lock_guard guard(state_->mutex);
    return state_->ref(element);
}
std::size_t SimulatedDesktop::elementCount() const {
    std::lock_guard guard(state_->mutex);
    return state_->elements.size();
}

} // namespace bix::ax
