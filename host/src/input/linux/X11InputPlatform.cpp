#include "input/InputPlatform.h"

#include "capture/linux/X11ErrorTrap.h"
#include "capture/linux/X11Property.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xrandr.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <atomic>
#include <mutex>

namespace quillane::host {
namespace {

// Window sides travel as 16-bit numbers and positions as signed 16-bit ones;
// larger values would wrap on the wire.
constexpr std::int64_t kMaxSide = 32767;
// A frame thicker than this is a broken property, not a frame.
constexpr long kMaxFrameExtent = 4096;

std::atomic<bool> warnedNoDisplay{false};

std::int32_t clampSide(std::int64_t side) {
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(side, 0, kMaxSide));
}

// Space around a window's interior: the window manager's frame and the
// window's own border.
struct Frame {
    long left = 0, right = 0, top = 0, bottom = 0;
};

// Its own connection, used under one lock: the signalling thread calls it,
// while the capture side has connections of its own.
class X11InputPlatform final : public InputPlatform {
public:
    X11InputPlatform() {
        display_ = XOpenDisplay(nullptr);
        if (display_ == nullptr) {
            if (!warnedNoDisplay.exchange(true)) SPDLOG_WARN("Cannot open the X display; windows cannot be resized");
            return;
        }
        trap_ = std::make_unique<X11ErrorTrap>(display_);
        root_ = DefaultRootWindow(display_);
        frameExtents_ = XInternAtom(display_, "_NET_FRAME_EXTENTS", False);
    }

    ~X11InputPlatform() override {
        if (display_ == nullptr) return;
        trap_.reset();
        XCloseDisplay(display_);
    }

    X11InputPlatform(const X11InputPlatform&) = delete;
    X11InputPlatform& operator=(const X11InputPlatform&) = delete;

    bool isWindow(NativeWindow window) override {
        std::lock_guard lock(mutex_);
        XWindowAttributes attributes;
        return display_ != nullptr && window != 0 && readAttributes(window, attributes);
    }

    std::optional<WindowRect> windowRect(NativeWindow window, std::uint32_t& error) override {
        std::lock_guard lock(mutex_);
        if (display_ == nullptr) return std::nullopt;
        const std::size_t errorsBefore = trap_->errorCount();
        XWindowAttributes attributes;
        int x = 0, y = 0;
        Window child = 0;
        if (!readAttributes(window, attributes) ||
            !XTranslateCoordinates(display_, window, root_, 0, 0, &x, &y, &child)) {
            XSync(display_, False);
            error = trap_->errorCount() != errorsBefore ? trap_->lastErrorCode() : BadWindow;
            return std::nullopt;
        }
        const Frame f = frameOf(window, attributes);
        return WindowRect{static_cast<std::int32_t>(x - f.left), static_cast<std::int32_t>(y - f.top),
                          static_cast<std::int32_t>(x + attributes.width + f.right),
                          static_cast<std::int32_t>(y + attributes.height + f.bottom)};
    }

    WindowRect adjustClientRect(NativeWindow window, const WindowRect& client) override {
        std::lock_guard lock(mutex_);
        const Frame f = frame(window);
        return WindowRect{static_cast<std::int32_t>(client.left - f.left), static_cast<std::int32_t>(client.top - f.top),
                          static_cast<std::int32_t>(client.right + f.right),
                          static_cast<std::int32_t>(client.bottom + f.bottom)};
    }

    WindowSize minimumTrackingSize(NativeWindow window) override {
        std::lock_guard lock(mutex_);
        if (display_ == nullptr) return {};
        XSizeHints* hints = XAllocSizeHints();
        if (hints == nullptr) return {};
        std::unique_ptr<XSizeHints, int (*)(void*)> owned(hints, XFree);
        long supplied = 0;
        if (!XGetWMNormalHints(display_, window, hints, &supplied)) return {};
        std::int64_t width = 0, height = 0;
        if (hints->flags & PMinSize) {
            width = hints->min_width;
            height = hints->min_height;
        } else if (hints->flags & PBaseSize) {  // the minimum when none is given
            width = hints->base_width;
            height = hints->base_height;
        }
        const Frame f = frame(window);
        WindowSize minimum;
        if (width > 0) minimum.width = clampSide(width + f.left + f.right);
        if (height > 0) minimum.height = clampSide(height + f.top + f.bottom);
        return minimum;
    }

