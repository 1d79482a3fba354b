#include "Atspi/X11Activation.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <cstdlib>
#include <memory>

namespace bix::ax::atspi {

namespace {

// A window that vanishes between listing and asking raises BadWindow; that is an answer, not a
// reason to end the process (Xlib's default handler exits).
int ignoreXError(Display*, XErrorEvent*) {
    return 0;
}

struct XFreeDeleter {
    void operator()(unsigned char* data) const {
        if (data != nullptr) {
            XFree(data);
        }
    }
};
using XData = std::unique_ptr<unsigned char, XFreeDeleter>;

// The 32-bit items of a window property, or none.
XData readProperty(Display* display, Window window, Atom property, Atom type,
                   unsigned long& count) {
    Atom actualType = None;
    int actualFormat = 0;
    unsigned long remaining = 0;
    unsigned char* data = nullptr;
    count = 0;
    const int status = XGetWindowProperty(display, window, property, 0, 4096, False, type,
                                          &actualType, &actualFormat, &count, &remaining, &data);
    XData owned(data);
    if (status != Success || actualFormat != 32 || actualType != type) {
        count = 0;
        return nullptr;
    }
    return owned;
}

} // namespace

X11WindowActivator::~X11WindowActivator() {
    if (display_ != nullptr) {
        XCloseDisplay(display_);
    }
}

Display* X11WindowActivator::display() {
    if (!opened_) {
        opened_ = true;
        if (std::getenv("DISPLAY") != nullptr) {
            XSetErrorHandler(ignoreXError);
            display_ = XOpenDisplay(nullptr);
        }
    }
    return display_;
}

bool X11WindowActivator::requestActivation(std::int32_t pid) {
    Display* display = this->display();
    if (display == nullptr || pid <= 0) {
        return false;
    }
    const Window root = DefaultRootWindow(display);
    const Atom clientList = XInternAtom(display, "_NET_CLIENT_LIST", False);
    const Atom windowPid = XInternAtom(display, "_NET_WM_PID", False);
    const Atom activeWindow = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
    unsigned long windowCount = 0;
    XData windows = readProperty(display, root, clientList, XA_WINDOW, windowCount);
    const auto* list = reinterpret_cast<const unsigned long*>(windows.get());
    for (unsigned long i = 0; i < windowCount; ++i) {
        unsigned long pidCount = 0;
        XData owner = readProperty(display, list[i], windowPid, XA_CARDINAL, pidCount);
        if (pidCount != 1 || *reinterpret_cast<const unsigned long*>(owner.get()) !=
                                 static_cast<unsigned long>(pid)) {
            continue;
        }
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = list[i];
        event.xclient.message_type = activeWindow;
        event.xclient.format = 32;
        event.xclient.data.l[0] = 2; // the request comes from a tool acting for the user
        event.xclient.data.l[1] = CurrentTime;
        XSendEvent(display, root, False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
        XFlush(display);
        return true;
    }
    return false;
}

} // namespace bix::ax::atspi
