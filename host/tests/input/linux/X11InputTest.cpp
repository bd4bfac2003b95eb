// The client's input through the running application into real X windows: test windows record
// what they receive, the X server's key and button state shows what is held.
#include <gtest/gtest.h>

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "Eventually.h"
#include "LogCapture.h"
#include "SignalingTestClient.h"
#include "VideoClient.h"
#include "linux/X11ActiveWindow.h"
#include "app/Application.h"
#include "common/Utf8.h"
#include "input/InputInjector.h"
#include "input/InputRouter.h"
#include "input/linux/X11KeyTable.h"
#include "network/TcpInputServer.h"
#include "TestSupport.h"

namespace quillane::host::test {
namespace {

using namespace std::chrono_literals;
using test::eventually;
using test::VideoClient;

struct Recorded {
    int type = 0;  // ButtonPress, KeyPress, ...
    int x = 0, y = 0;
    unsigned button = 0;
    unsigned state = 0;
    KeySym keysym = NoSymbol;  // as the window's client reads it, modifiers applied
};

// The character a typed keysym stands for, 0 for none.
std::uint32_t keysymCharacter(KeySym keysym) {
    if ((keysym >= 0x20 && keysym <= 0x7E) || (keysym >= 0xA0 && keysym <= 0xFF)) return keysym;
    if ((keysym & 0xFF000000) == 0x01000000) return keysym & 0xFFFFFF;
    return keysym == XK_EuroSign ? 0x20AC : 0;
}

// A managed top-level window on its own connection that records its pointer and key events.
class RecordingWindow {
public:
    RecordingWindow(const char* title, int x, int y, int width, int height) : width(width), height(height) {
        display = XOpenDisplay(nullptr);
        if (display == nullptr) return;
        window = XCreateSimpleWindow(display, DefaultRootWindow(display), x, y, width, height, 0, 0, 0xFFFFFF);
        XStoreName(display, window, title);
        XSizeHints hints{};
        hints.flags = USPosition | USSize;
        hints.x = x;
        hints.y = y;
        XSetWMNormalHints(display, window, &hints);
        XSelectInput(display, window,
                     ButtonPressMask | ButtonReleaseMask | KeyPressMask | KeyReleaseMask | StructureNotifyMask);
        XMapWindow(display, window);
        XSync(display, False);
        thread = std::thread([this] { loop(); });
        eventually([this] { return mapped.load(); }, 5s);
        std::this_thread::sleep_for(300ms);  // placed and listed by the window manager
    }
    ~RecordingWindow() {
        stopping = true;
        thread.join();
        XDestroyWindow(display, window);
        XCloseDisplay(display);
    }

    std::uint32_t id() const { return static_cast<std::uint32_t>(window); }
    std::vector<Recorded> events(int type) {
        std::lock_guard lock(mutex);
        std::vector<Recorded> out;
        for (const auto& e : recorded)
            if (e.type == type) out.push_back(e);
        return out;
    }
    // What the key presses typed.
    std::string text() {
        std::wstring typed;  // wchar_t is UTF-32 here
        for (const auto& e : events(KeyPress))
            if (const std::uint32_t c = keysymCharacter(e.keysym)) typed += static_cast<wchar_t>(c);
        return wideToUtf8(typed);
    }
    void clear() {
        std::lock_guard lock(mutex);
        recorded.clear();
    }
    bool waitForEvents(int type, std::size_t count) {
        return eventually([&] { return events(type).size() >= count; }, 5s);
    }

    const int width, height;

private:
    void loop() {
        pollfd fd{ConnectionNumber(display), POLLIN, 0};
        while (!stopping) {
            if (XPending(display) == 0) {
                poll(&fd, 1, 20);
                continue;
            }
            XEvent event;
            XNextEvent(display, &event);
            if (event.type == MapNotify) mapped = true;
            if (event.type == MappingNotify) XRefreshKeyboardMapping(&event.xmapping);
            Recorded r{event.type};
            if (event.type == ButtonPress || event.type == ButtonRelease) {
                r = Recorded{event.type, event.xbutton.x, event.xbutton.y, event.xbutton.button, event.xbutton.state};
            } else if (event.type == KeyPress || event.type == KeyRelease) {
                r.state = event.xkey.state;
                unsigned int consumed = 0;
                XkbLookupKeySym(display, event.xkey.keycode, event.xkey.state, &consumed, &r.keysym);
            } else {
                continue;
            }
            std::lock_guard lock(mutex);
            recorded.push_back(r);
        }
    }

