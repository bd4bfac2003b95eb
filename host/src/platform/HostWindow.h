#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace quillane::host {

// The host's one window and the device it is drawn with (Direct3D 11 on
// Windows, an OpenGL 3 context on Linux). Everything here runs on the main thread.
class HostWindow {
public:
    virtual ~HostWindow() = default;

    // Creates the window, hidden, and its rendering device. On failure `error`
    // holds the one line to log and show; what was created stays for destroy().
    virtual bool create(std::string& error) = 0;

    // Shows the window for the first time.
    virtual void show() = 0;

    // Waits up to `wait` for the first event, then handles every queued one.
    // False once the program should end (the tray's "Exit", a quit message, a
    // termination signal).
    virtual bool pumpMessages(std::chrono::milliseconds wait) = 0;

    // Resizes the back buffer when the window reported a new non-zero size.
    virtual void applyPendingResize() = 0;

    // Binds the back buffer and clears it to the background colour.
    virtual void clear() = 0;

    // Presents with vertical sync.
    virtual void present() = 0;

    // Whether the window's picture is out of date (first shown, uncovered,
    // resized); asking clears it. Without UI content to animate, the loop draws
    // only then, so an unchanged window costs no rendering.
    virtual bool takeRedrawRequest() { return true; }

    // Shown and not minimised: only then is drawing seen.
    virtual bool isVisible() const { return true; }

    // Refresh rate of the display the window is on, in hertz; 0 when unknown.
    virtual double displayRefreshRate() const = 0;

    // The window's id as clients and the window list see it (the low 32 bits of
    // the native handle); 0 before create().
    virtual std::uint32_t windowId() const = 0;

    // Shows, restores and raises the window.
    virtual void showAndRaise() = 0;

    // With a tray icon, closing or minimising hides the window to the tray;
    // without one it is minimised instead, so the user can always get back to it.
    virtual void setHideToTray(bool hide) = 0;

    // Releases the device, then destroys the window. Safe to call more than once.
    virtual void destroy() = 0;

    // Notifications that the window receives for the rest of the program.
    std::function<void()> onDisplayChange;   // the display configuration changed
    std::function<void()> onCheckForUpdates; // the tray menu's "Check for Updates"
};

} // namespace quillane::host
