// The real host binary inside the test desktop, as a user would see it.

#include "E2eHost.h"
#include "E2eProcess.h"
#include "Eventually.h"
#include "SignalingTestClient.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xrandr.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quillane::host::test {

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using quillane::host::test::eventually;

using Host = std::unique_ptr<PipedChildProcess>;

class HostBinaryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "needs the test desktop";
        // Windows of other tests on the shared desktop come and go while we look
        // at them; a query on one that is gone just finds nothing.
        XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
        display = XOpenDisplay(nullptr);
        ASSERT_NE(display, nullptr);
        root = fs::temp_directory_path() /
               ("qh-host-" + std::to_string(getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        signalingPort = quillane::host::test::writeFreePortSettings(root / "home/.config/Quillane")[0];
    }

    void TearDown() override {
        if (display) XCloseDisplay(display);
        if (!HasFailure()) fs::remove_all(root);
    }

    // A run of the host with its own folders, so that runs of different tests
    // share neither settings nor the single-instance lock.
    Host start(const std::string& tag, std::map<std::string, std::string> env = {}) {
        env.insert({{"HOME", (root / "home").string()},
                    {"XDG_CONFIG_HOME", (root / "home/.config").string()},
                    {"XDG_STATE_HOME", (root / "home/.local/state").string()}});
        return std::make_unique<PipedChildProcess>(QH_HOST_BINARY, std::vector<std::string>{}, env,
                                                      (root / (tag + ".err")).string(), (root / (tag + ".out")).string());
    }
    std::string output(const std::string& file) const { return readFile((root / file).string()); }

    std::string log() const {
        std::string text;
        fs::path logs = root / "home/.local/state/Quillane/logs";
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(logs, ec))
            if (entry.path().extension() == ".log") text += readFile(entry.path().string());
        return text;
    }

    Atom atom(const char* name) { return XInternAtom(display, name, False); }

    // The property's bytes; for format 32, one unsigned long per item.
    std::string property(Window window, const char* name, Atom type) {
        Atom actualType;
        int format = 0;
        unsigned long count = 0, remaining;
        unsigned char* data = nullptr;
        std::string bytes;
        if (XGetWindowProperty(display, window, atom(name), 0, 1024, False, type, &actualType, &format, &count,
                               &remaining, &data) == Success && data) {
            bytes.assign(reinterpret_cast<char*>(data), format == 32 ? count * sizeof(long) : count);
            XFree(data);
        }
        return bytes;
    }
    std::vector<unsigned long> windowProperty(Window window, const char* name, Atom type) {
        const std::string bytes = property(window, name, type);
        std::vector<unsigned long> values(bytes.size() / sizeof(long));
        if (!values.empty()) std::memcpy(values.data(), bytes.data(), bytes.size());
        return values;
    }
    std::string windowName(Window window) { return property(window, "_NET_WM_NAME", atom("UTF8_STRING")); }

    // The top-level window that `pid` made, as the window manager lists it.
    Window findHostWindow(pid_t pid, std::chrono::milliseconds timeout = 20s) {
        Window found = 0;
        eventually(
            [&] {
                for (unsigned long window : windowProperty(DefaultRootWindow(display), "_NET_CLIENT_LIST", XA_WINDOW)) {
                    auto pids = windowProperty(window, "_NET_WM_PID", XA_CARDINAL);
                    if (!pids.empty() && static_cast<pid_t>(pids[0]) == pid) {
                        found = window;
                        return true;
                    }
                }
                return false;
            },
            timeout);
        return found;
    }

    bool viewable(Window window) {
        XWindowAttributes attributes{};
        return XGetWindowAttributes(display, window, &attributes) && attributes.map_state == IsViewable;
    }

    bool iconic(Window window) {
        auto state = windowProperty(window, "WM_STATE", atom("WM_STATE"));
        return !state.empty() && state[0] == IconicState;
    }

    Window activeWindow() {
        auto active = windowProperty(DefaultRootWindow(display), "_NET_ACTIVE_WINDOW", XA_WINDOW);
        return active.empty() ? 0 : active[0];
    }

    // Colour of the window's pixel at (x, y) as 8-bit red, green, blue.
    std::array<int, 3> pixel(Window window, int x, int y) {
        XImage* image = XGetImage(display, window, x, y, 1, 1, AllPlanes, ZPixmap);
        if (!image) return {-1, -1, -1};
        unsigned long value = XGetPixel(image, 0, 0);
        auto channel = [value](unsigned long mask) {
            int shift = 0;
            while (mask && !(mask & 1)) {
                mask >>= 1;
                ++shift;
            }
            return static_cast<int>((value >> shift) & mask);
        };
        std::array<int, 3> rgb{channel(image->red_mask), channel(image->green_mask), channel(image->blue_mask)};
        XDestroyImage(image);
        return rgb;
    }

    void sendDeleteWindow(Window window) {
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = window;
        event.xclient.message_type = atom("WM_PROTOCOLS");
        event.xclient.format = 32;
        event.xclient.data.l[0] = static_cast<long>(atom("WM_DELETE_WINDOW"));
        event.xclient.data.l[1] = CurrentTime;
        XSendEvent(display, window, False, NoEventMask, &event);
        XFlush(display);
    }

    Display* display = nullptr;
    fs::path root;
    std::uint16_t signalingPort = 0;
};

