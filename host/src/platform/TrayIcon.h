#pragma once

namespace quillane::host {

class HostWindow;

// The notification-area icon whose menu shows or hides the host window, checks
// for updates and exits. Its messages reach the program through the window.
class TrayIcon {
public:
    virtual ~TrayIcon() = default;

    // False on a platform that has no notification-area icon at all; add() is
    // then never called.
    virtual bool supported() const { return true; }

    // Adds the icon for `window`; false when that fails.
    virtual bool add(HostWindow& window) = 0;

    // Removes the icon; safe when it was never added.
    virtual void remove() = 0;
};

} // namespace quillane::host