    Display* display = nullptr;
    Window window = 0;
    std::thread thread;
    std::atomic<bool> stopping{false};
    std::atomic<bool> mapped{false};
    std::mutex mutex;
    std::vector<Recorded> recorded;
};

// The X server's own view: keys down, the pointer and its buttons.
struct ServerState {
    ~ServerState() {
        if (display) XCloseDisplay(display);
    }
    std::size_t keysDown() {
        char keys[32] = {};
        XQueryKeymap(display, keys);
        std::size_t down = 0;
        for (int code = 0; code < 256; ++code) down += (keys[code / 8] >> (code % 8)) & 1;
        return down;
    }
    // Root position and the button mask.
    std::tuple<int, int, unsigned> pointer() {
        Window root = 0, child = 0;
        int rx = 0, ry = 0, wx = 0, wy = 0;
        unsigned mask = 0;
        XQueryPointer(display, DefaultRootWindow(display), &root, &child, &rx, &ry, &wx, &wy, &mask);
        return {rx, ry, mask & (Button1Mask | Button2Mask | Button3Mask | Button4Mask | Button5Mask)};
    }
    unsigned buttonsDown() { return std::get<2>(pointer()); }
    bool nothingHeld() { return keysDown() == 0 && buttonsDown() == 0; }
    Window activeWindow() { return test::activeWindow(display); }
    // Asks the window manager to activate the window, as a user's click on it would.
    bool activate(Window window) { return test::activateWindow(display, window); }

    Display* display = XOpenDisplay(nullptr);
};

InputEvent mouseEvent(std::uint8_t stream, MouseAction action, std::uint16_t x, std::uint16_t y,
                      std::uint8_t button = 0, std::int16_t wheel = 0) {
    return InputEvent{stream, 1, static_cast<std::uint8_t>(action), x, y, button, 0, wheel};
}

InputEvent keyEvent(std::uint8_t stream, KeyAction action, std::uint8_t code, std::uint8_t modifiers = 0,
                    std::uint16_t character = 0) {
    return InputEvent{stream, 2, static_cast<std::uint8_t>(action), character, 0, code, modifiers};
}

// Where a window-relative unit lands, in window pixels.
int expectedPixel(int extent, std::uint16_t n) {
    return static_cast<int>((std::int64_t{extent} * n + extent / 2) / 65535);
}

class X11Input : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string home = folder.path().string();
        setenv("HOME", home.c_str(), 1);
        setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
        setenv("XDG_STATE_HOME", (home + "/state").c_str(), 1);
        const auto free = test::writeFreePortSettings(folder.path() / "config" / "Quillane");
        signalingPort = free[0];
        videoPort = free[1];
        inputPort = free[3];
        app = std::make_unique<Application>();
        ASSERT_TRUE(app->initialize());
        mainLoop = std::thread([this] {
            while (!stopLoop) {
                app->update();
                std::this_thread::sleep_for(2ms);
            }
        });
        ASSERT_TRUE(input.connect(free[3]));
        ASSERT_TRUE(video.connect(free[1]));
        ASSERT_TRUE(log.waitFor("TCP input client connected"));
        ASSERT_TRUE(log.waitFor("TCP client connected"));
    }
    void TearDown() override {
        input.close();
        video.close();
        stopLoop = true;
        if (mainLoop.joinable()) mainLoop.join();
        app.reset();
    }

    void send(const InputEvent& event) {
        std::uint8_t body[sizeof(InputEvent)];
        std::memcpy(body, &event, sizeof(body));
        ASSERT_TRUE(input.sendMessage(body));
    }
    void sendVideo(std::uint8_t stream, MouseAction action, std::uint16_t x, std::uint16_t y, std::uint8_t code = 0,
                   std::uint8_t modifiers = 0, std::uint8_t device = 1) {
        ASSERT_TRUE(video.sendInput({stream, device, static_cast<std::uint8_t>(action), x, y, code, modifiers}));
    }
    void click(std::uint8_t stream, std::uint16_t x, std::uint16_t y) {
        send(mouseEvent(stream, MouseAction::Move, x, y));
        send(mouseEvent(stream, MouseAction::ButtonDown, x, y, 0));
        send(mouseEvent(stream, MouseAction::ButtonUp, x, y, 0));
    }
    // A window the first stream captures.
    std::unique_ptr<RecordingWindow> streamedWindow(const char* title) {
        auto window = std::make_unique<RecordingWindow>(title, 120, 110, 400, 300);
        EXPECT_TRUE(app->onStreamRequest(window->id(), 1));
        return window;
    }

