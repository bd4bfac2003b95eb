// Real windows on the virtual desktop's X server, managed by its window manager, and the
// handling of their icon properties.
#include "Eventually.h"

#include "capture/PngEncoder.h"
#include "capture/WindowEnumerator.h"
#include "capture/linux/NetWmIcon.h"
#include "capture/linux/X11WindowSystem.h"
#include "common/Base64.h"

#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <png.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

extern char** environ;

namespace quillane::host::test {
namespace {

using protocol::WindowInfo;
using namespace std::chrono_literals;

// Every size and pixel differs; alpha runs through transparent, translucent and opaque.
std::uint32_t iconPixel(std::uint32_t side, std::uint32_t x, std::uint32_t y) {
    const std::uint32_t alpha = (x * 37 + y * 11 + side) % 4 == 0 ? 0xFF : ((x * 29 + y * 7) & 0xFF);
    return (alpha << 24) | ((x * 8 + side) & 0xFF) << 16 | ((y * 8) & 0xFF) << 8 | ((x ^ y) * 5 & 0xFF);
}

std::vector<std::uint32_t> iconProperty(std::initializer_list<std::uint32_t> sides) {
    std::vector<std::uint32_t> p;
    for (const std::uint32_t side : sides) {
        p.push_back(side);
        p.push_back(side);
        for (std::uint32_t y = 0; y < side; ++y)
            for (std::uint32_t x = 0; x < side; ++x) p.push_back(iconPixel(side, x, y));
    }
    return p;
}

std::vector<std::uint8_t> expectedRgba(std::uint32_t side) {
    std::vector<std::uint8_t> out;
    for (std::uint32_t i = 0; i < side * side; ++i) {
        const std::uint32_t argb = iconPixel(side, i % side, i / side);
        out.insert(out.end(), {std::uint8_t(argb >> 16), std::uint8_t(argb >> 8), std::uint8_t(argb), std::uint8_t(argb >> 24)});
    }
    return out;
}

// Decodes a PNG file to straight RGBA with libpng, independently of the encoder under test.
std::optional<RgbaImage> decodePng(const std::vector<std::uint8_t>& file) {
    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&png, file.data(), file.size())) return std::nullopt;
    png.format = PNG_FORMAT_RGBA;
    RgbaImage image;
    image.width = png.width;
    image.height = png.height;
    image.pixels.resize(PNG_IMAGE_SIZE(png));
    if (!png_image_finish_read(&png, nullptr, image.pixels.data(), 0, nullptr)) {
        png_image_free(&png);
        return std::nullopt;
    }
    return image;
}

// The test's own connection, which creates and changes the windows.
class Desktop {
public:
    Desktop() : display_(XOpenDisplay(nullptr)) {
        if (display_ != nullptr) root_ = DefaultRootWindow(display_);
    }
    ~Desktop() {
        if (display_ == nullptr) return;
        for (const Window w : windows_) XDestroyWindow(display_, w);
        XCloseDisplay(display_);
    }
    Display* display() const { return display_; }
    Atom atom(const char* name) { return XInternAtom(display_, name, False); }

