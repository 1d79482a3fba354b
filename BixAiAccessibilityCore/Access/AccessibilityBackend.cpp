#include "Access/AccessibilityBackend.h"

#include "Protocol/Redaction.h"

namespace bix::ax {

std::string AXNodeSnapshot::semanticFingerprint() const {
    std::string joinedActions;
    bool first = true;
    for (const auto& action : actions) { // std::set keeps code-point order
        if (!first) {
            joinedActions.push_back(',');
        }
        joinedActions += action;
        first = false;
    }
    return Redaction::semanticFingerprint({
        role,
        subrole.value_or(""),
        identifier.value_or(""),
        isValueSettable ? "settable" : "read-only",
        joinedActions,
    });
}

std::string accessibilityWindowFingerprint(const AXNodeSnapshot& window) {
    return Redaction::semanticFingerprint({
        std::to_string(window.pid),
        window.role,
        window.subrole.value_or(""),
        window.identifier.value_or(""),
    });
}

} // namespace bix::ax