    test::TempFolder folder;
    std::uint16_t signalingPort = 0;
    std::uint16_t videoPort = 0;
    std::uint16_t inputPort = 0;
    test::LogCapture log;
    std::unique_ptr<Application> app;
    std::thread mainLoop;
    std::atomic<bool> stopLoop{false};
    VideoClient input;  // speaks the same length-prefixed framing
    VideoClient video;
    ServerState server;
};

// Presses land within one pixel of the client's point, on both connections; the wheel turns
// both ways; input for a stream id that does not exist is dropped while no stream runs.
TEST_F(X11Input, ClicksAndWheelLandWhereTheClientPointed) {
    RecordingWindow target("quillane input target", 120, 110, 400, 300);
    const auto before = server.pointer();
    click(9, 40000, 40000);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(server.pointer(), before) << "no stream runs: nothing is injected";
    EXPECT_TRUE(target.events(ButtonPress).empty());

    ASSERT_TRUE(app->onStreamRequest(target.id(), 1));
    const std::pair<std::uint16_t, std::uint16_t> points[] = {{0, 0}, {6553, 58981}, {32768, 32768}, {65000, 700}};
    for (const auto& [x, y] : points) {
        target.clear();
        click(1, x, y);
        sendVideo(1, MouseAction::ButtonDown, x, y, 2);
        sendVideo(1, MouseAction::ButtonUp, x, y, 2);
        ASSERT_TRUE(target.waitForEvents(ButtonRelease, 2)) << x << "," << y;
        const auto presses = target.events(ButtonPress);
        ASSERT_EQ(presses.size(), 2u);
        // The two connections run on threads of their own: either press may come first.
        EXPECT_EQ(presses[0].button + presses[1].button, 3u);
        for (const auto& p : presses) {
            EXPECT_NEAR(p.x, expectedPixel(target.width, x), 1) << x;
            EXPECT_NEAR(p.y, expectedPixel(target.height, y), 1) << y;
        }
    }

    target.clear();
    send(mouseEvent(1, MouseAction::Wheel, 32768, 32768, 0, 120));
    send(mouseEvent(1, MouseAction::Wheel, 32768, 32768, 0, -240));
    ASSERT_TRUE(target.waitForEvents(ButtonPress, 3));
    const auto wheel = target.events(ButtonPress);
    ASSERT_EQ(wheel.size(), 3u);
    EXPECT_EQ(std::vector<unsigned>({wheel[0].button, wheel[1].button, wheel[2].button}),
              std::vector<unsigned>({4, 5, 5}));
    EXPECT_TRUE(server.nothingHeld());
}

