// The host window as a user sees and uses it: screenshots of the dashboard and
// the log page checked at known places, and a click (through XTest) on a
// window's row that streams the window and a second one that stops it.
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fcntl.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "E2eHost.h"
#include "E2eMedia.h"
#include "Eventually.h"
#include "LocalHttpsServer.h"
#include "SignalingTestClient.h"

// After gtest: Xlib defines None.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

using namespace std::chrono_literals;
using quillane::host::test::SignalingClient;
using quillane::host::test::eventually;
using nlohmann::json;

namespace quillane::host::test {
namespace {

using RGB = std::array<int, 3>;

// The theme's colours at 8 bits (0.05, 0.05, 0.08 and so on, rounded either way).
constexpr RGB kBackground{15, 15, 26};
constexpr RGB kBackgroundDeep{13, 13, 20};
constexpr RGB kSurface{26, 26, 41};
constexpr RGB kField{38, 38, 56};
constexpr RGB kAccent{115, 89, 230};
constexpr RGB kInfoGreen{102, 204, 102};
constexpr RGB kWebsiteButton{89, 89, 191};
constexpr RGB kCommunityButton{89, 102, 230};

// Layout the UI promises: sidebar 260 wide and 20 apart from the page, whose
// boxes start at its left edge; status bar 56 high.
constexpr int kPageLeft = 280;
constexpr int kFirstNavButtonTop = 183;
constexpr int kNavButtonPitch = 76;

bool near(const RGB& a, const RGB& b, int tolerance = 2) {
    for (int i = 0; i < 3; ++i)
        if (std::abs(a[i] - b[i]) > tolerance) return false;
    return true;
}

class Screen {
public:
    explicit Screen(Picture picture) : p(std::move(picture)) {}
    int width() const { return p.width; }
    int height() const { return p.height; }
    RGB at(int x, int y) const {
        const std::size_t i = (static_cast<std::size_t>(y) * p.width + x) * 3;
        return {p.rgb[i], p.rgb[i + 1], p.rgb[i + 2]};
    }
    // Horizontal bands [top, bottom) between y0 and y1 in which some pixel of
    // columns x0..x1 differs from `background`: lines of text.
    std::vector<std::pair<int, int>> textBands(int x0, int x1, int y0, int y1, const RGB& background) const {
        std::vector<std::pair<int, int>> bands;
        int start = -1;
        for (int y = y0; y < y1; ++y) {
            bool ink = false;
            for (int x = x0; x < x1 && !ink; ++x) ink = !near(at(x, y), background, 24);
            if (ink && start < 0) start = y;
            if (!ink && start >= 0) {
                bands.emplace_back(start, y);
                start = -1;
            }
        }
        if (start >= 0) bands.emplace_back(start, y1);
        return bands;
    }
    // The first y from `y0` down at column x whose colour is `colour`; -1 if none.
    int firstDown(int x, int y0, const RGB& colour) const {
        for (int y = y0; y < height(); ++y)
            if (near(at(x, y), colour)) return y;
        return -1;
    }
    // The first y from `y0` down at column x that starts `height` rows of
    // `colour`: a box's top edge, not a stray pixel of text.
    int boxDown(int x, int y0, const RGB& colour, int height, int tolerance = 2) const {
        int run = 0;
        for (int y = y0; y < this->height(); ++y) {
            run = near(at(x, y), colour, tolerance) ? run + 1 : 0;
            if (run == height) return y - height + 1;
        }
        return -1;
    }
    int count(int x0, int y0, int x1, int y1, const RGB& colour, int tolerance) const {
        int n = 0;
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x) n += near(at(x, y), colour, tolerance);
        return n;
    }

private:
    Picture p;
};

class HostWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        display = XOpenDisplay(nullptr);
        ASSERT_NE(display, nullptr) << "needs the test desktop";
        prepare();
        ASSERT_TRUE(host.start()) << host.log();
        window = findWindowOf(host.process()->pid());
        ASSERT_NE(window, 0u);
    }

    // Before the host starts.
    virtual void prepare() {}

    void connectClient() {
        ASSERT_TRUE(client.connect(host.ports().signaling));
        ASSERT_TRUE(client.sendText(R"({"type":"hello"})"));
        ASSERT_TRUE(client.waitForType("welcome", 5s));
    }
    void TearDown() override {
        const int status = host.stop();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        if (HasFailure()) std::fprintf(stderr, "host log:\n%s\n", host.log().c_str());
        if (display) XCloseDisplay(display);
    }

    std::vector<unsigned long> listProperty(Window w, const char* name, Atom type) {
        Atom actual;
        int format = 0;
        unsigned long count = 0, remaining = 0;
        unsigned char* data = nullptr;
        std::vector<unsigned long> values;
        if (XGetWindowProperty(display, w, XInternAtom(display, name, False), 0, 1024, False, type, &actual, &format,
                               &count, &remaining, &data) == Success && data) {
            if (format == 32) values.assign(reinterpret_cast<unsigned long*>(data),
                                            reinterpret_cast<unsigned long*>(data) + count);
            XFree(data);
        }
        return values;
    }

    Window findWindowOf(pid_t pid) {
        Window found = 0;
        eventually([&] {
            for (unsigned long w : listProperty(DefaultRootWindow(display), "_NET_CLIENT_LIST", XA_WINDOW)) {
                auto pids = listProperty(w, "_NET_WM_PID", XA_CARDINAL);
                if (!pids.empty() && static_cast<pid_t>(pids[0]) == pid) found = w;
            }
            return found != 0;
        }, 20s);
        return found;
    }

    std::optional<Screen> shot() {
        auto picture = grabWindow(window);
        if (!picture) return std::nullopt;
        return Screen(std::move(*picture));
    }

    // Moves the pointer to the host window's (x, y), and clicks there when asked.
    void pointAt(int x, int y, bool click) {
        // Where the window manager has put the window by now: the same place twice in a row.
        int rootX = -1, rootY = -1;
        eventually([&] {
            int nowX = 0, nowY = 0;
            Window child;
            XTranslateCoordinates(display, window, DefaultRootWindow(display), x, y, &nowX, &nowY, &child);
            const bool settled = nowX == rootX && nowY == rootY;
            rootX = nowX;
            rootY = nowY;
            if (!settled) std::this_thread::sleep_for(200ms);
            return settled;
        }, 5s);
        // Entering from outside, as a user's pointer does: a window that the
        // pointer never entered (and that lacks focus) does not follow it.
        XTestFakeMotionEvent(display, -1, 0, 0, CurrentTime);
        XSync(display, False);
        std::this_thread::sleep_for(50ms);
        XTestFakeMotionEvent(display, -1, rootX, rootY, CurrentTime);
        XSync(display, False);
        std::this_thread::sleep_for(150ms);  // a few frames for the hover
        if (click) {
            XTestFakeButtonEvent(display, 1, True, CurrentTime);
            XSync(display, False);
            std::this_thread::sleep_for(60ms);
            XTestFakeButtonEvent(display, 1, False, CurrentTime);
            XSync(display, False);
        }
    }

    // Opens the Streaming page; the top of its bitrate slider, below the
    // frame-rate buttons, or -1 when it is not found.
    int bitrateSliderTop() {
        auto s = openPage(1);
        if (!s) return -1;
        const int rateTop = s->boxDown(kPageLeft + 45, 100, kAccent, 20);
        const int sliderTop = s->boxDown(kPageLeft + 400, rateTop + 45, kField, 20);
        return rateTop > 0 && sliderTop > rateTop ? sliderTop : -1;
    }

    // Whether a picture `width` wide of stream `streamId` decodes from what
    // `video` receives, from the stream's first keyframe on.
    static bool decodes(VideoReceiver& video, std::uint8_t streamId, int width) {
        H264TestDecoder decoder;
        bool sawKey = false;
        for (int i = 0; i < 200; ++i) {
            auto p = video.next(5s);
            if (!p) return false;
            if (p->streamId() != streamId) continue;
            sawKey = sawKey || p->isKeyframe();
            if (!sawKey) continue;
            for (auto& picture : decoder.decode(p->payload.data(), p->payload.size()))
                if (picture.width == width) return true;
        }
        return false;
    }

    void pressKey(KeySym key, bool down) {
        XTestFakeKeyEvent(display, XKeysymToKeycode(display, key), down ? True : False, CurrentTime);
        XSync(display, False);
        std::this_thread::sleep_for(40ms);
    }

    // Ctrl+click at the host window's (x, y), which makes a slider a text
    // field, then types `text` and Enter.
    void typeIntoSlider(int x, int y, const std::string& text) {
        pressKey(XK_Control_L, true);
        pointAt(x, y, true);
        pressKey(XK_Control_L, false);
        std::this_thread::sleep_for(200ms);  // the field's first frames
        for (const char c : text) {
            const KeySym key = XStringToKeysym(std::string(1, c).c_str());
            pressKey(key, true);
            pressKey(key, false);
        }
        pressKey(XK_Return, true);
        pressKey(XK_Return, false);
    }

    // Clicks the sidebar's button of page `index` (0: Dashboard .. 5: Logs; 6:
    // About, at the sidebar's foot) and waits until it shows selected.
    std::optional<Screen> openPage(int index) {
        // Above any test window, so the clicks reach it.
        XRaiseWindow(display, window);
        XSync(display, False);
        std::this_thread::sleep_for(200ms);
        std::optional<Screen> s = shot();
        if (!s) return std::nullopt;
        const int y = index < 6 ? kFirstNavButtonTop + index * kNavButtonPitch + 24 : s->height() - 56 - 16 - 24;
        pointAt(130, y, true);
        pointAt(130, 120, false);  // off the buttons, so the colours are the plain ones
        if (!eventually([&] { return (s = shot()) && near(s->at(20, y), kAccent); }, 10s)) return std::nullopt;
        std::this_thread::sleep_for(300ms);  // the page's settle frames
        return shot();
    }

    Display* display = nullptr;
    HostUnderTest host;
    Window window = 0;
    SignalingClient client;
};