// An X server of the test's own, so that changing its screen disturbs no other
// test on the shared desktop.
class PrivateXServer {
public:
    PrivateXServer() {
        int fds[2];
        if (pipe(fds) != 0) return;
        pid = fork();
        if (pid == 0) {
            close(fds[0]);
            const std::string fd = std::to_string(fds[1]);
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x720x24", "-nolisten", "tcp",
                   "+extension", "RANDR", "+extension", "XTEST", "+extension", "Composite", "+extension", "DAMAGE",
                   static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        std::string number;
        pollfd readable{fds[0], POLLIN, 0};
        char c = 0;
        while (poll(&readable, 1, 10000) == 1 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
        close(fds[0]);
        if (!number.empty()) name = ":" + number;
    }
    ~PrivateXServer() { end(SIGTERM); }
    // Ends it by its pid, as a crash (SIGKILL) or a logout (SIGTERM) would.
    void end(int signal) {
        if (pid <= 0) return;
        kill(pid, signal);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }
    PrivateXServer(const PrivateXServer&) = delete;
    PrivateXServer& operator=(const PrivateXServer&) = delete;

    std::string name;  // ":N"; empty when it did not start

    // What `xrandr --newmode/--addmode/--output --mode --fb` does: the screen
    // takes the new size.
    bool resize(unsigned width, unsigned height) {
        Display* d = XOpenDisplay(name.c_str());
        if (!d) return false;
        const Window root = DefaultRootWindow(d);
        XRRScreenResources* resources = XRRGetScreenResources(d, root);
        bool done = false;
        if (resources && resources->noutput > 0 && resources->ncrtc > 0) {
            std::string modeName = std::to_string(width) + "x" + std::to_string(height) + "_test";
            XRRModeInfo info{};
            info.width = width;
            info.height = height;
            info.hTotal = width;
            info.vTotal = height;
            info.dotClock = static_cast<unsigned long>(width) * height * 60;
            info.name = modeName.data();
            info.nameLength = static_cast<unsigned>(modeName.size());
            const RRMode mode = XRRCreateMode(d, root, &info);
            XRRAddOutputMode(d, resources->outputs[0], mode);
            XRRCrtcInfo* crtc = XRRGetCrtcInfo(d, resources, resources->crtcs[0]);
            done = crtc && XRRSetCrtcConfig(d, resources, resources->crtcs[0], CurrentTime, 0, 0, mode,
                                            crtc->rotation, resources->outputs, 1) == RRSetConfigSuccess;
            if (crtc) XRRFreeCrtcInfo(crtc);
            if (done) XRRSetScreenSize(d, root, static_cast<int>(width), static_cast<int>(height), 270, 160);
            XSync(d, False);
        }
        if (resources) XRRFreeScreenResources(resources);
        XCloseDisplay(d);
        return done;
    }

private:
    pid_t pid = -1;
};

bool near(const std::array<int, 3>& rgb, std::array<int, 3> want) {
    // Colours of full scale floats, rounded either way.
    for (int i = 0; i < 3; ++i)
        if (std::abs(rgb[i] - want[i]) > 1) return false;
    return true;
}
// The page's background (0.06, 0.06, 0.10) and the sidebar's and status bar's (0.05, 0.05, 0.08).
bool isBackground(const std::array<int, 3>& rgb) { return near(rgb, {15, 15, 26}); }
bool isBackgroundDeep(const std::array<int, 3>& rgb) { return near(rgb, {13, 13, 20}); }

std::string rgbText(const std::array<int, 3>& rgb) {
    return std::to_string(rgb[0]) + "," + std::to_string(rgb[1]) + "," + std::to_string(rgb[2]);
}

// One run through what a user does with the window, in turn: look at it, leave
// it idle, grow it, close it, start the host again, and end it with SIGTERM.
TEST_F(HostBinaryTest, WindowLivesThroughAUsersSession) {
    auto host = start("first");
    Window window = findHostWindow(host->pid());
    ASSERT_NE(window, 0u) << output("first.err");
    EXPECT_EQ(windowName(window), "Quillane Host");
    ASSERT_TRUE(eventually([&] { return viewable(window); }, 10s));
    XWindowAttributes attributes{};
    XGetWindowAttributes(display, window, &attributes);
    EXPECT_EQ(attributes.width, 1400);
    EXPECT_EQ(attributes.height, 900);
    std::array<int, 3> rgb{};
    // The page's top right corner, the sidebar and the status bar (away from
    // their rounded corners).
    ASSERT_TRUE(eventually([&] { return isBackground(rgb = pixel(window, 1397, 2)); }, 10s)) << rgbText(rgb);
    for (auto [x, y] : {std::pair{20, 450}, {700, 890}, {1380, 880}})
        EXPECT_TRUE(eventually([&] { return isBackgroundDeep(rgb = pixel(window, x, y)); }, 10s))
            << x << "," << y << ": " << rgbText(rgb);

    // Presenting does not block here (no vertical sync, or minimised): an
    // unchanged window must not be drawn again and again.
    const auto expectIdle = [&](const char* state) {
        const double cpuBefore = host->cpuSeconds();
        const auto wallBefore = Clock::now();
        std::this_thread::sleep_for(3s);
        const double wall = std::chrono::duration<double>(Clock::now() - wallBefore).count();
        EXPECT_LT((host->cpuSeconds() - cpuBefore) / wall, 0.25) << state;
    };
    expectIdle("visible");

    // Drawn only when out of date: after growing, to its new edges.
    XResizeWindow(display, window, 1500, 960);
    XSync(display, False);
    ASSERT_TRUE(eventually(
        [&] { return XGetWindowAttributes(display, window, &attributes) && attributes.width == 1500 && attributes.height == 960; },
        10s));
    EXPECT_TRUE(eventually([&] { return isBackgroundDeep(rgb = pixel(window, 1450, 930)); }, 10s)) << rgbText(rgb);

    // Closing minimises it and the host keeps running.
    sendDeleteWindow(window);
    ASSERT_TRUE(eventually([&] { return iconic(window); }, 10s));
    expectIdle("minimised");
    EXPECT_TRUE(host->running());

    // A second start raises the first window, says so, and ends with 0 without logging.
    auto second = start("second");
    auto status = second->wait(20s);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
    EXPECT_EQ(output("second.out"), "Quillane Host is already running.\n");
    EXPECT_TRUE(eventually([&] { return viewable(window) && !iconic(window); }, 10s));
    EXPECT_TRUE(eventually([&] { return activeWindow() == window; }, 10s));
    EXPECT_TRUE(host->running());

    kill(host->pid(), SIGTERM);
    status = host->wait(15s);
    ASSERT_TRUE(status.has_value());
    ASSERT_TRUE(WIFEXITED(*status)) << "ended by signal " << WTERMSIG(*status);
    EXPECT_EQ(WEXITSTATUS(*status), 0);
    const std::string text = log();
    const auto starting = text.find("Quillane Host starting...");
    const auto loop = text.find("Application initialized, entering main loop...");
    const auto exiting = text.find("Quillane Host exiting");
    ASSERT_NE(loop, std::string::npos) << text;
    ASSERT_NE(exiting, std::string::npos) << text;
    EXPECT_EQ(text.find("Quillane Host starting...", starting + 1), std::string::npos) << text;
    EXPECT_LT(loop, exiting);
    EXPECT_NE(text.find("Shutting down logging", exiting), std::string::npos);
    EXPECT_EQ(text.find("CRASH"), std::string::npos);
}

// A new screen size reaches the application, which updates the input side.
// The console is read: the log file holds info lines back until a warning.
TEST_F(HostBinaryTest, ScreenSizeChangeReachesTheApplication) {
    PrivateXServer server;
    ASSERT_FALSE(server.name.empty()) << "Xvfb did not start";
    auto host = start("host", {{"DISPLAY", server.name}});
    const auto console = [&] { return output("host.out"); };
    ASSERT_TRUE(eventually([&] { return console().find("entering main loop...") != std::string::npos; }, 30s))
        << console() << output("host.err");
    EXPECT_EQ(console().find("Display configuration changed"), std::string::npos);

    ASSERT_TRUE(server.resize(1024, 600));
    const std::string change = "Display configuration changed, updating input metrics\n";
    const std::string logged = "Display configuration changed\n";
    ASSERT_TRUE(eventually([&] { return console().find(logged) != std::string::npos; }, 10s)) << console();
    // The application handles it first. (RandR reports one change as several
    // events, which may arrive over more than one turn.)
    const std::string text = console();
    EXPECT_LT(text.find(change), text.find(logged)) << text;

    EXPECT_EQ(WEXITSTATUS(host->terminate()), 0);
}

// The X server goes away under a host with streams running (a crashed server): the host says so
// once and ends by itself, promptly, with a status of its own and without a crash report.
TEST_F(HostBinaryTest, LossOfTheDisplayEndsTheHostOnceWithoutACrash) {
    PrivateXServer server;
    ASSERT_FALSE(server.name.empty()) << "Xvfb did not start";
    const std::map<std::string, std::string> onServer{{"DISPLAY", server.name}};
    auto host = start("host", onServer);
    const auto console = [&] { return output("host.out"); };
    ASSERT_TRUE(eventually([&] { return console().find("entering main loop...") != std::string::npos; }, 30s))
        << console() << output("host.err");
    TestWindowProcess window("Display loss", 320, 240, 30, onServer);
    ASSERT_TRUE(window.ok());
    SignalingClient client;
    ASSERT_TRUE(client.connect(signalingPort));
    ASSERT_TRUE(client.request({{"type", "hello"}}, "welcome"));
    // Eight captures, each waiting on the server in its own thread.
    for (int i = 0; i < 8; ++i)
        ASSERT_TRUE(client.request({{"type", "stream_start"}, {"windowId", window.windowId()}}, "stream_started", 10s))
            << "stream " << i;
    std::this_thread::sleep_for(1s);

    server.end(SIGKILL);
    const auto lost = Clock::now();
    const auto status = host->wait(10s);
    ASSERT_TRUE(status.has_value()) << "still running 10 s after the display went away\n" << console();
    std::fprintf(stderr, "host ended %.1f s after the display, wait status %d (%s %d)\n",
                 std::chrono::duration<double>(Clock::now() - lost).count(), *status,
                 WIFEXITED(*status) ? "exit status" : "signal", WIFEXITED(*status) ? WEXITSTATUS(*status) : WTERMSIG(*status));
    ASSERT_TRUE(WIFEXITED(*status)) << "ended by signal " << WTERMSIG(*status) << "\n" << output("host.err");
    EXPECT_GT(WEXITSTATUS(*status), 0);
    EXPECT_LT(WEXITSTATUS(*status), 128);
    const std::string text = console();
    std::size_t lines = 0;
    for (auto at = text.find("Lost the connection to the display " + server.name); at != std::string::npos;
         at = text.find("Lost the connection to the display", at + 1))
        ++lines;
    EXPECT_EQ(lines, 1u) << text;
    EXPECT_NE(log().find("Lost the connection to the display"), std::string::npos) << "not in the log file";
    EXPECT_EQ(text.find("CRASH"), std::string::npos) << text;
    std::error_code ec;
    EXPECT_TRUE(fs::is_empty(root / "home/.local/state/Quillane/crashes", ec) || ec) << "a crash report was written";
}

TEST_F(HostBinaryTest, SigintEndsTheRunLikeSigterm) {
    auto host = start("host");
    ASSERT_NE(findHostWindow(host->pid()), 0u) << output("host.err");
    kill(host->pid(), SIGINT);
    auto status = host->wait(15s);
    ASSERT_TRUE(status.has_value());
    ASSERT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 0);
    EXPECT_NE(log().find("Quillane Host exiting"), std::string::npos);
}

TEST_F(HostBinaryTest, StartWithoutDisplayTellsTheUserAndEndsWithOne) {
    auto host = start("nodisplay", {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}});
    auto status = host->wait(20s);
    ASSERT_TRUE(status.has_value());
    ASSERT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 1);
    const std::string err = output("nodisplay.err");
    EXPECT_NE(err.find("Quillane Host - Fatal Error: Quillane Host could not start."), std::string::npos) << err;
    EXPECT_NE(err.find("Failed to initialize GLFW"), std::string::npos) << err;
    std::string text = log();
    EXPECT_NE(text.find("[error]"), std::string::npos) << text;
    EXPECT_NE(text.find("Quillane Host exiting"), std::string::npos) << text;
}

} // namespace

}  // namespace quillane::host::test
