#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quillane::host {

// A top-level window of the desktop: a Win32 window handle or an X window id.
using NativeWindow = std::uint64_t;

// Outer rectangle in screen (root window) coordinates.
struct WindowRect {
    std::int32_t left = 0;
    std::int32_t top = 0;
    std::int32_t right = 0;
    std::int32_t bottom = 0;
};

// What a window's styles say about its kind.
struct WindowStyle {
    bool toolWindow = false;  // palettes, menus, tooltips, docks: never in the taskbar
    bool caption = false;     // has a title bar or a border
    bool appWindow = false;   // asks to be treated as an application window even without a caption
};

struct WindowIconPng {
    enum class Outcome {
        NoIcon,      // the window has no icon at all; not worth a log line
        DrawFailed,  // an icon exists but could not be turned into pixels (already logged)
        Encoded,     // png holds the result of encoding; empty when the encoder failed
    };
    Outcome outcome = Outcome::NoIcon;
    std::vector<std::uint8_t> png;
};

// The desktop's window system as the window list needs it. Every query answers
// for a window that may have vanished a moment ago: it then gives the empty or
// false value, never an error.
class WindowSystem {
public:
    virtual ~WindowSystem() = default;

    // Calls visit for every top-level window in the window system's own order
    // (Z order on Windows, the window manager's client list on X11) until it returns false.
    virtual void forEachTopLevelWindow(const std::function<bool(NativeWindow)>& visit) = 0;

    virtual bool isVisible(NativeWindow window) = 0;
    virtual std::size_t titleLength(NativeWindow window) = 0;
    virtual std::wstring title(NativeWindow window) = 0;
    virtual std::wstring className(NativeWindow window) = 0;  // at most 255 characters
    virtual WindowStyle style(NativeWindow window) = 0;
    virtual bool isCloaked(NativeWindow window) = 0;  // present but not shown (another desktop, suspended)
    virtual std::optional<WindowRect> rect(NativeWindow window) = 0;
    virtual bool isMinimized(NativeWindow window) = 0;
    virtual bool isMaximized(NativeWindow window) = 0;
    // Full path of the owning process's executable; empty when it cannot be read.
    virtual std::wstring processImagePath(NativeWindow window) = 0;
    virtual WindowIconPng iconPng(NativeWindow window) = 0;
};

// The window system of this platform, for one enumeration on the calling thread.
std::unique_ptr<WindowSystem> createWindowSystem();

}  // namespace quillane::host
