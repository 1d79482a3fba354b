#pragma once

#include "Platform/AXPlatform.h"
#include "Platform/MainRunLoop.h"

#include <memory>

namespace bix::ax {

namespace atspi {
class AtspiWorker;
struct AtspiEventHub;
class X11WindowActivator;
} // namespace atspi

// The Linux desktop as an AX-style platform, over the AT-SPI accessibility bus (libatspi).
//
// - Trust: the accessibility bus answered when the platform started (reachable and enabled);
//   otherwise every element call fails as untrusted, as an unauthorised process would on macOS.
// - Identity: one element per (bus name, object path). A vanished object or application answers
//   as an invalid element; a call the target does not answer in time cannot complete.
// - Applications: the desktop's children; the bundle identifier stands in as the application's
//   GApplication id (a reverse-DNS session-bus name its process owns), otherwise
//   "linux.<toolkit>.<program>". Active = a window in the ACTIVE state; minimized = ICONIFIED,
//   which only a window manager sets.
// - Values go through the editable-text interface and presses through the toolkit's
//   click/press action; an element without them is refused, never typed into.
// - Notifications: AT-SPI events mapped to the AX notifications and posted to the main run loop;
//   nothing is asked of the bus while an event is handled.
//
// Every libatspi call runs on one worker thread (libatspi is single-threaded); the methods here
// are thread-safe and wait a bounded time for it.
class AtspiPlatform final : public AXPlatform {
public:
    // Connects to the accessibility bus found through the environment. Never throws: an
    // unreachable bus gives a platform that answers untrusted.
    static std::shared_ptr<AtspiPlatform> connect(TaskScheduler& mainLoop);
    ~AtspiPlatform() override;

    bool isProcessTrusted(bool prompt) override;
    std::int32_t ownProcessIdentifier() override;
    std::vector<AXPlatformApplication> runningApplications() override;
    std::optional<AXPlatformApplication> runningApplication(std::int32_t pid) override;
    std::optional<std::int32_t> frontmostApplicationPID() override;
    bool activateApplication(std::int32_t pid) override;

    AXPlatformElementRef createApplicationElement(std::int32_t pid) override;
    AXResult<AXAttributeValue> copyAttributeValue(const AXPlatformElementRef& element,
                                                  const std::string& attribute) override;
    std::vector<AXResult<AXAttributeValue>>
    copyMultipleAttributeValues(const AXPlatformElementRef& element,
                                const std::vector<std::string>& attributes) override;
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

    // Drops what libatspi remembers of every application, so the next reads ask the bus again
    // (cold reads, for measurements).
    void clearCachedState();

    struct Desktop; // the worker-side state: caches and readers
private:
    AtspiPlatform() = default;

    std::shared_ptr<atspi::AtspiWorker> worker_;
    std::shared_ptr<atspi::AtspiEventHub> events_;
    std::shared_ptr<Desktop> desktop_; // used on the worker thread only
    TaskScheduler* mainLoop_ = nullptr;
};

} // namespace bix::ax
