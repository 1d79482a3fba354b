#pragma once

#include <cstdint>

struct _XDisplay;

namespace bix::ax::atspi {

// Asks the X11 window manager to activate a top-level window of a process (the EWMH
// _NET_ACTIVE_WINDOW request, matched through _NET_WM_PID). AT-SPI has no call that activates an
// application; without X11 or a window manager there is nothing to ask. Owns its display
// connection, opened on first use; use it from one thread only (the AT-SPI worker).
class X11WindowActivator {
public:
    X11WindowActivator() = default;
    ~X11WindowActivator();
    X11WindowActivator(const X11WindowActivator&) = delete;
    X11WindowActivator& operator=(const X11WindowActivator&) = delete;

    // True when the request went to a window of `pid`; whether the window manager honours it
    // shows later in the windows' ACTIVE state.
    bool requestActivation(std::int32_t pid);

private:
    _XDisplay* display();

    _XDisplay* display_ = nullptr;
    bool opened_ = false;
};

} // namespace bix::ax::atspi
