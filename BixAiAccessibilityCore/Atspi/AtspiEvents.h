#pragma once

#include "Atspi/AtspiElement.h"
#include "Platform/AXPlatform.h"
#include "Platform/MainRunLoop.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace bix::ax::atspi {

class AtspiObserver;

// Where the bus's events meet the helper's observers. The event listener runs on the worker
// thread inside libatspi's dispatch and only reads what the event carries (type, the source's
// bus name and path, detail, the removed child): it asks the bus nothing, so the events queued
// behind it are not delayed. Matching deliveries are posted to the main run loop.
//
// `lock_` guards the observer list and the focus record; it is never held while posting.
struct AtspiEventHub {
    explicit AtspiEventHub(TaskScheduler& loop) : mainLoop(loop) {}

    // Registers the listener for every event type the observers map. On the worker thread.
    void listen(const std::shared_ptr<AtspiEventHub>& self);
    void add(const std::shared_ptr<AtspiObserver>& observer);
    // The worker that owns the libatspi objects the focus record refers to.
    void setWorker(std::weak_ptr<AtspiWorker> worker);
    // The element that most recently gained focus in application `busName`, if any.
    AXPlatformElementRef lastFocused(const std::string& busName) const;
    // Called for each event on the worker thread.
    void dispatch(const AtspiEvent& event);

    TaskScheduler& mainLoop;

private:
    mutable std::mutex lock_;
    std::vector<std::weak_ptr<AtspiObserver>> observers_;
    std::weak_ptr<AtspiWorker> worker_;
    std::map<std::string, AXPlatformElementRef> focusedByApplication_;
};

// One observer for one application's notifications. A registration on a window or on the
// application hears the notifications of the whole application: finding an event's window would
// take bus round trips while handling it. `lock_` guards the registrations and the attached flag.
class AtspiObserver final : public AXPlatformObserver,
                            public std::enable_shared_from_this<AtspiObserver> {
public:
    struct Registration {
        AXPlatformElementRef element;
        std::shared_ptr<void> context;
        bool hearsApplication = false;
    };

    // Checks an element on the bus before it is registered: the result code, and whether it is
    // a window or the application (which hear the whole application).
    using ElementCheck = std::function<AXResult<bool>(const AtspiElement&)>;

    AtspiObserver(std::string busName, AXObserverCallback callback, TaskScheduler& loop,
                  ElementCheck check)
        : busName_(std::move(busName)), callback_(callback), mainLoop_(loop),
          check_(std::move(check)) {}

    AXError addNotification(const AXPlatformElementRef& element, const std::string& notification,
                            std::shared_ptr<void> context) override;
    AXError removeNotification(const AXPlatformElementRef& element,
                               const std::string& notification) override;
    void attachToMainRunLoop() override;
    void detachFromMainRunLoop() override;

    const std::string& busName() const { return busName_; }
    // Posts the deliveries one event causes: `notifications` on the source, and the
    // destruction of `removedChildKey` when a child left.
    void deliver(const std::string& sourceKey, const std::vector<std::string>& notifications,
                 const std::string& removedChildKey);

private:
    using Key = std::pair<std::string, std::string>; // element key, notification
    void post(const Key& key, const Registration& registration);

    const std::string busName_;
    const AXObserverCallback callback_;
    TaskScheduler& mainLoop_;
    const ElementCheck check_;
    std::mutex lock_;
    std::map<Key, Registration> registrations_;
    bool attached_ = false;
};

} // namespace bix::ax::atspi