    WindowSize primaryScreenSize() override {
        std::lock_guard lock(mutex_);
        if (display_ == nullptr) return {};
        if (const auto primary = primaryOutputSize()) return *primary;
        const int screen = DefaultScreen(display_);
        return WindowSize{DisplayWidth(display_, screen), DisplayHeight(display_, screen)};
    }

    bool setWindowPos(NativeWindow window, std::int32_t x, std::int32_t y, WindowSize outer, bool keepPosition,
                      std::uint32_t& error) override {
        std::lock_guard lock(mutex_);
        if (display_ == nullptr) {
            error = BadWindow;
            return false;
        }
        const std::size_t errorsBefore = trap_->errorCount();
        const Frame f = frame(window);
        // X knows no empty windows; a zero-sized client area becomes one pixel.
        const auto width = static_cast<unsigned>(std::max<std::int32_t>(1, clampSide(std::int64_t{outer.width} - f.left - f.right)));
        const auto height = static_cast<unsigned>(std::max<std::int32_t>(1, clampSide(std::int64_t{outer.height} - f.top - f.bottom)));
        if (keepPosition) {
            XResizeWindow(display_, window, width, height);
        } else {
            // With the default (north-west) gravity the window manager puts the
            // frame's corner where the client asks its own corner to be.
            XMoveResizeWindow(display_, window, std::clamp<int>(x, -kMaxSide, kMaxSide),
                              std::clamp<int>(y, -kMaxSide, kMaxSide), width, height);
        }
        XSync(display_, False);
        if (trap_->errorCount() != errorsBefore) {
            error = trap_->lastErrorCode();
            return false;
        }
        return true;
    }

private:
    // Caller holds mutex_.
    bool readAttributes(NativeWindow window, XWindowAttributes& attributes) {
        return XGetWindowAttributes(display_, window, &attributes) != 0;
    }

    Frame frame(NativeWindow window) {
        if (display_ == nullptr) return {};
        XWindowAttributes attributes;
        if (!readAttributes(window, attributes)) return {};
        return frameOf(window, attributes);
    }

    Frame frameOf(NativeWindow window, const XWindowAttributes& attributes) {
        Frame f;
        if (const auto p = readX11Property(display_, window, frameExtents_, XA_CARDINAL, 4);
            p && p->format == 32 && p->values.size() == 4) {
            const auto extent = [](std::uint32_t e) { return std::min<long>(e, kMaxFrameExtent); };
            f = Frame{extent(p->values[0]), extent(p->values[1]), extent(p->values[2]), extent(p->values[3])};
        }
        const long border = std::clamp(static_cast<long>(attributes.border_width), 0L, kMaxFrameExtent);
        f.left += border;
        f.right += border;
        f.top += border;
        f.bottom += border;
        return f;
    }

    // The RandR primary output's mode size, when the server names one.
    std::optional<WindowSize> primaryOutputSize() {
        int eventBase = 0, errorBase = 0;
        if (!XRRQueryExtension(display_, &eventBase, &errorBase)) return std::nullopt;
        const RROutput output = XRRGetOutputPrimary(display_, root_);
        if (output == None) return std::nullopt;
        XRRScreenResources* resources = XRRGetScreenResourcesCurrent(display_, root_);
        if (resources == nullptr) return std::nullopt;
        std::optional<WindowSize> size;
        if (XRROutputInfo* info = XRRGetOutputInfo(display_, resources, output)) {
            if (info->crtc != None) {
                if (XRRCrtcInfo* crtc = XRRGetCrtcInfo(display_, resources, info->crtc)) {
                    if (crtc->width > 0 && crtc->height > 0)
                        size = WindowSize{static_cast<std::int32_t>(crtc->width),
                                          static_cast<std::int32_t>(crtc->height)};
                    XRRFreeCrtcInfo(crtc);
                }
            }
            XRRFreeOutputInfo(info);
        }
        XRRFreeScreenResources(resources);
        return size;
    }

    std::mutex mutex_;
    Display* display_ = nullptr;
    std::unique_ptr<X11ErrorTrap> trap_;
    Window root_ = 0;
    Atom frameExtents_ = None;
};

}  // namespace

std::shared_ptr<InputPlatform> createInputPlatform() {
    return std::make_shared<X11InputPlatform>();
}

}  // namespace quillane::host