// Every virtual key of the table types its keysym; modifiers the client asks for are held; text
// arrives exactly, characters without a key on the layout included.
TEST_F(X11Input, KeysAndTextArriveAsTheirKeysyms) {
    const auto target = streamedWindow("quillane key target");
    click(1, 32768, 32768);  // focuses it
    ASSERT_TRUE(target->waitForEvents(ButtonRelease, 1));

    for (const VkKeysym& entry : x11KeyTable()) {
        if (InputRouter::isMachineKey(entry.vk)) continue;  // never injected
        target->clear();
        const bool lock = entry.keysym == XK_Caps_Lock || entry.keysym == XK_Num_Lock || entry.keysym == XK_Scroll_Lock;
        for (int round = 0; round < (lock ? 2 : 1); ++round) {  // a lock key twice, to leave it off
            send(keyEvent(1, KeyAction::KeyDown, entry.vk));
            send(keyEvent(1, KeyAction::KeyUp, entry.vk));
        }
        ASSERT_TRUE(target->waitForEvents(KeyRelease, lock ? 2 : 1)) << std::hex << int(entry.vk);
        EXPECT_EQ(target->events(KeyPress)[0].keysym, entry.keysym) << "vk " << std::hex << int(entry.vk);
    }

    target->clear();
    send(keyEvent(1, KeyAction::KeyDown, 0x41, ModifierFlags::Shift));
    send(keyEvent(1, KeyAction::KeyUp, 0x41, ModifierFlags::Shift));
    send(keyEvent(1, KeyAction::KeyDown, 0x43, ModifierFlags::Ctrl));
    send(keyEvent(1, KeyAction::KeyUp, 0x43, 0));
    ASSERT_TRUE(target->waitForEvents(KeyRelease, 4));
    std::vector<std::pair<KeySym, unsigned>> letters;
    for (const auto& e : target->events(KeyPress))
        if (e.keysym != XK_Shift_L && e.keysym != XK_Control_L)
            letters.emplace_back(e.keysym, e.state & (ShiftMask | ControlMask));
    EXPECT_EQ(letters, (std::vector<std::pair<KeySym, unsigned>>{{XK_A, ShiftMask}, {XK_c, ControlMask}}));

    target->clear();
    const std::u16string text = u"Hi, World! äöüß €日本✓😀";
    for (const char16_t unit : text) send(keyEvent(1, KeyAction::Char, 0, 0, static_cast<std::uint16_t>(unit)));
    EXPECT_TRUE(eventually([&] { return target->text() == "Hi, World! äöüß €日本✓😀"; }, 10s)) << target->text();
    EXPECT_TRUE(eventually([&] { return server.nothingHeld(); }, 2s));
}

// A press or wheel for a covered window, on either connection, raises it first and reaches it,
// or reaches nothing: the window on top never gets it.
TEST_F(X11Input, CoveredWindowsAreRaisedOrSpared) {
    const auto target = streamedWindow("quillane covered target");
    for (const bool videoRoad : {false, true}) {
        RecordingWindow cover("quillane cover", 60, 60, 600, 450);
        ASSERT_TRUE(server.activate(cover.id()));
        if (videoRoad) {
            sendVideo(1, MouseAction::ButtonDown, 32768, 32768, 0);
            sendVideo(1, MouseAction::ButtonUp, 32768, 32768, 0);
        } else {
            click(1, 32768, 32768);
        }
        send(mouseEvent(1, MouseAction::Wheel, 32768, 32768, 0, 120));
        target->waitForEvents(ButtonRelease, 2);
        std::this_thread::sleep_for(200ms);
        EXPECT_TRUE(cover.events(ButtonPress).empty()) << videoRoad;
        EXPECT_TRUE(cover.events(ButtonRelease).empty()) << videoRoad;
        EXPECT_EQ(target->events(ButtonPress).size(), target->events(ButtonRelease).size()) << "whole clicks";
        target->clear();
    }
    EXPECT_TRUE(server.nothingHeld());
}

// With another window in front, key and text records for the stream never reach that window: the
// streamed window gets them after the focus steps, or nothing arrives.
TEST_F(X11Input, KeysAndTextNeverReachAnotherWindow) {
    const auto target = streamedWindow("quillane typing target");
    RecordingWindow other("quillane focused bystander", 700, 110, 300, 200);
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(server.activate(other.id()));
        send(keyEvent(1, KeyAction::KeyDown, 0x41));
        send(keyEvent(1, KeyAction::KeyUp, 0x41));
        sendVideo(1, static_cast<MouseAction>(KeyAction::KeyDown), 0, 0, 0x42, 0, 2);
        sendVideo(1, static_cast<MouseAction>(KeyAction::KeyUp), 0, 0, 0x42, 0, 2);
        send(keyEvent(1, KeyAction::Char, 0, 0, u'z'));
        target->waitForEvents(KeyRelease, 3);
        std::this_thread::sleep_for(200ms);
        EXPECT_TRUE(other.events(KeyPress).empty()) << round;
        EXPECT_TRUE(other.events(KeyRelease).empty()) << round;
        std::string typed = target->text();
        std::sort(typed.begin(), typed.end());  // the two connections interleave
        EXPECT_TRUE(typed.empty() || typed == "abz") << typed;
        target->clear();
    }
    EXPECT_TRUE(eventually([&] { return server.nothingHeld(); }, 2s));
}