    Window create(int x, int y, unsigned width, unsigned height) {
        XSetWindowAttributes attributes = {};
        attributes.background_pixel = 0x336699;
        const Window w = XCreateWindow(display_, root_, x, y, width, height, 0, CopyFromParent, InputOutput,
                                       CopyFromParent, CWBackPixel, &attributes);
        windows_.push_back(w);
        return w;
    }
    void setText(Window w, const char* property, const char* type, const std::string& bytes) {
        XChangeProperty(display_, w, atom(property), atom(type), 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    }
    void setCardinals(Window w, const char* property, Atom type, const std::vector<std::uint32_t>& values) {
        std::vector<long> longs(values.begin(), values.end());  // format-32 data goes to Xlib as longs
        XChangeProperty(display_, w, atom(property), type, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(longs.data()), static_cast<int>(longs.size()));
    }
    void setAtoms(Window w, const char* property, std::initializer_list<const char*> names) {
        std::vector<std::uint32_t> values;
        for (const char* n : names) values.push_back(static_cast<std::uint32_t>(atom(n)));
        setCardinals(w, property, XA_ATOM, values);
    }
    void setPid(Window w, pid_t pid) { setCardinals(w, "_NET_WM_PID", XA_CARDINAL, {static_cast<std::uint32_t>(pid)}); }
    void setClass(Window w, const std::string& instance, const std::string& cls) {
        setText(w, "WM_CLASS", "STRING", instance + '\0' + cls + '\0');
    }
    void map(Window w) {
        XMapWindow(display_, w);
        XSync(display_, False);
    }
    void destroy(Window w) {
        XDestroyWindow(display_, w);
        XSync(display_, False);
        windows_.erase(std::remove(windows_.begin(), windows_.end(), w), windows_.end());
    }
    void clientMessageToRoot(Window w, const char* type, std::initializer_list<long> data) {
        XEvent event = {};
        event.xclient.type = ClientMessage;
        event.xclient.window = w;
        event.xclient.message_type = atom(type);
        event.xclient.format = 32;
        int i = 0;
        for (const long v : data) event.xclient.data.l[i++] = v;
        XSendEvent(display_, root_, False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
        XSync(display_, False);
    }
    // Where the window's client area is, asked independently of the code under test.
    WindowRect clientRect(Window w) {
        XWindowAttributes a;
        XGetWindowAttributes(display_, w, &a);
        int x = 0, y = 0;
        Window child;
        XTranslateCoordinates(display_, w, root_, 0, 0, &x, &y, &child);
        return {x, y, x + a.width, y + a.height};
    }
    bool managed(Window w) {
        Atom type;
        int format;
        unsigned long count, after;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(display_, root_, atom("_NET_CLIENT_LIST"), 0, 65536, False, XA_WINDOW, &type, &format,
                               &count, &after, &data) != Success || data == nullptr)
            return false;
        const auto* ids = reinterpret_cast<const unsigned long*>(data);
        const bool found = std::find(ids, ids + count, w) != ids + count;
        XFree(data);
        return found;
    }
    // Maps the windows and waits until the window manager lists them all.
    void showAndWait(std::initializer_list<Window> ws) {
        for (const Window w : ws) map(w);
        for (const Window w : ws) ASSERT_TRUE(test::eventually([&] { return managed(w); })) << "window " << w << " not managed";
    }

private:
    Display* display_;
    Window root_ = 0;
    std::vector<Window> windows_;
};

std::optional<WindowInfo> find(const std::vector<WindowInfo>& list, Window w) {
    for (const auto& info : list) {
        if (info.id == static_cast<std::uint32_t>(w)) return info;
    }
    return std::nullopt;
}

// Enumerates until the record satisfies the condition (window managers act asynchronously).
template <typename Condition>
std::optional<WindowInfo> waitFor(Window w, Condition condition) {
    std::optional<WindowInfo> info;
    test::eventually([&] {
        info = find(WindowEnumerator::enumerateWindows(), w);
        return info && condition(*info);
    });
    return info;
}

std::optional<WindowInfo> listed(Window w) {
    return waitFor(w, [](const WindowInfo&) { return true; });
}

std::optional<RgbaImage> iconOf(const WindowInfo& info) {
    const auto png = base64Decode(info.iconBase64);
    return png ? decodePng(*png) : std::nullopt;
}

// A process of this machine whose pid a window can name; ended with the test.
struct Sleeper {
    pid_t pid = 0;
    Sleeper() {
        char path[] = "/bin/sleep", seconds[] = "60";
        char* argv[] = {path, seconds, nullptr};
        if (posix_spawn(&pid, path, nullptr, nullptr, argv, environ) != 0) pid = 0;
    }
    ~Sleeper() {
        if (pid == 0) return;
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
};

class WindowEnumeratorX11 : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(desktop.display(), nullptr) << "no X display"; }
    Window titled(const char* title) {
        const Window w = desktop.create(0, 0, 100, 60);
        desktop.setText(w, "_NET_WM_NAME", "UTF8_STRING", title);
        return w;
    }
    Desktop desktop;
};