TEST_F(HostWindowTest, DashboardAndLogPageShowTheThemeAndFitTheirBoxes) {
    std::optional<Screen> s;
    // The first frames: the selected "Dashboard" button in the accent colour.
    ASSERT_TRUE(eventually([&] { return (s = shot()) && near(s->at(20, kFirstNavButtonTop + 20), kAccent); }, 10s));
    const int H = s->height();
    EXPECT_TRUE(near(s->at(20, 450), kBackgroundDeep));             // sidebar
    EXPECT_TRUE(near(s->at(s->width() - 10, 60), kBackground));    // page
    EXPECT_TRUE(near(s->at(700, H - 10), kBackgroundDeep));        // status bar

    // No client yet: the connection card holds heading, status line and four
    // address rows, the last ("Input:") whole and inside the card's border.
    std::string found;
    const auto cardFits = [&] {
        const int top = s->firstDown(kPageLeft + 400, 60, kSurface);
        if (top < 0) return false;
        int bottom = top;
        while (near(s->at(kPageLeft + 400, bottom + 1), kSurface)) ++bottom;
        const auto rows = s->textBands(kPageLeft + 20, kPageLeft + 120, top, bottom, kSurface);
        found = "card " + std::to_string(top) + ".." + std::to_string(bottom) + ", text rows";
        for (auto [a, b] : rows) found += " " + std::to_string(a) + "-" + std::to_string(b);
        return rows.size() == 6 && rows.back().second <= bottom - 8 && rows.back().second - rows.back().first >= 10;
    };
    EXPECT_TRUE(eventually([&] { return (s = shot()) && cardFits(); }, 5s)) << found;

    // "  About", the sidebar's last button: its label whole and above the status bar.
    const int sidebarBottom = H - 56;
    const auto labels = s->textBands(100, 160, kFirstNavButtonTop, sidebarBottom, kBackgroundDeep);
    ASSERT_FALSE(labels.empty());
    EXPECT_LE(labels.back().second, sidebarBottom - 10);
    EXPECT_GE(labels.back().second - labels.back().first, 12);

    // The log page: selected, with the start-up's info lines in their colour.
    pointAt(130, kFirstNavButtonTop + 5 * kNavButtonPitch + 24, true);
    pointAt(130, 120, false);  // off the buttons, so the colours are the plain ones
    ASSERT_TRUE(eventually([&] {
        return (s = shot()) && near(s->at(20, kFirstNavButtonTop + 5 * kNavButtonPitch + 20), kAccent);
    }, 10s));
    EXPECT_TRUE(near(s->at(20, kFirstNavButtonTop + 20), kBackgroundDeep));
    EXPECT_GT(s->count(kPageLeft, 150, s->width(), H - 60, kInfoGreen, 6), 20);
}

