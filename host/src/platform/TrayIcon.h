#pragma once

namespace quillane::host {

class HostWindow;

// The notification-area icon whose menu shows or hides the host window, checks
// for updates and exits. Its messages reach the program through the window.
class TrayIcon {
public:
    virtual ~TrayIcon() = default;

    // Adds the icon for `window`; false when the platform has no tray for it.
    virtual bool add(HostWindow& window) = 0;

    // Removes the icon; safe when it was never added.
    virtual void remove() = 0;
};

} // namespace quillane::host