TEST_F(WindowEnumeratorX11, RecordsOfRealWindowsFieldByFieldAndState) {
    const Window full = desktop.create(100, 120, 300, 200);
    const std::string title = "\xC3\x9C" "berfenster \xE2\x80\x93 \xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88 \xE2\x9C\x93";
    desktop.setText(full, "_NET_WM_NAME", "UTF8_STRING", title);
    desktop.setText(full, "WM_NAME", "STRING", "Fallback title");
    desktop.setClass(full, "qhtest", "QhTestClass");
    desktop.setPid(full, getpid());
    desktop.setCardinals(full, "_NET_WM_ICON", XA_CARDINAL, iconProperty({16, 32, 128}));
    desktop.setAtoms(full, "_NET_WM_WINDOW_TYPE", {"_NET_WM_WINDOW_TYPE_NORMAL"});
    const Window latin1 = desktop.create(0, 0, 120, 80);  // no _NET_WM_NAME, _NET_WM_PID or _NET_WM_ICON
    desktop.setText(latin1, "WM_NAME", "STRING", "Caf\xE9 cr\xE8me");
    const Window badUtf8 = titled("Bad \xFF\xFE title \xE2\x82");
    const Window brokenIcon = titled("broken icon");
    std::vector<std::uint32_t> icon = {64, 64};
    icon.resize(12, 0xFFFFFFFF);  // declares 4096 pixels, holds 10
    desktop.setCardinals(brokenIcon, "_NET_WM_ICON", XA_CARDINAL, icon);
    Sleeper child;
    ASSERT_NE(child.pid, 0);
    const Window local = titled("child process");
    desktop.setPid(local, child.pid);
    const Window remote = titled("remote client");
    desktop.setPid(remote, child.pid);
    desktop.setText(remote, "WM_CLIENT_MACHINE", "STRING", "elsewhere.invalid");
    const Window noProcess = titled("gone process");
    desktop.setPid(noProcess, 0x7FFFFFF0);
    const Window small = titled("to be minimised");
    const Window big = titled("to be maximised");
    desktop.showAndWait({full, latin1, badUtf8, brokenIcon, local, remote, noProcess, small, big});

    const auto info = waitFor(full, [](const WindowInfo& i) { return i.isVisible && i.width > 0; });
    ASSERT_TRUE(info) << "window not listed";
    EXPECT_EQ(info->id, static_cast<std::uint32_t>(full));
    EXPECT_EQ(info->title, title);
    EXPECT_EQ(info->className, "QhTestClass");
    EXPECT_EQ(info->processName, std::filesystem::read_symlink("/proc/self/exe").filename().string());
    const WindowRect r = desktop.clientRect(full);
    EXPECT_EQ(info->x, r.left);
    EXPECT_EQ(info->y, r.top);
    EXPECT_EQ(info->width, 300);
    EXPECT_EQ(info->height, 200);
    EXPECT_FALSE(info->isMinimized);
    EXPECT_FALSE(info->isMaximized);
    EXPECT_TRUE(info->isVisible);
    // The 32-pixel image is chosen and arrives pixel for pixel, alpha straight.
    const auto image = iconOf(*info);
    ASSERT_TRUE(image) << info->iconBase64;
    EXPECT_EQ(image->width, 32u);
    EXPECT_EQ(image->height, 32u);
    EXPECT_TRUE(image->pixels == expectedRgba(32)) << "icon pixels differ";

    const auto l = listed(latin1);
    ASSERT_TRUE(l);
    EXPECT_EQ(l->title, "Caf\xC3\xA9 cr\xC3\xA8me");
    EXPECT_EQ(l->processName, "");
    EXPECT_EQ(l->iconBase64, "");
    ASSERT_TRUE(listed(badUtf8));
    EXPECT_EQ(listed(badUtf8)->title, "Bad \xEF\xBF\xBD\xEF\xBF\xBD title \xEF\xBF\xBD");

    // Process names come from this machine's process table only.
    for (const Window w : {local, remote, noProcess, brokenIcon}) ASSERT_TRUE(listed(w)) << "window " << w;
    const auto list = WindowEnumerator::enumerateWindows();
    for (const auto& [w, name] : {std::pair{local, "sleep"}, {remote, ""}, {noProcess, ""}}) {
        ASSERT_TRUE(find(list, w)) << name;
        EXPECT_EQ(find(list, w)->processName, name);
    }

    // A malformed icon leaves the window listed without one; a valid image before a broken one counts.
    ASSERT_TRUE(find(list, brokenIcon));
    EXPECT_EQ(find(list, brokenIcon)->iconBase64, "");
    auto valid = iconProperty({16});
    valid.insert(valid.end(), {48, 48, 1, 2, 3});
    desktop.setCardinals(brokenIcon, "_NET_WM_ICON", XA_CARDINAL, valid);
    XSync(desktop.display(), False);
    const auto fixed = waitFor(brokenIcon, [](const WindowInfo& i) { return !i.iconBase64.empty(); });
    ASSERT_TRUE(fixed);
    const auto icon16 = iconOf(*fixed);
    ASSERT_TRUE(icon16);
    EXPECT_EQ(icon16->width, 16u);
    EXPECT_TRUE(icon16->pixels == expectedRgba(16));

    XIconifyWindow(desktop.display(), small, DefaultScreen(desktop.display()));
    XSync(desktop.display(), False);
    const auto minimised = waitFor(small, [](const WindowInfo& i) { return i.isMinimized; });
    ASSERT_TRUE(minimised) << "minimised window not listed";
    EXPECT_TRUE(minimised->isMinimized);
    EXPECT_TRUE(minimised->isVisible);
    EXPECT_FALSE(minimised->isMaximized);
    desktop.clientMessageToRoot(big, "_NET_WM_STATE",
                                {1, static_cast<long>(desktop.atom("_NET_WM_STATE_MAXIMIZED_VERT")),
                                 static_cast<long>(desktop.atom("_NET_WM_STATE_MAXIMIZED_HORZ")), 1});
    const auto maximised = waitFor(big, [](const WindowInfo& i) { return i.isMaximized; });
    ASSERT_TRUE(maximised);
    EXPECT_TRUE(maximised->isMaximized);
    EXPECT_FALSE(maximised->isMinimized);
    EXPECT_GT(maximised->width, 100);
}

