#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "capture/WindowSystem.h"

namespace quillane::host {

// Outer size of a window, frame included.
struct WindowSize {
    std::int32_t width = 0;
    std::int32_t height = 0;
};

// The desktop services behind InputInjector: Win32 calls on Windows, Xlib on
// X11. Window handles are the ones the window list hands out. Error codes are
// the platform's own (GetLastError values, X error codes). Every call may be
// made from any thread.
class InputPlatform {
public:
    virtual ~InputPlatform() = default;

    // ---- window placement ----

    // False for windows that are gone (or never were).
    virtual bool isWindow(NativeWindow window) = 0;
    // Outer rectangle in screen coordinates, frame included.
    virtual std::optional<WindowRect> windowRect(NativeWindow window, std::uint32_t& error) = 0;
    // `client` grown by the frame that the window's styles give it.
    virtual WindowRect adjustClientRect(NativeWindow window, const WindowRect& client) = 0;
    // The smallest outer size the window accepts; 0 in a dimension without a minimum.
    virtual WindowSize minimumTrackingSize(NativeWindow window) = 0;
    virtual WindowSize primaryScreenSize() = 0;
    // Gives the window the outer size (x, y are ignored when keepPosition is set);
    // never activates it or changes its stacking.
    virtual bool setWindowPos(NativeWindow window, std::int32_t x, std::int32_t y, WindowSize outer,
                              bool keepPosition, std::uint32_t& error) = 0;
};

// This platform's implementation.
std::shared_ptr<InputPlatform> createInputPlatform();

}  // namespace quillane::host