TEST_F(HostWindowTest, ClickOnAWindowsRowStreamsItAndASecondClickStopsIt) {
    connectClient();
    TestWindowProcess target("ui-click-target", 640, 480);
    ASSERT_TRUE(target.ok());
    VideoReceiver video(host.ports().video);
    ASSERT_TRUE(video.connected());
    ASSERT_TRUE(host.waitForLog("TCP client connected", 5s));

    // Its row: the same order as the list clients get; the UI refreshes each second.
    int row = -1;
    ASSERT_TRUE(eventually([&] {
        auto list = client.request(json{{"type", "window_list_request"}}, "window_list");
        if (!list) return false;
        const auto& windows = (*list)["windows"];
        for (std::size_t i = 0; i < windows.size(); ++i)
            if (windows[i]["id"].get<std::uint64_t>() == target.windowId()) row = static_cast<int>(i);
        return row >= 0;
    }, 10s));
    ASSERT_LT(row, 4) << "the row must be in sight without scrolling";
    std::this_thread::sleep_for(1500ms);  // the UI's next refresh

    std::optional<Screen> s;
    ASSERT_TRUE(eventually([&] { return (s = shot()) && s->firstDown(1300, 400, kSurface) > 0; }, 10s));
    const int listTop = s->firstDown(1300, 400, kSurface);
    const int rowY = listTop + 37 + row * 61 + 28;  // padding 20, gap 5 and spacing 12, then 61 a row

    pointAt(kPageLeft + 200, rowY, true);
    ASSERT_TRUE(host.waitForLog("Start capture requested for window " + std::to_string(target.windowId()), 5s));
    pointAt(130, 120, false);
    EXPECT_TRUE(eventually([&] { return (s = shot()) && near(s->at(kPageLeft + 600, rowY), kField); }, 5s))
        << "the streaming row is highlighted";

    // A stream the host window started is announced after its first resolution change.
    ASSERT_TRUE(target.command("resize 800 600"));
    auto config = client.waitForType("stream_config", 10s);
    ASSERT_TRUE(config);
    EXPECT_EQ((*config)["windowId"], 0);
    EXPECT_EQ((*config)["width"], 800);
    const auto streamId = (*config)["streamId"].get<std::uint8_t>();
    EXPECT_TRUE(decodes(video, streamId, 800));

    pointAt(kPageLeft + 200, rowY, true);
    ASSERT_TRUE(host.waitForLog("Stop capture requested for stream " + std::to_string(streamId), 5s));
    std::this_thread::sleep_for(500ms);
    video.clear();
    bool more = false;
    for (auto p = video.next(1500ms); p; p = video.next(1500ms)) more = more || p->streamId() == streamId;
    EXPECT_FALSE(more) << "frames after Stop";
}

