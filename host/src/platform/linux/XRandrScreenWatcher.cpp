#include "platform/linux/XRandrScreenWatcher.h"

#include <X11/extensions/Xrandr.h>

namespace quillane::host {

XRandrScreenWatcher::~XRandrScreenWatcher() {
    close();
}

bool XRandrScreenWatcher::open() {
    close();
    display = XOpenDisplay(nullptr);
    if (!display) return false;
    int errorBase = 0;
    if (!XRRQueryExtension(display, &eventBase, &errorBase)) {
        close();
        return false;
    }
    XRRSelectInput(display, DefaultRootWindow(display),
                   RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
    XFlush(display);
    return true;
}

void XRandrScreenWatcher::close() {
    if (display) {
        XCloseDisplay(display);
        display = nullptr;
    }
}

bool XRandrScreenWatcher::takeChange() {
    if (!display) return false;
    bool changed = false;
    while (XPending(display) > 0) {
        XEvent event;
        XNextEvent(display, &event);
        // Keeps Xlib's idea of the screen size current for this connection.
        XRRUpdateConfiguration(&event);
        if (event.type == eventBase + RRScreenChangeNotify || event.type == eventBase + RRNotify) changed = true;
    }
    return changed;
}

}  // namespace quillane::host