// The sleep, browser and launcher keys never reach the X server: the focused streamed window,
// which gets every event of the keyboard, records none of them, and the key sent after them.
TEST_F(X11Input, MachineKeysNeverReachTheServer) {
    const auto target = streamedWindow("quillane machine keys");
    ASSERT_TRUE(server.activate(target->id()));
    std::vector<std::uint8_t> machineKeys{0x5F};  // sleep
    for (int vk = 0xA6; vk <= 0xAC; ++vk) machineKeys.push_back(static_cast<std::uint8_t>(vk));  // browser
    for (int vk = 0xB4; vk <= 0xB7; ++vk) machineKeys.push_back(static_cast<std::uint8_t>(vk));  // launchers
    for (const std::uint8_t vk : machineKeys) {
        send(keyEvent(1, KeyAction::KeyDown, vk));
        sendVideo(1, static_cast<MouseAction>(KeyAction::KeyDown), 0, 0, vk, 0, 2);
        send(keyEvent(1, KeyAction::KeyUp, vk));
    }
    send(keyEvent(1, KeyAction::KeyDown, 0x43));
    send(keyEvent(1, KeyAction::KeyUp, 0x43));
    ASSERT_TRUE(target->waitForEvents(KeyRelease, 1));
    std::this_thread::sleep_for(100ms);
    const auto presses = target->events(KeyPress);
    ASSERT_EQ(presses.size(), 1u);
    EXPECT_EQ(presses[0].keysym, static_cast<KeySym>(XK_c));
}

// After the streamed window closed while a second stream runs, pointer input for its stream and
// for a stream that never ran goes nowhere on either connection: the window now at the point, the
// other stream's window and the pointer itself see nothing.
TEST_F(X11Input, InputForAClosedWindowGoesNowhere) {
    auto closing = streamedWindow("quillane closing target");
    RecordingWindow second("quillane second stream", 700, 400, 300, 200);
    ASSERT_TRUE(app->onStreamRequest(second.id(), 2));
    closing.reset();
    RecordingWindow bystander("quillane bystander", 100, 90, 460, 360);
    ASSERT_TRUE(server.activate(bystander.id()));
    const auto before = server.pointer();
    for (const std::uint8_t stream : {1, 77}) {
        click(stream, 32768, 32768);
        send(mouseEvent(stream, MouseAction::Wheel, 32768, 32768, 0, -120));
        sendVideo(stream, MouseAction::Move, 20000, 20000);
        sendVideo(stream, MouseAction::ButtonDown, 20000, 20000, 0);
        sendVideo(stream, MouseAction::ButtonUp, 20000, 20000, 0);
    }
    ASSERT_TRUE(log.waitFor("Input received for unknown stream"));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(server.pointer(), before);
    for (RecordingWindow* window : {&bystander, &second}) {
        EXPECT_TRUE(window->events(ButtonPress).empty());
        EXPECT_TRUE(window->events(ButtonRelease).empty());
    }
    click(2, 32768, 32768);  // the running stream still takes its input
    EXPECT_TRUE(second.waitForEvents(ButtonRelease, 1));
}

// A client that goes away mid-press leaves nothing held, on either connection.
TEST_F(X11Input, DisconnectMidPressReleasesEverything) {
    const auto target = streamedWindow("quillane release target");
    send(mouseEvent(1, MouseAction::Move, 30000, 30000));
    send(mouseEvent(1, MouseAction::ButtonDown, 30000, 30000, 0));
    send(keyEvent(1, KeyAction::KeyDown, 0x41, ModifierFlags::Shift | ModifierFlags::Ctrl));
    ASSERT_TRUE(eventually([&] { return server.keysDown() == 3 && server.buttonsDown() != 0; }, 5s));
    input.reset();
    EXPECT_TRUE(eventually([&] { return server.nothingHeld(); }, 5s));

    sendVideo(1, MouseAction::ButtonDown, 30000, 30000, 1);
    sendVideo(1, static_cast<MouseAction>(KeyAction::KeyDown), 0, 0, 0x42, ModifierFlags::Alt, 2);  // Alt+B down
    ASSERT_TRUE(eventually([&] { return server.keysDown() == 2 && server.buttonsDown() != 0; }, 5s));
    video.reset();
    EXPECT_TRUE(eventually([&] { return server.nothingHeld(); }, 5s));
}

