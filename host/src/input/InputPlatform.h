#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "capture/WindowSystem.h"

namespace quillane::host {

// Outer size of a window, frame included.
struct WindowSize {
    std::int32_t width = 0;
    std::int32_t height = 0;
};

// The desktop's bounding rectangle over all monitors.
struct VirtualScreen {
    std::int32_t left = 0;
    std::int32_t top = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
};

// Flags of a synthesized mouse input (the values of Win32's MOUSEEVENTF_*).
namespace mouse_flags {
constexpr std::uint32_t kMove = 0x0001;
constexpr std::uint32_t kLeftDown = 0x0002;
constexpr std::uint32_t kLeftUp = 0x0004;
constexpr std::uint32_t kRightDown = 0x0008;
constexpr std::uint32_t kRightUp = 0x0010;
constexpr std::uint32_t kMiddleDown = 0x0020;
constexpr std::uint32_t kMiddleUp = 0x0040;
constexpr std::uint32_t kXDown = 0x0080;
constexpr std::uint32_t kXUp = 0x0100;
constexpr std::uint32_t kWheel = 0x0800;
constexpr std::uint32_t kHWheel = 0x1000;
constexpr std::uint32_t kVirtualDesk = 0x4000;
constexpr std::uint32_t kAbsolute = 0x8000;
constexpr std::uint32_t kAbsoluteMove = kMove | kAbsolute | kVirtualDesk;  // 0xC001
constexpr std::uint32_t kXButton1 = 1;  // mouse data of the X buttons
constexpr std::uint32_t kXButton2 = 2;
}  // namespace mouse_flags

// Flags of a synthesized key input (the values of Win32's KEYEVENTF_*).
namespace key_flags {
constexpr std::uint32_t kExtendedKey = 0x0001;
constexpr std::uint32_t kKeyUp = 0x0002;
constexpr std::uint32_t kUnicode = 0x0004;  // scan holds one UTF-16 code unit; vk is 0
}  // namespace key_flags

// One synthesized input, shaped like Win32's INPUT record. Mouse: dx, dy are absolute units
// (0..65535 over the virtual screen, with kAbsolute) or a relative motion; data is the wheel
// delta (120 per notch) or the X button. Keyboard: a Windows virtual-key code and its scan code.
struct SyntheticInput {
    enum class Kind : std::uint8_t { Mouse, Keyboard };
    Kind kind = Kind::Mouse;
    std::uint32_t flags = 0;
    std::int32_t dx = 0;
    std::int32_t dy = 0;
    std::int32_t data = 0;
    std::uint16_t vk = 0;
    std::uint16_t scan = 0;

    static SyntheticInput mouse(std::uint32_t flags, std::int32_t dx, std::int32_t dy, std::int32_t data) {
        return SyntheticInput{Kind::Mouse, flags, dx, dy, data, 0, 0};
    }
    static SyntheticInput key(std::uint16_t vk, std::uint16_t scan, std::uint32_t flags) {
        return SyntheticInput{Kind::Keyboard, flags, 0, 0, 0, vk, scan};
    }
};

// The desktop services behind InputInjector and FocusManager: Win32 calls on Windows, Xlib and
// XTest on X11. Window handles are the ones the window list hands out. Error codes are the
// platform's own (GetLastError values, X error codes). Every call may be made from any thread;
// a window that vanished between two calls is answered as missing, never fatally.
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

    // ---- injection ----

    // Inserts the inputs in order into the desktop's input stream; returns how many went in.
    virtual std::uint32_t sendInputs(std::span<const SyntheticInput> inputs) = 0;
    virtual VirtualScreen virtualScreen() = 0;
    // The rectangle that a stream of the window shows, in screen coordinates: what normalised
    // client coordinates map onto.
    virtual std::optional<WindowRect> mappingRect(NativeWindow window) = 0;
    // The window under a screen point, 0 when there is none.
    virtual NativeWindow windowFromPoint(std::int32_t x, std::int32_t y) = 0;
    // The top-level window that contains the window (itself for a top-level one); 0 when gone.
    virtual NativeWindow rootWindow(NativeWindow window) = 0;
    // The two windows belong to one application (its dialogs and popups): the same process on
    // Windows; on X11 the same _NET_WM_PID, or one is transient for the other through a
    // WM_TRANSIENT_FOR chain. False when either is gone.
    virtual bool sameApplication(NativeWindow window, NativeWindow other) = 0;
    // The scan code of a virtual key on the current layout; 0 when it has none.
    virtual std::uint16_t scanCode(std::uint8_t vk) = 0;

    // ---- focus ----

    // The active window. Cheap enough to ask per key: X11 answers from a cache kept current by
    // the server's property notifications.
    virtual NativeWindow foregroundWindow() = 0;
    virtual bool isIconic(NativeWindow window) = 0;
    virtual bool isVisible(NativeWindow window) = 0;
    // Restores a minimised window (restore) or maps a hidden one.
    virtual void showWindow(NativeWindow window, bool restore) = 0;
    virtual void bringToTop(NativeWindow window) = 0;
    // Asks for the window to become the foreground (active) window; the answer may come later.
    virtual bool setForeground(NativeWindow window) = 0;
    // The error of the last failed focus call on this thread.
    virtual std::uint32_t lastError() = 0;
    // Input-queue threads (0 where the platform has none); attaching joins their input state.
    virtual std::uint32_t windowThread(NativeWindow window) = 0;
    virtual std::uint32_t currentThread() = 0;
    virtual bool attachThreadInput(std::uint32_t from, std::uint32_t to, bool attach) = 0;
    virtual void setFocus(NativeWindow window) = 0;
    virtual void setActiveWindow(NativeWindow window) = 0;
    virtual void sleepMs(std::int32_t milliseconds) = 0;
};

// This platform's implementation.
std::shared_ptr<InputPlatform> createInputPlatform();

}  // namespace quillane::host