TEST_F(WindowEnumeratorX11, FiltersToolUntitledBorderlessOwnAndOtherDesktopsWindows) {
    const Window reference = titled("reference");
    const Window utility = titled("utility palette");
    desktop.setAtoms(utility, "_NET_WM_WINDOW_TYPE", {"_NET_WM_WINDOW_TYPE_UTILITY"});
    const Window skipTaskbar = titled("not in taskbar");
    desktop.setAtoms(skipTaskbar, "_NET_WM_STATE", {"_NET_WM_STATE_SKIP_TASKBAR"});
    const Window untitled = desktop.create(0, 0, 100, 60);
    const std::vector<std::uint32_t> noDecorations = {2, 0, 0, 0, 0};
    const Window borderless = titled("borderless");
    desktop.setCardinals(borderless, "_MOTIF_WM_HINTS", desktop.atom("_MOTIF_WM_HINTS"), noDecorations);
    const Window borderlessApp = titled("borderless application");
    desktop.setCardinals(borderlessApp, "_MOTIF_WM_HINTS", desktop.atom("_MOTIF_WM_HINTS"), noDecorations);
    desktop.setAtoms(borderlessApp, "_NET_WM_WINDOW_TYPE", {"_NET_WM_WINDOW_TYPE_NORMAL"});
    const Window shell = titled("Program Manager");
    const Window elsewhere = titled("on another desktop");
    const Window own = titled("Quillane Host");
    desktop.showAndWait({reference, utility, skipTaskbar, untitled, borderless, borderlessApp, shell, elsewhere, own});

    ASSERT_TRUE(listed(reference));
    ASSERT_TRUE(listed(borderlessApp));
    ASSERT_TRUE(listed(own));
    WindowEnumerator::setOwnWindowIds({static_cast<std::uint32_t>(own)});
    // Moved to a desktop that is not shown: present, but not on screen. The window manager
    // writes a window's desktop again whenever its state changes (focus, say), so the move
    // is repeated until one enumeration runs while it holds.
    std::vector<WindowInfo> list;
    const bool elsewhereFiltered = test::eventually([&] {
        desktop.setCardinals(elsewhere, "_NET_WM_DESKTOP", XA_CARDINAL, {3});
        XSync(desktop.display(), False);
        list = WindowEnumerator::enumerateWindows();
        return !find(list, elsewhere);
    });
    WindowEnumerator::setOwnWindowIds({});
    EXPECT_TRUE(elsewhereFiltered) << "window on another desktop listed";
    for (const Window w : {utility, skipTaskbar, untitled, borderless, shell, own})
        EXPECT_FALSE(find(list, w)) << "window " << w << " listed";
}