TEST_F(HostWindowTest, StreamingSettingsAndAboutPagesAtKnownPlaces) {
    // Streaming: the frame-rate buttons, 90 wide and 10 apart; the saved 72 Hz selected.
    auto s = openPage(1);
    ASSERT_TRUE(s);
    const int rateTop = s->boxDown(kPageLeft + 45, 100, kAccent, 20);
    ASSERT_GT(rateTop, 150);
    EXPECT_TRUE(near(s->at(kPageLeft + 100 + 45, rateTop + 5), kSurface));
    EXPECT_TRUE(near(s->at(kPageLeft + 300 + 45, rateTop + 5), kSurface));
    // The bitrate slider, the only field wider than the preset combo's 350.
    EXPECT_GT(s->boxDown(kPageLeft + 400, rateTop + 45, kField, 20), rateTop + 45);

    // Settings: "Check Now" (120 wide) above "Reset to Defaults" (180 wide),
    // looked at beside their labels.
    s = openPage(4);
    ASSERT_TRUE(s);
    const int resetTop = s->boxDown(kPageLeft + 172, 100, kSurface, 30);
    const int checkTop = s->boxDown(kPageLeft + 8, 100, kSurface, 20);
    ASSERT_GT(resetTop, 0);
    EXPECT_GT(checkTop, 100);
    EXPECT_LT(checkTop, resetTop - 36);
    EXPECT_TRUE(near(s->at(kPageLeft + 172, resetTop + 40), kSurface));
    EXPECT_FALSE(s->textBands(kPageLeft + 10, kPageLeft + 110, checkTop, checkTop + 36, kSurface).empty())
        << "the button's label";

    // About: "Visit Website" and "Join Discord" side by side in their colours.
    s = openPage(6);
    ASSERT_TRUE(s);
    const int linksTop = s->boxDown(kPageLeft + 8, 100, kWebsiteButton, 20);
    ASSERT_GT(linksTop, 150);
    EXPECT_TRUE(near(s->at(kPageLeft + 172 + 8, linksTop + 10), kCommunityButton));
    EXPECT_TRUE(near(s->at(kPageLeft + 2 * 172 + 8, linksTop + 10), kSurface));  // "Open Log Folder"
}

