// Resizing real X windows under the test desktop's window manager.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "Eventually.h"
#include "LogCapture.h"
#include "input/InputInjector.h"

// After the test framework: Xlib's macros clash with its names.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace quillane::host::test {
namespace {

using namespace std::chrono_literals;
using test::eventually;

struct Extents {
    long left = 0, right = 0, top = 0, bottom = 0;
};

// A managed top-level window on a connection of the test's own, with a
// minimum size in its WM_NORMAL_HINTS.
class ManagedWindow {
public:
    ManagedWindow(int width, int height, int minWidth, int minHeight) {
        display = XOpenDisplay(nullptr);
        if (display == nullptr) return;
        const int screen = DefaultScreen(display);
        window = XCreateSimpleWindow(display, RootWindow(display, screen), 60, 60, width, height, 0,
                                     BlackPixel(display, screen), WhitePixel(display, screen));
        XStoreName(display, window, "Quillane resize test");
        // A position of our own: placed by the window manager's cascade, a
        // window near the screen's edge would be pushed back in when it grows.
        XSizeHints hints{};
        hints.flags = PMinSize | USPosition;
        hints.x = hints.y = 60;
        hints.min_width = minWidth;
        hints.min_height = minHeight;
        XSetWMNormalHints(display, window, &hints);
        XSelectInput(display, window, StructureNotifyMask);
        XMapWindow(display, window);
        XSync(display, False);
    }
    ~ManagedWindow() {
        if (display == nullptr) return;
        if (window != 0) XDestroyWindow(display, window);
        XCloseDisplay(display);
    }

    bool ok() const { return display != nullptr && window != 0; }

    std::optional<XWindowAttributes> attributes() {
        XWindowAttributes a;
        return XGetWindowAttributes(display, window, &a) ? std::optional(a) : std::nullopt;
    }
    bool hasSize(int width, int height) {
        auto a = attributes();
        return a && a->width == width && a->height == height;
    }
    // Position of the client area on the screen.
    std::pair<int, int> rootPosition() {
        std::pair<int, int> at;
        Window child = 0;
        XTranslateCoordinates(display, window, DefaultRootWindow(display), 0, 0, &at.first, &at.second, &child);
        return at;
    }
    std::optional<Extents> frameExtents() {
        Atom type = None;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        XGetWindowProperty(display, window, XInternAtom(display, "_NET_FRAME_EXTENTS", False), 0, 4, False,
                           XA_CARDINAL, &type, &format, &count, &after, &data);
        std::optional<Extents> e;
        if (data != nullptr && format == 32 && count == 4) {
            const auto* v = reinterpret_cast<const long*>(data);
            e = Extents{v[0], v[1], v[2], v[3]};
        }
        if (data != nullptr) XFree(data);
        return e;
    }
    // Viewable, framed by the window manager, and no longer moving.
    bool settle() {
        std::pair<int, int> last{-1, -1};
        int same = 0;
        return eventually(
            [&] {
                auto a = attributes();
                if (!a || a->map_state != IsViewable || !frameExtents()) return false;
                const auto now = rootPosition();
                same = now == last ? same + 1 : 0;
                last = now;
                return same >= 10;
            },
            10s);
    }
    void destroy() {
        XDestroyWindow(display, window);
        XSync(display, False);
        destroyed = window;
        window = 0;
    }