// Destroys one window from the test's connection at a chosen moment of the enumeration.
class VanishingDesktop : public WindowSystem {
public:
    VanishingDesktop(X11WindowSystem& real, Desktop& desktop, Window victim, bool afterFilter)
        : real_(real), desktop_(desktop), victim_(victim), afterFilter_(afterFilter) {}

    void forEachTopLevelWindow(const std::function<bool(NativeWindow)>& visit) override {
        real_.forEachTopLevelWindow([&](NativeWindow w) {
            vanish(w, false);
            return visit(w);
        });
    }
    bool isVisible(NativeWindow w) override { return real_.isVisible(w); }
    std::size_t titleLength(NativeWindow w) override { return real_.titleLength(w); }
    std::wstring title(NativeWindow w) override { return real_.title(w); }
    std::wstring className(NativeWindow w) override { return real_.className(w); }
    WindowStyle style(NativeWindow w) override { return real_.style(w); }
    bool isCloaked(NativeWindow w) override { return real_.isCloaked(w); }
    std::optional<WindowRect> rect(NativeWindow w) override { return real_.rect(w); }
    bool isMinimized(NativeWindow w) override { return real_.isMinimized(w); }
    bool isMaximized(NativeWindow w) override { return real_.isMaximized(w); }
    std::wstring processImagePath(NativeWindow w) override {
        vanish(w, true);
        return real_.processImagePath(w);
    }
    WindowIconPng iconPng(NativeWindow w) override { return real_.iconPng(w); }

private:
    void vanish(NativeWindow w, bool afterFilter) {
        if (w == victim_ && afterFilter == afterFilter_) desktop_.destroy(victim_);
    }
    X11WindowSystem& real_;
    Desktop& desktop_;
    Window victim_;
    bool afterFilter_;
};

// X errors of vanished windows are recorded, never fatal.
TEST_F(WindowEnumeratorX11, WindowsDestroyedDuringTheEnumeration) {
    const Window survivor = titled("survivor");
    const Window early = titled("early victim");
    const Window late = titled("late victim");
    desktop.setClass(late, "late", "Late");
    desktop.setPid(late, getpid());
    for (const Window w : {early, late}) desktop.setCardinals(w, "_NET_WM_ICON", XA_CARDINAL, iconProperty({32}));
    desktop.showAndWait({survivor, early, late});
    // Listed once the window manager has mapped them, which may come after it manages them.
    ASSERT_TRUE(listed(survivor));
    ASSERT_TRUE(listed(early));
    ASSERT_TRUE(waitFor(late, [](const WindowInfo& info) { return info.width == 100 && info.height == 60; }));

    {
        SCOPED_TRACE("destroyed before its filter: skipped");
        X11WindowSystem real;
        ASSERT_TRUE(real.connected());
        VanishingDesktop vanishing(real, desktop, early, false);
        const auto list = WindowEnumerator::enumerateWindows(vanishing);
        EXPECT_FALSE(find(list, early));
        EXPECT_TRUE(find(list, survivor));
        EXPECT_GT(real.errorCount(), 0u);
    }
    SCOPED_TRACE("destroyed after its filter: listed with what was read");
    X11WindowSystem real;
    VanishingDesktop vanishing(real, desktop, late, true);
    const auto info = find(WindowEnumerator::enumerateWindows(vanishing), late);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->title, "late victim");
    EXPECT_EQ(info->className, "Late");
    EXPECT_EQ(info->processName, "");
    EXPECT_EQ(info->iconBase64, "");
    EXPECT_EQ(info->width, 100);  // the geometry the filter read a moment before stands
    EXPECT_EQ(info->height, 60);
    EXPECT_TRUE(info->isVisible);
    EXPECT_GT(real.errorCount(), 0u);
}