// Counts the times a file in `folder` named `name` is written whole.
class FileWrites {
public:
    FileWrites(const std::string& folder, std::string name) : name(std::move(name)) {
        fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        inotify_add_watch(fd, folder.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO);
    }
    ~FileWrites() { close(fd); }
    int count() {
        alignas(inotify_event) char buffer[4096];
        for (ssize_t n; (n = read(fd, buffer, sizeof(buffer))) > 0;) {
            for (char* p = buffer; p < buffer + n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(p);
                if (event->len && name == event->name) ++writes;
                p += sizeof(inotify_event) + event->len;
            }
        }
        return writes;
    }

private:
    std::string name;
    int fd = -1;
    int writes = 0;
};

TEST_F(HostWindowTest, ABitrateClickReachesTheRunningStreamAndTheSettingsFileOnce) {
    connectClient();
    TestWindowProcess target("ui-bitrate-target", 640, 480);
    ASSERT_TRUE(target.ok());
    VideoReceiver video(host.ports().video);
    ASSERT_TRUE(video.connected());
    auto started = client.request(json{{"type", "stream_subscribe"}, {"windowId", target.windowId()}},
                                  "stream_started", 10s);
    ASSERT_TRUE(started);
    const auto streamId = (*started)["streamId"].get<std::uint8_t>();
    ASSERT_TRUE(video.next(5s));

    const int sliderTop = bitrateSliderTop();
    ASSERT_GT(sliderTop, 0);
    const std::string folder = host.home() + "/config/Quillane";
    FileWrites writes(folder, "settings.json");

    // Near the slider's left end: a few Mbps, well below the 20 the host started with.
    pointAt(kPageLeft + 15, sliderTop + 10, true);
    pointAt(130, 120, false);
    ASSERT_TRUE(host.waitForLog("Applying settings: bitrate=", 5s));
    std::this_thread::sleep_for(2500ms);  // any later save would come within the coalescing second
    const std::string log = host.log();
    const std::regex applied("Applying settings: bitrate=(\\d+) kbps, maxBitrate=(\\d+) kbps");
    std::vector<std::pair<int, int>> values;
    for (std::sregex_iterator it(log.begin(), log.end(), applied), end; it != end; ++it)
        values.emplace_back(std::stoi((*it)[1]), std::stoi((*it)[2]));
    ASSERT_EQ(values.size(), 1u) << log;
    const auto [bitrate, maxBitrate] = values[0];
    EXPECT_LT(bitrate, 20000);
    EXPECT_EQ(bitrate % 1000, 0);
    EXPECT_EQ(maxBitrate, bitrate / 1000 * 1500);
    EXPECT_EQ(writes.count(), 1);
    std::ifstream file(folder + "/settings.json");
    const json saved = json::parse(file);
    EXPECT_EQ(saved["targetBitrate"], bitrate);
    EXPECT_EQ(saved["maxBitrate"], maxBitrate);

    // The stream runs on at the new rate: frames keep coming, at most the new
    // rate's worth of bytes over two seconds (with a second's slack for a keyframe).
    video.clear();
    std::size_t bytes = 0;
    const auto until = std::chrono::steady_clock::now() + 2s;
    int frames = 0;
    while (std::chrono::steady_clock::now() < until) {
        auto p = video.next(1s);
        if (!p || p->streamId() != streamId) continue;
        bytes += p->payload.size();
        ++frames;
    }
    EXPECT_GT(frames, 10);
    EXPECT_LE(bytes * 8, static_cast<std::size_t>(bitrate) * 1000 * 3);
}

