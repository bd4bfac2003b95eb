// Resizing real X windows under the test desktop's window manager through
// InputInjector and the X11 platform.
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

namespace quillane::host {
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
        XSizeHints hints{};
        // A position of our own: placed by the window manager's cascade, a
        // window near the screen's edge would be pushed back in when it grows.
        hints.flags = PMinSize | USPosition;
        hints.x = 60;
        hints.y = 60;
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
        if (!XGetWindowAttributes(display, window, &a)) return std::nullopt;
        return a;
    }
    bool hasSize(int width, int height) {
        auto a = attributes();
        return a && a->width == width && a->height == height;
    }
    // Position of the client area on the screen.
    std::pair<int, int> rootPosition() {
        int x = 0, y = 0;
        Window child = 0;
        XTranslateCoordinates(display, window, DefaultRootWindow(display), 0, 0, &x, &y, &child);
        return {x, y};
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

class X11Resize : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(win.ok()) << "no X display";
        ASSERT_TRUE(win.settle()) << "the window manager did not take the window";
    }

    ManagedWindow win{320, 240, 300, 200};
    std::shared_ptr<InputPlatform> platform = createInputPlatform();
    InputInjector injector{platform};
    test::LogCapture log;
};

TEST_F(X11Resize, ClientAreaTakesTheRequestedSizeInPlace) {
    const auto before = win.rootPosition();
    ASSERT_TRUE(injector.resizeWindow(win.window, 500, 350, true));
    EXPECT_TRUE(eventually([&] { return win.hasSize(500, 350); }, 5s))
        << "size now " << win.attributes()->width << "x" << win.attributes()->height;
    // The window manager has seen the request and answered; the window stays put.
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(win.rootPosition(), before);

    // The logged outer size is the client size plus the frame the window manager announces.
    const auto e = win.frameExtents();
    ASSERT_TRUE(e);
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
}

TEST_F(X11Resize, MinimumSizeFromTheNormalHintsIsRespected) {
    const auto e = win.frameExtents();
    ASSERT_TRUE(e);
    const WindowSize minimum = platform->minimumTrackingSize(win.window);
    EXPECT_EQ(minimum.width, 300 + e->left + e->right);
    EXPECT_EQ(minimum.height, 200 + e->top + e->bottom);

    ASSERT_TRUE(injector.resizeWindow(win.window, 100, 50, true));
    EXPECT_TRUE(eventually([&] { return win.hasSize(300, 200); }, 5s))
        << "size now " << win.attributes()->width << "x" << win.attributes()->height;
    // Only the dimension below its minimum is raised.
    ASSERT_TRUE(injector.resizeWindow(win.window, 640, 120, true));
    EXPECT_TRUE(eventually([&] { return win.hasSize(640, 200); }, 5s))
        << "size now " << win.attributes()->width << "x" << win.attributes()->height;
}

TEST_F(X11Resize, GrowingAndShrinkingRepeatedlyEndsAtTheLastSize) {
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(injector.resizeWindow(win.window, 400 + 40 * i, 300 + 10 * i, true));
        ASSERT_TRUE(injector.resizeWindow(win.window, 320, 240, true));
    }
    ASSERT_TRUE(injector.resizeWindow(win.window, 456, 321, true));
    EXPECT_TRUE(eventually([&] { return win.hasSize(456, 321); }, 5s));
}

TEST_F(X11Resize, WithoutKeepPositionTheFrameIsCentredOnTheScreen) {
    const WindowSize screen = platform->primaryScreenSize();
    ASSERT_GT(screen.width, 0);
    ASSERT_GT(screen.height, 0);
    EXPECT_EQ(screen.width, DisplayWidth(win.display, DefaultScreen(win.display)));
    ASSERT_TRUE(injector.resizeWindow(win.window, 400, 300, false));
    const auto e = win.frameExtents();
    ASSERT_TRUE(e);
    const long outerWidth = 400 + e->left + e->right;
    const long outerHeight = 300 + e->top + e->bottom;
    const int clientX = static_cast<int>((screen.width - outerWidth) / 2 + e->left);
    const int clientY = static_cast<int>((screen.height - outerHeight) / 2 + e->top);
    EXPECT_TRUE(eventually([&] { return win.hasSize(400, 300) && win.rootPosition() == std::make_pair(clientX, clientY); },
                           5s))
        << "client at " << win.rootPosition().first << "," << win.rootPosition().second << ", expected " << clientX
        << "," << clientY;
}

TEST_F(X11Resize, DestroyedWindowIsRefused) {
    win.destroy();
    EXPECT_FALSE(platform->isWindow(win.destroyed));
    EXPECT_FALSE(injector.resizeWindow(win.destroyed, 500, 350, true));
    EXPECT_TRUE(log.contains("Invalid window handle for resize"));
    std::uint32_t error = 0;
    EXPECT_FALSE(platform->windowRect(win.destroyed, error));
    EXPECT_EQ(error, static_cast<std::uint32_t>(BadWindow));
    EXPECT_FALSE(platform->setWindowPos(win.destroyed, 0, 0, WindowSize{100, 100}, true, error));
    EXPECT_EQ(error, static_cast<std::uint32_t>(BadWindow));
    // The platform stays usable after the errors.
    ManagedWindow other(200, 150, 0, 0);
    ASSERT_TRUE(other.ok());
    ASSERT_TRUE(other.settle());
    ASSERT_TRUE(injector.resizeWindow(other.window, 210, 160, true));
    EXPECT_TRUE(eventually([&] { return other.hasSize(210, 160); }, 5s));
}

}  // namespace
}  // namespace quillane::host
