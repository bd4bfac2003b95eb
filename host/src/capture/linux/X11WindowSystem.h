#pragma once

#include "capture/WindowSystem.h"
#include "platform/linux/X11Property.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quillane::host {

class X11ErrorTrap;

// The X11 desktop as an EWMH window manager presents it. Each instance has a
// connection of its own, so enumerations on different threads never share one;
// an instance itself is used by one thread at a time.
//
// How the window list's checks read on X11:
//   visible      mapped, or managed and iconified (WM_STATE Normal or Iconic)
//   tool window  a _NET_WM_WINDOW_TYPE other than normal or dialog (utility,
//                toolbar, menus, tooltip, notification, splash, dock, desktop...),
//                or _NET_WM_STATE_SKIP_TASKBAR
//   caption      no _MOTIF_WM_HINTS that turn off both title bar and border
//   app window   _NET_WM_WINDOW_TYPE_NORMAL given explicitly
//   cloaked      _NET_WM_DESKTOP names a desktop other than the current one
//   rectangle    the client window in root coordinates, without the frame
class X11WindowSystem final : public WindowSystem {
public:
    // nullptr opens $DISPLAY.
    explicit X11WindowSystem(const char* displayName = nullptr);
    ~X11WindowSystem() override;
    X11WindowSystem(const X11WindowSystem&) = delete;
    X11WindowSystem& operator=(const X11WindowSystem&) = delete;

    bool connected() const { return connection != nullptr; }
    Display* display() const { return connection; }
    // X errors this connection has seen, requests in flight included.
    std::size_t errorCount();

    void forEachTopLevelWindow(const std::function<bool(NativeWindow)>& visit) override;
    bool isVisible(NativeWindow window) override;
    std::size_t titleLength(NativeWindow window) override;
    std::wstring title(NativeWindow window) override;
    std::wstring className(NativeWindow window) override;
    WindowStyle style(NativeWindow window) override;
    bool isCloaked(NativeWindow window) override;
    std::optional<WindowRect> rect(NativeWindow window) override;
    bool isMinimized(NativeWindow window) override;
    bool isMaximized(NativeWindow window) override;
    std::wstring processImagePath(NativeWindow window) override;
    WindowIconPng iconPng(NativeWindow window) override;

private:
    using Property = X11Property;
    struct Atoms;

    std::optional<Property> readProperty(unsigned long window, unsigned long name, unsigned long type,
                                         long maxLongs) const;
    std::vector<unsigned long> clientWindows() const;
    struct Geometry {
        bool viewable = false;
        WindowRect rect;
    };
    // What several questions about the window being looked at share, read once:
    // the enumeration asks about one window after the other.
    struct Cache {
        NativeWindow window = 0;
        std::optional<std::wstring> title;
        std::optional<std::wstring> className;
        std::optional<std::optional<Geometry>> geometry;
        std::optional<std::vector<std::uint32_t>> netWmState;
        std::optional<std::optional<std::uint32_t>> wmState;
    };

    Cache& cacheFor(NativeWindow window);
    const std::optional<Geometry>& geometry(NativeWindow window);
    const std::vector<std::uint32_t>& netWmState(NativeWindow window);
    std::optional<std::uint32_t> wmState(NativeWindow window);
    std::optional<std::uint32_t> readWmState(unsigned long window) const;
    std::wstring readClassName(unsigned long window) const;
    std::string textProperty(unsigned long window, unsigned long name) const;
    bool isLocalClient(unsigned long window) const;

    Display* connection = nullptr;
    std::unique_ptr<X11ErrorTrap> trap;
    unsigned long root = 0;
    std::unique_ptr<Atoms> atoms;
    Cache windowCache;
    std::optional<std::optional<std::uint32_t>> currentDesktop;
};

}  // namespace quillane::host