// When the signalling session that started the stream ends, the stream stops and nothing it was
// given stays held; its input then goes nowhere.
TEST_F(X11Input, TheSessionsEndReleasesWhatItsStreamHeld) {
    RecordingWindow target("quillane session target", 120, 110, 400, 300);
    test::SignalingClient session;
    ASSERT_TRUE(session.connect(signalingPort));
    ASSERT_TRUE(session.sendText(R"({"type":"hello"})"));
    ASSERT_TRUE(session.waitForType("welcome"));
    const auto started = session.request({{"type", "stream_subscribe"}, {"windowId", target.id()}}, "stream_started", 10s);
    ASSERT_TRUE(started);
    const auto stream = (*started)["streamId"].get<std::uint8_t>();
    send(mouseEvent(stream, MouseAction::Move, 30000, 30000));
    send(mouseEvent(stream, MouseAction::ButtonDown, 30000, 30000, 0));
    send(keyEvent(stream, KeyAction::KeyDown, 0x41, ModifierFlags::Shift));
    ASSERT_TRUE(eventually([&] { return server.keysDown() == 2 && server.buttonsDown() != 0; }, 5s));
    session.reset();
    EXPECT_TRUE(eventually([&] { return server.nothingHeld(); }, 5s));
    EXPECT_TRUE(eventually([&] { return !app->isStreamRunning(stream); }, 5s));
    target.clear();
    click(stream, 30000, 30000);
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(target.events(ButtonPress).empty());
}

// A private network namespace joined to this one by a veth pair; taking the pair's link down
// drops every packet in between, so a client there vanishes without a FIN or a reset.
class VanishingNetwork {
public:
    VanishingNetwork() : suffix(std::to_string(getpid())) {
        ok = run("ip netns add " + ns()) && run("ip link add " + hostLink() + " type veth peer name " + peerLink()) &&
             run("ip link set " + peerLink() + " netns " + ns()) &&
             run("ip addr add 10.213.77.1/30 dev " + hostLink()) && run("ip link set " + hostLink() + " up") &&
             run("ip netns exec " + ns() + " ip addr add 10.213.77.2/30 dev " + peerLink()) &&
             run("ip netns exec " + ns() + " ip link set " + peerLink() + " up");
    }
    ~VanishingNetwork() {
        run("ip link del " + hostLink() + " 2>/dev/null");
        run("ip netns del " + ns() + " 2>/dev/null");
    }
    bool ready() const { return ok; }
    static constexpr const char* kHostAddress = "10.213.77.1";

    // Connects the client from inside the namespace, where its socket then stays.
    bool connect(VideoClient& client, std::uint16_t port) {
        bool connected = false;
        std::thread inside([&] {
            const int fd = open(("/var/run/netns/" + ns()).c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) return;
            if (setns(fd, CLONE_NEWNET) == 0) connected = client.connect(kHostAddress, port, 5s);
            close(fd);
        });
        inside.join();
        return connected;
    }
    bool cut() { return run("ip link set " + hostLink() + " down"); }

private:
    static bool run(const std::string& command) { return std::system(command.c_str()) == 0; }
    std::string ns() const { return "qhvanish" + suffix; }
    std::string hostLink() const { return "qhv0-" + suffix; }
    std::string peerLink() const { return "qhv1-" + suffix; }

    std::string suffix;
    bool ok = false;
};

