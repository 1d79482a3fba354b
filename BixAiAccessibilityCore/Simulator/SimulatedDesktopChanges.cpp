#include "Simulator/SimulatedDesktop.h"

// Changes the desktop makes by itself (scenario events, a chat application's changes after a
// submit), carried out through the desktop's public API like any test would.

namespace bix::ax {

bool SimulatedDesktop::applyChange(const SimulatedChange& change) {
    using Kind = SimulatedChange::Kind;
    if (change.kind == Kind::quit) {
        return change.pid && quitApplication(*change.pid);
    }
    if (change.kind == Kind::relaunch) {
        return change.pid && relaunchApplication(*change.pid, change.newPid) != 0;
    }
    const auto element = elementByKey(change.key);
    if (!element) {
        return false;
    }
    switch (change.kind) {
    case Kind::close:
        return closeWindow(*element);
    case Kind::minimize:
        return setMinimized(*element, true);
    case Kind::restore:
        return setMinimized(*element, false);
    case Kind::retitle:
        return retitle(*element, change.title);
    case Kind::recreate:
        return replaceElement(*element) != 0;
    case Kind::quit:
    case Kind::relaunch:
        break;
    }
    return false;
}

} // namespace bix::ax
