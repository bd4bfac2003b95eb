#pragma once

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <chrono>

#include "Eventually.h"

// The window manager's active window, read and changed as a user's click would change it.
// Header only: the tests that use it link Xlib themselves.
namespace quillane::host::test {

// _NET_ACTIVE_WINDOW of the root; 0 when none is active.
inline Window activeWindow(Display* display) {
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    Window active = 0;
    if (XGetWindowProperty(display, DefaultRootWindow(display), XInternAtom(display, "_NET_ACTIVE_WINDOW", False), 0,
                           1, False, XA_WINDOW, &type, &format, &count, &after, &data) == Success &&
        data != nullptr) {
        if (count == 1 && format == 32) active = *reinterpret_cast<unsigned long*>(data);
        XFree(data);
    }
    return active;
}

// Asks the window manager to activate the window (as a pager does for a click); true once it is.
inline bool activateWindow(Display* display, Window window,
                           std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = 2;
    XSendEvent(display, DefaultRootWindow(display), False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
    XSync(display, False);
    return eventually([&] { return activeWindow(display) == window; }, timeout);
}

}  // namespace quillane::host::test