// A client that drops off the network mid-press, sending no FIN on either connection, leaves
// nothing held within 15 s: keep-alive notices it and everything the injector holds is released.
TEST_F(X11Input, AClientGoneSilentMidPressLeavesNothingHeld) {
    if (geteuid() != 0) GTEST_SKIP() << "a private network namespace needs root";
    VanishingNetwork network;
    ASSERT_TRUE(network.ready()) << "could not set up the network namespace";
    const auto target = streamedWindow("quillane vanishing client");
    ASSERT_TRUE(server.activate(target->id()));
    // The first clients' ends release everything: let them be handled before anything is held.
    input.close();
    video.close();
    ASSERT_TRUE(log.waitFor("TCP input client disconnected"));
    ASSERT_TRUE(log.waitFor("TCP client disconnected"));
    std::this_thread::sleep_for(200ms);
    VideoClient silentInput;
    VideoClient silentVideo;
    ASSERT_TRUE(network.connect(silentInput, inputPort));
    ASSERT_TRUE(network.connect(silentVideo, videoPort));
    ASSERT_TRUE(log.waitFor("TCP input client connected from 10.213.77.2"));

    const auto sendSilent = [&](const InputEvent& event) {
        std::uint8_t body[sizeof(InputEvent)];
        std::memcpy(body, &event, sizeof(body));
        ASSERT_TRUE(silentInput.sendMessage(body));
    };
    sendSilent(mouseEvent(1, MouseAction::Move, 30000, 30000));
    sendSilent(mouseEvent(1, MouseAction::ButtonDown, 30000, 30000, 0));
    sendSilent(keyEvent(1, KeyAction::KeyDown, 0x41, ModifierFlags::Shift));
    // With Shift too: either connection's key may come first.
    ASSERT_TRUE(silentVideo.sendInput(
        {1, 2, static_cast<std::uint8_t>(KeyAction::KeyDown), 0, 0, 0x42, ModifierFlags::Shift}));
    ASSERT_TRUE(eventually([&] { return server.keysDown() == 3 && server.buttonsDown() != 0; }, 5s))
        << server.keysDown() << " keys and buttons " << server.buttonsDown() << " held";

    ASSERT_TRUE(network.cut());
    const auto cutAt = std::chrono::steady_clock::now();
    EXPECT_TRUE(eventually([&] { return server.nothingHeld(); }, 15s)) << "still held after 15 s";
    SCOPED_TRACE(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - cutAt).count());
    EXPECT_TRUE(log.waitFor("TCP input client disconnected", 5s));
}

// Records that make no sense change nothing and hold nothing; a flood of moves neither stalls the
// host (signalling still answers) nor leaves a backlog behind.
TEST_F(X11Input, HostileInputIsHarmless) {
    const auto target = streamedWindow("quillane hostile target");
    InputEvent unknownDevice = mouseEvent(1, MouseAction::ButtonDown, 1, 1);
    unknownDevice.deviceType = 7;
    for (const InputEvent& e : {mouseEvent(1, static_cast<MouseAction>(9), 1, 1), unknownDevice,
                                mouseEvent(1, MouseAction::ButtonDown, 65535, 65535, 7),
                                mouseEvent(1, MouseAction::ButtonUp, 65535, 65535, 200),
                                keyEvent(1, KeyAction::KeyDown, 0xFF, 0xF0), keyEvent(1, KeyAction::KeyDown, 0x00),
                                keyEvent(1, static_cast<KeyAction>(42), 0x41),
                                keyEvent(1, KeyAction::Char, 0, 0, 0xDC00),  // a lone low surrogate
                                mouseEvent(77, MouseAction::Wheel, 0, 0, 0, 32767)})
        send(e);
    sendVideo(77, MouseAction::Move, 100, 100);  // a stream that does not exist, another one runs
    ASSERT_TRUE(log.waitFor("Input received for unknown stream 77"));

    std::thread flood([&] {
        constexpr std::size_t kFrame = 4 + sizeof(InputEvent);
        std::vector<std::uint8_t> bytes(100000 * kFrame);
        for (int i = 0; i < 100000; ++i) {
            const std::uint32_t length = sizeof(InputEvent);
            const InputEvent move = mouseEvent(1, MouseAction::Move, static_cast<std::uint16_t>(i % 65536),
                                               static_cast<std::uint16_t>((i * 7) % 65536));
            std::memcpy(&bytes[i * kFrame], &length, 4);
            std::memcpy(&bytes[i * kFrame + 4], &move, sizeof(move));
        }
        input.sendRaw(bytes);
    });
    EXPECT_TRUE(test::signalingAlive(signalingPort)) << "signalling answers during the flood";
    flood.join();

    click(1, 32768, 32768);
    const auto leftPress = [&] {
        for (const auto& e : target->events(ButtonPress))
            if (e.button == 1) return std::optional<Recorded>(e);
        return std::optional<Recorded>();
    };
    ASSERT_TRUE(eventually([&] { return leftPress().has_value(); }, 60s)) << "the click after the flood arrives";
    EXPECT_NEAR(leftPress()->x, expectedPixel(target->width, 32768), 1);
    EXPECT_TRUE(eventually([&] { return server.nothingHeld(); }, 2s));
    EXPECT_TRUE(app->isStreamRunning(1));
}

}  // namespace
}  // namespace quillane::host::test
