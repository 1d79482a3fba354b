#include "Simulator/SimulatedDesktopState.h"

#include <utility>

// Notifications and timers: observers and their registrations, delivery of notifications as tasks
// on the scheduler, and changes armed on its timers.

namespace bix::ax {

using namespace simulated;
using State = SimulatedDesktop::State;

void PendingWork::run() {
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

namespace simulated {

// One observer of one process. Its fields are guarded by the model's mutex (the model walks
// every observer when it posts a notification).
class SimulatedObserver final : public AXPlatformObserver,
                                public std::enable_shared_from_this<SimulatedObserver> {
public:
    SimulatedObserver(std::weak_ptr<SimulatedDesktop::State> state,
                      AXObserverCallback observerCallback)
        : state_(std::move(state)), callback_(observerCallback) {}

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
    AXObserverCallback callback_;
};

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
    if (AXError forced = e->forcedError(AXOperation::addNotification, notification)) {
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

void State::notify(SimulatedElementId id, const std::string& notification, PendingWork& work) {
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

void State::notifyLayout(SimulatedElementId id, PendingWork& work) {
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

void State::armChange(std::chrono::milliseconds after, Change change, PendingWork& work) {
    std::weak_ptr<State> weakState = weak_from_this();
    work.timers.emplace_back(after, [weakState, change = std::move(change)] {
        if (auto state = weakState.lock()) {
            change(*state->owner);
        }
    });
}

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

AXResult<std::shared_ptr<AXPlatformObserver>>
SimulatedDesktop::createObserver(std::int32_t /*pid*/, AXObserverCallback callback) {
    std::lock_guard guard(state_->mutex);
    if (!state_->trusted) {
        return {ax::kAPIDisabled, nullptr};
    }
    if (callback == nullptr) {
        return {ax::kIllegalArgument, nullptr};
    }
    auto observer = std::make_shared<SimulatedObserver>(state_, callback);
    state_->observers.push_back(observer);
    return {ax::kSuccess, observer};
}

} // namespace bix::ax