// The browser that "Visit Website" starts through a stand-in xdg-open, while the host holds its
// listening sockets and a client on each connection: it gets only standard input, output and
// error, and every socket and file of the host is close-on-exec.
class HostWindowBrowserTest : public HostWindowTest {
protected:
    void prepare() override {
        std::filesystem::create_directories(tools);
        std::filesystem::create_symlink(QH_DESCRIPTOR_LISTER, tools + "/xdg-open");
        const char* path = std::getenv("PATH");
        host.environment = {{"PATH", tools + ":" + (path ? path : "/usr/bin:/bin")}, {"QH_DESCRIPTOR_LIST", record}};
    }

    // The host's descriptors above standard error that lack close-on-exec, as "<number> <target> <flags>".
    std::vector<std::string> hostDescriptorsWithoutCloseOnExec() {
        const std::string proc = "/proc/" + std::to_string(host.process()->pid());
        std::vector<std::string> open;
        for (const auto& entry : std::filesystem::directory_iterator(proc + "/fd")) {
            const std::string fd = entry.path().filename().string();
            if (std::stoi(fd) <= 2) continue;
            std::error_code error;
            const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
            std::ifstream info(proc + "/fdinfo/" + fd);
            std::string line;
            while (std::getline(info, line)) {
                if (line.rfind("flags:", 0) != 0) continue;
                const unsigned long flags = std::stoul(line.substr(6), nullptr, 8);
                if (!(flags & O_CLOEXEC)) open.push_back(fd + " " + target + " " + line.substr(6));
            }
        }
        return open;
    }

    const std::string tools = host.home() + "/tools";
    const std::string record = host.home() + "/descriptors";
};

TEST_F(HostWindowBrowserTest, TheBrowserItStartsHoldsNoneOfTheHostsSocketsOrFiles) {
    connectClient();
    VideoReceiver video(host.ports().video);
    quillane::host::test::RawConnection audio, input;
    ASSERT_TRUE(video.connected() && audio.connect(host.ports().audio) && input.connect(host.ports().input));
    ASSERT_TRUE(host.waitForLog("TCP client connected", 5s));
    ASSERT_TRUE(host.waitForLog("TCP audio client connected", 5s));
    ASSERT_TRUE(host.waitForLog("TCP input client connected", 5s));
    EXPECT_EQ(hostDescriptorsWithoutCloseOnExec(), std::vector<std::string>{});

    auto s = openPage(6);
    ASSERT_TRUE(s);
    const int linksTop = s->boxDown(kPageLeft + 8, 100, kWebsiteButton, 20);
    ASSERT_GT(linksTop, 150);
    pointAt(kPageLeft + 80, linksTop + 17, true);
    ASSERT_TRUE(eventually([&] { return std::filesystem::exists(record); }, 10s)) << "xdg-open never started";
    std::ifstream in(record);
    std::vector<std::string> inherited;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("SIGPIPE", 0) != 0 && std::stoi(line) > 2) inherited.push_back(line);
    }
    EXPECT_EQ(inherited, std::vector<std::string>{});
}

