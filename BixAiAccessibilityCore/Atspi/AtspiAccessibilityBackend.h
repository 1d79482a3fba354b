#pragma once

#include "Access/PlatformAccessibilityBackend.h"
#include "Platform/MainRunLoop.h"

#include <memory>

namespace bix::ax {

// The helper's backend on a Linux desktop: the platform-independent core (registry, guards,
// snapshots, observation) over the AT-SPI platform layer.
class AtspiAccessibilityBackend final : public PlatformAccessibilityBackend {
public:
    // Connects to the accessibility bus found through the environment; notifications are
    // delivered on `mainLoop`, which must outlive the backend. Never throws: without a bus the
    // backend answers untrusted.
    static std::shared_ptr<AtspiAccessibilityBackend> connect(TaskScheduler& mainLoop);

    explicit AtspiAccessibilityBackend(std::shared_ptr<AXPlatform> platform)
        : PlatformAccessibilityBackend(std::move(platform)) {}
};

} // namespace bix::ax