std::atomic<int> foreignErrors{0};
int foreignHandler(Display*, XErrorEvent*) {
    foreignErrors.fetch_add(1);
    return 0;
}

TEST_F(WindowEnumeratorX11, ErrorsOfOtherConnectionsStillReachTheirOwnHandler) {
    const auto before = XSetErrorHandler(foreignHandler);
    {
        X11WindowSystem system;
        ASSERT_TRUE(system.connected());
        // An error on the test's connection, which has no trap: the handler installed before gets it.
        XMapWindow(desktop.display(), 0x1FFFFFF);  // no such window
        XSync(desktop.display(), False);
        EXPECT_EQ(foreignErrors.load(), 1);
        // An error on the enumerator's connection stays there.
        EXPECT_EQ(system.title(0x1FFFFFE), L"");
        EXPECT_GT(system.errorCount(), 0u);
        EXPECT_EQ(foreignErrors.load(), 1);
    }
    // With no trap left, errors on any connection go to the handler installed before.
    X11WindowSystem idle;
    idle.errorCount();
    XMapWindow(desktop.display(), 0x1FFFFFF);
    XSync(desktop.display(), False);
    EXPECT_EQ(foreignErrors.load(), 2);
    XSetErrorHandler(before);
}

TEST_F(WindowEnumeratorX11, ConcurrentEnumerationsWhileWindowsComeAndGo) {
    const Window steady = titled("steady");
    desktop.setCardinals(steady, "_NET_WM_ICON", XA_CARDINAL, iconProperty({16, 32}));
    desktop.showAndWait({steady});
    ASSERT_TRUE(listed(steady));

    std::atomic<bool> stop{false};
    std::thread churn([&] {
        Desktop other;
        while (!stop.load()) {
            const Window w = other.create(0, 0, 50, 40);
            other.setText(w, "_NET_WM_NAME", "UTF8_STRING", "short-lived");
            other.setCardinals(w, "_NET_WM_ICON", XA_CARDINAL, iconProperty({32}));
            other.map(w);
            std::this_thread::sleep_for(2ms);
            other.destroy(w);
        }
    });
    std::atomic<int> missing{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; ++t) {
        readers.emplace_back([&] {
            for (int i = 0; i < 15; ++i) {
                if (!find(WindowEnumerator::enumerateWindows(), steady)) missing.fetch_add(1);
            }
        });
    }
    for (auto& r : readers) r.join();
    stop.store(true);
    churn.join();
    EXPECT_EQ(missing.load(), 0);
}

// The parts of _NET_WM_ICON handling that hostile or odd properties reach.
// Appends one image to a _NET_WM_ICON value; pixel i is base + i.
void appendImage(std::vector<std::uint32_t>& property, std::uint32_t w, std::uint32_t h, std::uint32_t base) {
    property.push_back(w);
    property.push_back(h);
    for (std::uint32_t i = 0; i < w * h; ++i) property.push_back(base + i);
}

std::vector<std::uint32_t> sides(const std::vector<NetWmIconImage>& images) {
    std::vector<std::uint32_t> out;
    for (const auto& i : images) out.push_back(i.width * 1000 + i.height);
    return out;
}

