#include "Atspi/AtspiAccessibilityBackend.h"

#include "Atspi/AtspiPlatform.h"

namespace bix::ax {

std::shared_ptr<AtspiAccessibilityBackend>
AtspiAccessibilityBackend::connect(TaskScheduler& mainLoop) {
    return std::make_shared<AtspiAccessibilityBackend>(AtspiPlatform::connect(mainLoop));
}

} // namespace bix::ax
