#include "Atspi/AtspiEvents.h"

#include "Access/AccessibilityBackend.h"
#include "Atspi/AtspiMapping.h"

#include <algorithm>
#include <array>

namespace bix::ax::atspi {

namespace {

// The event types the listener asks for; most map to AX notifications, and
// "object:state-changed:focused" also keeps the focus record. Hearing them is also what keeps
// libatspi's copies of states, names, descriptions, roles, parents and children current.
constexpr std::array<const char*, 9> kEventTypes = {
    "object:text-changed",
    "object:property-change",
    "object:value-changed",
    "object:children-changed",
    "object:state-changed",
    "object:selection-changed",
    "object:active-descendant-changed",
    "window:create",
    "window:destroy",
};

void onEvent(AtspiEvent* event, void* userData) {
    const auto* hub = static_cast<std::shared_ptr<AtspiEventHub>*>(userData);
    if (event != nullptr && hub != nullptr && *hub) {
        (*hub)->dispatch(*event);
    }
    if (event != nullptr) {
        g_boxed_free(ATSPI_TYPE_EVENT, event);
    }
}

void releaseHub(void* userData) {
    delete static_cast<std::shared_ptr<AtspiEventHub>*>(userData);
}

bool isApplicationPath(const std::string& key) {
    return key.size() >= 5 && key.compare(key.size() - 5, 5, "/root") == 0;
}

std::string busOf(const std::string& key) {
    return key.substr(0, key.find('\n'));
}

} // namespace

void AtspiEventHub::listen(const std::shared_ptr<AtspiEventHub>& self) {
    // The listener holds the hub for as long as libatspi keeps the listener.
    AtspiEventListener* listener =
        atspi_event_listener_new(onEvent, new std::shared_ptr<AtspiEventHub>(self), releaseHub);
    for (const char* type : kEventTypes) {
        GError* error = nullptr;
        atspi_event_listener_register(listener, type, &error);
        if (error != nullptr) {
            g_error_free(error); // that event type stays unheard; polling still sees changes
        }
    }
    // The registrations keep the listener; this reference is not needed any more.
    g_object_unref(listener);
}

void AtspiEventHub::add(const std::shared_ptr<AtspiObserver>& observer) {
    std::lock_guard guard(lock_);
    std::erase_if(observers_, [](const auto& weak) { return weak.expired(); });
    observers_.push_back(observer);
}

void AtspiEventHub::setWorker(std::weak_ptr<AtspiWorker> worker) {
    std::lock_guard guard(lock_);
    worker_ = std::move(worker);
}

AXPlatformElementRef AtspiEventHub::lastFocused(const std::string& busName) const {
    std::lock_guard guard(lock_);
    auto found = focusedByApplication_.find(busName);
    return found == focusedByApplication_.end() ? nullptr : found->second;
}

void AtspiEventHub::dispatch(const AtspiEvent& event) {
    if (event.type == nullptr) {
        return;
    }
    const std::string type = event.type;
    const std::string sourceKey = elementKey(event.source);
    if (sourceKey.empty()) {
        return;
    }
    const std::string busName = busOf(sourceKey);
    if (type.rfind("object:children-changed", 0) == 0) {
        // libatspi applies a change to the children it keeps by the child the event names, and
        // GTK 3 names the wrong one in removals (the sibling now at the removed index). The kept
        // list is dropped instead; the next read asks the application.
        event.source->cached_properties &= ~static_cast<guint>(ATSPI_CACHE_CHILDREN);
    }
    if (type == "object:state-changed:focused" && event.detail1 != 0) {
        // Only a reference is taken here; whether it still has focus is asked when it is read.
        std::lock_guard guard(lock_);
        focusedByApplication_[busName] = std::make_shared<AtspiElement>(event.source, worker_);
    }
    std::string removedChildKey;
    if (type.rfind("object:children-changed:remove", 0) == 0 &&
        G_VALUE_HOLDS(&event.any_data, ATSPI_TYPE_ACCESSIBLE)) {
        removedChildKey =
            elementKey(static_cast<AtspiAccessible*>(g_value_get_object(&event.any_data)));
    }
    const auto notifications =
        axNotificationsForEvent(type, event.detail1, isApplicationPath(sourceKey));
    if (notifications.empty() && removedChildKey.empty()) {
        return;
    }
    std::vector<std::shared_ptr<AtspiObserver>> targets;
    {
        std::lock_guard guard(lock_);
        for (const auto& weak : observers_) {
            if (auto observer = weak.lock(); observer && observer->busName() == busName) {
                targets.push_back(std::move(observer));
            }
        }
    }
    for (const auto& observer : targets) {
        observer->deliver(sourceKey, notifications, removedChildKey);
    }
}

// MARK: observer

AXError AtspiObserver::addNotification(const AXPlatformElementRef& element,
                                       const std::string& notification,
                                       std::shared_ptr<void> context) {
    if (std::find(kAllowlistedAXNotifications.begin(), kAllowlistedAXNotifications.end(),
                  notification) == kAllowlistedAXNotifications.end()) {
        return ax::kNotificationUnsupported;
    }
    const auto* atspiElement = dynamic_cast<const AtspiElement*>(element.get());
    if (atspiElement == nullptr || atspiElement->object() == nullptr) {
        return ax::kInvalidUIElement;
    }
    if (atspiElement->busName() != busName_) {
        return ax::kIllegalArgument; // an element of another application
    }
    const AXResult<bool> checked = check_(*atspiElement);
    if (checked.error != ax::kSuccess) {
        return checked.error;
    }
    std::lock_guard guard(lock_);
    registrations_[{atspiElement->key(), notification}] =
        Registration{element, std::move(context), checked.value};
    return ax::kSuccess;
}

AXError AtspiObserver::removeNotification(const AXPlatformElementRef& element,
                                          const std::string& notification) {
    const auto* atspiElement = dynamic_cast<const AtspiElement*>(element.get());
    if (atspiElement == nullptr) {
        return ax::kIllegalArgument;
    }
    std::lock_guard guard(lock_);
    return registrations_.erase({atspiElement->key(), notification}) == 0
               ? ax::kNotificationNotRegistered
               : ax::kSuccess;
}

void AtspiObserver::attachToMainRunLoop() {
    std::lock_guard guard(lock_);
    attached_ = true;
}

void AtspiObserver::detachFromMainRunLoop() {
    std::lock_guard guard(lock_);
    attached_ = false;
}

void AtspiObserver::deliver(const std::string& sourceKey,
                            const std::vector<std::string>& notifications,
                            const std::string& removedChildKey) {
    std::vector<std::pair<Key, Registration>> due;
    {
        std::lock_guard guard(lock_);
        if (!attached_) {
            return;
        }
        for (const auto& [key, registration] : registrations_) {
            const auto& [elementKey, name] = key;
            const bool named =
                std::find(notifications.begin(), notifications.end(), name) != notifications.end();
            const bool heard = named && (elementKey == sourceKey || registration.hearsApplication);
            const bool removed = !removedChildKey.empty() && elementKey == removedChildKey &&
                                 name == kAXUIElementDestroyedNotification;
            if (heard || removed) {
                due.emplace_back(key, registration);
            }
        }
    }
    for (const auto& [key, registration] : due) {
        post(key, registration);
    }
}

void AtspiObserver::post(const Key& key, const Registration& registration) {
    std::weak_ptr<AtspiObserver> weakSelf = weak_from_this();
    mainLoop_.post([weakSelf, key, registration] {
        auto self = weakSelf.lock();
        if (!self) {
            return;
        }
        {
            // A registration removed (or the observer detached) after posting delivers nothing.
            std::lock_guard guard(self->lock_);
            auto current = self->registrations_.find(key);
            if (!self->attached_ || current == self->registrations_.end() ||
                current->second.context != registration.context) {
                return;
            }
        }
        self->callback_(registration.element, key.second, registration.context);
    });
}

} // namespace bix::ax::atspi
