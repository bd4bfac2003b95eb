#pragma once

#include <X11/Xlib.h>

namespace quillane::host {

// Watches the X screen for RandR changes (its size or rotation, a CRTC or an
// output) on a connection of its own: GLFW reports only monitors that come and
// go, not a screen that changes size. Main thread only.
class XRandrScreenWatcher {
public:
    XRandrScreenWatcher() = default;
    ~XRandrScreenWatcher();
    XRandrScreenWatcher(const XRandrScreenWatcher&) = delete;
    XRandrScreenWatcher& operator=(const XRandrScreenWatcher&) = delete;

    // False when there is no display or it has no RandR; nothing is watched then.
    bool open();
    void close();

    // Reads every pending event; true when any of them changed the screen
    // (several events of one change count once).
    bool takeChange();

private:
    Display* display = nullptr;
    int eventBase = 0;
};

}  // namespace quillane::host