TEST(NetWmIcon, ParsesWellFormedImagesAndStopsAtTheFirstThatDoesNotFit) {
    std::vector<std::uint32_t> p;
    appendImage(p, 16, 16, 0);
    appendImage(p, 32, 24, 0x1000);
    appendImage(p, 1, 1, 0xFF00FF00);
    const auto images = parseNetWmIcon(p);
    ASSERT_EQ(sides(images), (std::vector<std::uint32_t>{16016, 32024, 1001}));
    EXPECT_EQ(images[0].offset, 2u);
    EXPECT_EQ(images[1].offset, 2u + 256 + 2);
    EXPECT_EQ(p[images[2].offset], 0xFF00FF00u);

    std::vector<std::uint32_t> broken;
    appendImage(broken, 4, 4, 0);
    broken.insert(broken.end(), {64, 64, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});  // declares 64 x 64, brings ten pixels
    EXPECT_EQ(sides(parseNetWmIcon(broken)), (std::vector<std::uint32_t>{4004}));
    std::vector<std::uint32_t> trailing;
    appendImage(trailing, 2, 2, 0);
    trailing.push_back(7);  // a lone cardinal after a good image
    EXPECT_EQ(sides(parseNetWmIcon(trailing)), (std::vector<std::uint32_t>{2002}));

    std::vector<std::uint32_t> onePixelShort;
    appendImage(onePixelShort, 3, 2, 0);
    onePixelShort.pop_back();
    const std::vector<std::uint32_t> nothing[] = {
        {}, {16}, {0, 0, 1, 2}, {0, 5, 1, 2, 3, 4, 5}, onePixelShort,
        {0xFFFFFFFF, 0xFFFFFFFF, 1},  // the product must not wrap into something small
        {0x10000, 0x10000, 1},
    };
    for (const auto& property : nothing) EXPECT_TRUE(parseNetWmIcon(property).empty()) << property.size() << " cardinals";
}

TEST(NetWmIcon, ChoosesASizeBetween32And48OrTheNearest) {
    const std::pair<std::vector<std::pair<std::uint32_t, std::uint32_t>>, std::uint32_t> cases[] = {
        {{{16, 16}}, 16016},
        {{{16, 16}, {32, 32}, {128, 128}}, 32032},
        {{{128, 128}, {48, 48}, {32, 32}, {16, 16}}, 48048},  // largest in range
        {{{16, 16}, {24, 24}, {64, 64}, {256, 256}}, 24024},  // 8 below beats 16 above
        {{{16, 16}, {64, 64}}, 64064},                        // equally far: the larger
        {{{256, 256}, {64, 64}, {512, 512}}, 64064},
        {{{20, 40}, {60, 60}}, 20040},  // the longer side counts
    };
    EXPECT_EQ(chooseNetWmIcon({}), std::nullopt);
    for (const auto& [sizes, want] : cases) {
        std::vector<NetWmIconImage> images;
        for (const auto& [w, h] : sizes) images.push_back({w, h, 0});
        const auto index = chooseNetWmIcon(images);
        ASSERT_TRUE(index);
        EXPECT_EQ(images[*index].width * 1000 + images[*index].height, want);
    }
}

TEST(NetWmIcon, ArgbBecomesStraightRgbaWithinTheProperty) {
    std::vector<std::uint32_t> p = {2, 1, 0x80FF0000, 0x4012345A};
    const auto images = parseNetWmIcon(p);
    ASSERT_EQ(images.size(), 1u);
    const RgbaImage image = netWmIconToRgba(p, images[0]);
    EXPECT_EQ(image.width, 2u);
    EXPECT_EQ(image.height, 1u);
    EXPECT_EQ(image.pixels, (std::vector<std::uint8_t>{0xFF, 0, 0, 0x80, 0x12, 0x34, 0x5A, 0x40}));

    std::vector<std::uint32_t> square = {2, 2, 1, 2, 3, 4};
    EXPECT_TRUE(netWmIconToRgba(square, {2, 2, 3}).pixels.empty());
    EXPECT_TRUE(netWmIconToRgba(square, {2, 2, 100}).pixels.empty());
    EXPECT_EQ(netWmIconToRgba(square, {2, 2, 2}).pixels.size(), 16u);
}

// Encoded files are decoded pixel for pixel by the window list's tests on the desktop.
TEST(PngEncoder, RefusesEmptyAndShortImages) {
    EXPECT_TRUE(encodePng({}).empty());
    EXPECT_TRUE(encodePng(RgbaImage{4, 4, std::vector<std::uint8_t>(4 * 4 * 4 - 1)}).empty());
}

}  // namespace
}  // namespace quillane::host::test