    Display* display = nullptr;
    Window window = 0;
    Window destroyed = 0;
};

std::string sizeText(ManagedWindow& w) {
    const auto a = w.attributes();
    return a ? std::to_string(a->width) + "x" + std::to_string(a->height) : "gone";
}

// One managed window, resized in turn: in place, below its minimum, back and
// forth, centred; then destroyed.
TEST(X11Resize, ClientAreaFollowsRequestsUnderTheWindowManager) {
    ManagedWindow win{320, 240, 300, 200};
    ASSERT_TRUE(win.ok()) << "no X display";
    ASSERT_TRUE(win.settle()) << "the window manager did not take the window";
    std::shared_ptr<InputPlatform> platform = createInputPlatform();
    InputInjector injector{platform};
    test::LogCapture log;
    const auto e = win.frameExtents();
    ASSERT_TRUE(e);

    // The minimum tracking size is the normal hints' minimum plus the frame.
    const WindowSize minimum = platform->minimumTrackingSize(win.window);
    EXPECT_EQ(minimum.width, 300 + e->left + e->right);
    EXPECT_EQ(minimum.height, 200 + e->top + e->bottom);

    const auto before = win.rootPosition();
    ASSERT_TRUE(injector.resizeWindow(win.window, 500, 350, true));
    EXPECT_TRUE(eventually([&] { return win.hasSize(500, 350); }, 5s)) << sizeText(win);
    // The window manager has seen the request and answered; the window stays put.
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(win.rootPosition(), before);
    const std::string line = "Window resized to " + std::to_string(500 + e->left + e->right) + "x" +
                             std::to_string(350 + e->top + e->bottom) + " (client: 500x350)";
    EXPECT_TRUE(log.contains(line)) << line;
    // The platform's outer rectangle is the frame around the client area.
    std::uint32_t error = 0;
    const auto rect = platform->windowRect(win.window, error);
    ASSERT_TRUE(rect);
    EXPECT_EQ(rect->left, before.first - e->left);
    EXPECT_EQ(rect->top, before.second - e->top);
    EXPECT_EQ(rect->right - rect->left, 500 + e->left + e->right);
    EXPECT_EQ(rect->bottom - rect->top, 350 + e->top + e->bottom);

    // Only the dimension below its minimum is raised.
    ASSERT_TRUE(injector.resizeWindow(win.window, 100, 50, true));
    EXPECT_TRUE(eventually([&] { return win.hasSize(300, 200); }, 5s)) << sizeText(win);
    ASSERT_TRUE(injector.resizeWindow(win.window, 640, 120, true));
    EXPECT_TRUE(eventually([&] { return win.hasSize(640, 200); }, 5s)) << sizeText(win);

    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(injector.resizeWindow(win.window, 400 + 40 * i, 300 + 10 * i, true));
        ASSERT_TRUE(injector.resizeWindow(win.window, 320, 240, true));
    }
    ASSERT_TRUE(injector.resizeWindow(win.window, 456, 321, true));
    EXPECT_TRUE(eventually([&] { return win.hasSize(456, 321); }, 5s)) << sizeText(win);

    // Without keeping the position the frame is centred on the screen.
    const WindowSize screen = platform->primaryScreenSize();
    EXPECT_EQ(screen.width, DisplayWidth(win.display, DefaultScreen(win.display)));
    EXPECT_EQ(screen.height, DisplayHeight(win.display, DefaultScreen(win.display)));
    ASSERT_TRUE(injector.resizeWindow(win.window, 400, 300, false));
    const int clientX = static_cast<int>((screen.width - (400 + e->left + e->right)) / 2 + e->left);
    const int clientY = static_cast<int>((screen.height - (300 + e->top + e->bottom)) / 2 + e->top);
    EXPECT_TRUE(eventually([&] { return win.hasSize(400, 300) && win.rootPosition() == std::make_pair(clientX, clientY); },
                           5s))
        << "client at " << win.rootPosition().first << "," << win.rootPosition().second << ", expected " << clientX
        << "," << clientY;

    // A destroyed window is refused, and the platform stays usable after the X errors.
    win.destroy();
    EXPECT_FALSE(platform->isWindow(win.destroyed));
    EXPECT_FALSE(injector.resizeWindow(win.destroyed, 500, 350, true));
    EXPECT_TRUE(log.contains("Invalid window handle for resize"));
    EXPECT_FALSE(platform->windowRect(win.destroyed, error));
    EXPECT_EQ(error, static_cast<std::uint32_t>(BadWindow));
    EXPECT_FALSE(platform->setWindowPos(win.destroyed, 0, 0, WindowSize{100, 100}, true, error));
    EXPECT_EQ(error, static_cast<std::uint32_t>(BadWindow));
    ManagedWindow other(200, 150, 0, 0);
    ASSERT_TRUE(other.ok());
    ASSERT_TRUE(other.settle());
    ASSERT_TRUE(injector.resizeWindow(other.window, 210, 160, true));
    EXPECT_TRUE(eventually([&] { return other.hasSize(210, 160); }, 5s)) << sizeText(other);
}

}  // namespace
}  // namespace quillane::host::test