// Ctrl+click makes the bitrate slider a text field, where any number can be
// typed: what is stored stays within the settings file's range, and a stream
// started afterwards runs and decodes.
TEST_F(HostWindowTest, TypedBitratesStayInTheSettingsRangeAndStreamsStillDecode) {
    connectClient();
    const int sliderTop = bitrateSliderTop();
    ASSERT_GT(sliderTop, 0);
    const std::string settingsFile = host.home() + "/config/Quillane/settings.json";
    const auto stored = [&] {
        std::ifstream file(settingsFile);
        const json saved = json::parse(file, nullptr, false);
        return saved.is_object() ? std::pair(saved.value("targetBitrate", 0u), saved.value("maxBitrate", 0u))
                                 : std::pair(0u, 0u);
    };
    // 0 and 5,000,000 kbit/s: the lowest whole Mbps, and the highest whose maximum
    // (half as much again) the file still accepts, 4,294,967 kbit/s.
    for (const auto& [typed, expected] : {std::pair<std::string, unsigned>{"0", 1000u}, {"5000", 2863000u}}) {
        SCOPED_TRACE(typed);
        typeIntoSlider(kPageLeft + 200, sliderTop + 10, typed);
        pointAt(130, 120, false);
        EXPECT_TRUE(eventually([&] { return stored().first == expected; }, 10s))
            << stored().first << "\n" << host.log();
        const auto [target, maximum] = stored();
        EXPECT_GE(target, 1u);
        EXPECT_LE(maximum, 4'294'967u);
        EXPECT_EQ(maximum, target / 1000 * 1500);
    }
    EXPECT_EQ(host.log().find("Refusing settings"), std::string::npos);

    TestWindowProcess target("ui-typed-bitrate-target", 640, 480);
    ASSERT_TRUE(target.ok());
    VideoReceiver video(host.ports().video);
    ASSERT_TRUE(video.connected());
    auto started = client.request(json{{"type", "stream_subscribe"}, {"windowId", target.windowId()}},
                                  "stream_started", 10s);
    ASSERT_TRUE(started) << host.log();
    EXPECT_TRUE(decodes(video, (*started)["streamId"].get<std::uint8_t>(), 640));
}

// The host's update checker asks a local service (trusting its certificate),
// which offers a newer version.
class HostWindowUpdateTest : public HostWindowTest {
protected:
    void prepare() override {
        const std::string caFile = host.home() + "/service.pem";
        std::ofstream(caFile) << certificate.certificatePem;
        server.setReply(quillane::host::test::httpReply(200, R"({"version":"9.9.9",)"
                                                             R"("download_page":"https://quillane.app/download",)"
                                                             R"("release_notes":"Faster streams"})"));
        host.binary = QH_UPDATE_TEST_HOST;
        host.environment = {{"QH_TEST_UPDATE_URL", server.url()}, {"QH_TEST_UPDATE_CA", caFile}};
        // Automatic checks on, so the start-up check runs.
        const std::string settingsFile = host.home() + "/config/Quillane/settings.json";
        std::ifstream in(settingsFile);
        std::string text((std::istreambuf_iterator<char>(in)), {});
        const auto at = text.find("\"autoCheckUpdates\": false");
        ASSERT_NE(at, std::string::npos);
        text.replace(at, std::strlen("\"autoCheckUpdates\": false"), "\"autoCheckUpdates\": true");
        std::ofstream(settingsFile, std::ios::trunc) << text;
    }

    quillane::host::test::TestCertificate certificate = quillane::host::test::TestCertificate::generate();
    quillane::host::test::LocalHttpsServer server{certificate};
};

TEST_F(HostWindowUpdateTest, SettingsPageShowsTheUpdateNoticeWithItsButtons) {
    ASSERT_TRUE(host.waitForLog("Update available: 1.1.9 -> 9.9.9", 10s));
    EXPECT_EQ(server.connections(), 1u);
    auto s = openPage(4);
    ASSERT_TRUE(s);
    // The panel's blue over the page (0.15, 0.25, 0.50 at 95 %), right of its text.
    const RGB panel{37, 61, 122};
    int panelTop = -1;
    ASSERT_TRUE(eventually([&] {
        return (s = shot()) && (panelTop = s->boxDown(kPageLeft + 700, 60, panel, 60, 5)) > 0;
    }, 5s));
    // "Download Update" in the accent colour, and the panel reaching below it.
    const int buttonTop = s->boxDown(kPageLeft + 20, panelTop, kAccent, 20);
    ASSERT_GT(buttonTop, panelTop + 40);
    EXPECT_TRUE(near(s->at(kPageLeft + 700, buttonTop + 32 + 6), panel, 5)) << "the panel holds its buttons";
    // Along the buttons' row: "Download Update" whole (at least its 140 pixels),
    // then "Release Notes" on the surface colour.
    const int row = buttonTop + 10;
    int x = kPageLeft + 20;
    while (x < kPageLeft + 600 && near(s->at(x, row), kAccent, 24)) ++x;
    EXPECT_GE(x - (kPageLeft + 15), 130);
    while (x < kPageLeft + 600 && !near(s->at(x, row), kSurface)) ++x;
    EXPECT_LT(x, kPageLeft + 15 + 220) << "Release Notes";
}

}  // namespace
}  // namespace quillane::host::test
