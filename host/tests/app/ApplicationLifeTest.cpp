// Application's life with its real components in this process: start-up with
// and without a settings file, ports already taken, shutdown order, and the
// priority boost following the running streams of a real window.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "E2eHost.h"
#include "FakeInputPlatform.h"
#include "LogCapture.h"
#include "SignalingTestClient.h"
#include "app/Application.h"
#include "platform/ProcessPriority.h"

// After everything else: Xlib's macros clash with other headers' names.
#include <X11/Xlib.h>

using namespace std::chrono_literals;
using quillane::host::Application;
using quillane::host::ProcessPriority;
using quillane::host::SettingsValues;
using quillane::host::test::LogCapture;
using quillane::host::test::SignalingClient;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

constexpr std::uint16_t kDiscoveryPort = 9877;

// A socket that holds a port (no address reuse, so nobody else can bind it).
class PortHolder {
public:
    PortHolder(int type, std::uint16_t port) {
        fd = socket(AF_INET, type, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_ANY);
        addr.sin_port = htons(port);
        bound = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        if (bound && type == SOCK_STREAM) bound = listen(fd, 4) == 0;
    }
    ~PortHolder() { close(fd); }
    bool ok() const { return bound; }

private:
    int fd = -1;
    bool bound = false;
};

bool tcpPortFree(std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);  // as the servers bind
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(port);
    const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && listen(fd, 1) == 0;
    close(fd);
    return ok;
}

// Boosts and restores as they happen, from whichever thread.
class PriorityLog {
public:
    void add(bool boost) {
        std::lock_guard lock(mutex);
        calls.push_back(boost);
    }
    std::vector<bool> get() const {
        std::lock_guard lock(mutex);
        return calls;
    }

private:
    mutable std::mutex mutex;
    std::vector<bool> calls;
};

// Records boosts and restores instead of changing the test's priority.
class RecordingPriority : public ProcessPriority {
public:
    explicit RecordingPriority(std::shared_ptr<PriorityLog> log) : log(std::move(log)) {}
    bool boost() override {
        log->add(true);
        return true;
    }
    void restore() override { log->add(false); }

private:
    std::shared_ptr<PriorityLog> log;
};

// Turns Application::update as the main loop does, on a thread of its own.
class MainLoopTurns {
public:
    explicit MainLoopTurns(Application& app)
        : thread([this, &app] {
              while (running) {
                  app.update();
                  std::this_thread::sleep_for(10ms);
              }
          }) {}
    ~MainLoopTurns() { stop(); }
    void stop() {
        running = false;
        if (thread.joinable()) thread.join();
    }

private:
    std::atomic<bool> running{true};
    std::thread thread;
};

class ApplicationLife : public ::testing::Test {
protected:
    void SetUp() override {
        home = qhtest::makeTempDir("qh-app-life-");
        setenv("HOME", home.c_str(), 1);
        setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
        setenv("XDG_STATE_HOME", (home + "/state").c_str(), 1);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(home, ec);
    }

    void writeSettings(std::uint16_t signaling, std::uint16_t video, std::uint16_t audio, std::uint16_t input) {
        ports = {signaling, video, audio, input};
        const fs::path dir = fs::path(home) / "config" / "Quillane";
        fs::create_directories(dir);
        std::ofstream(dir / "settings.json") << "{\"signalingPort\": " << signaling << ", \"videoPort\": " << video
                                             << ", \"audioPort\": " << audio << ", \"inputPort\": " << input << "}";
    }
    void writeFreePorts() {
        const auto s = qhtest::freeTcpPort();
        std::uint16_t v, a, i;
        do v = qhtest::freeTcpPort(); while (v == s);
        do a = qhtest::freeTcpPort(); while (a == s || a == v);
        do i = qhtest::freeTcpPort(); while (i == s || i == v || i == a);
        writeSettings(s, v, a, i);
    }

    std::unique_ptr<Application> makeApp() {
        return std::make_unique<Application>(std::make_unique<RecordingPriority>(priorityLog));
    }
    std::unique_ptr<Application> makeApp(std::shared_ptr<quillane::host::InputPlatform> input) {
        return std::make_unique<Application>(std::make_unique<RecordingPriority>(priorityLog), std::move(input));
    }

    std::string home;
    qhtest::HostPorts ports;
    std::shared_ptr<PriorityLog> priorityLog = std::make_shared<PriorityLog>();
    LogCapture log;
};

TEST_F(ApplicationLife, QueriesBeforeInitializeAnswerEmpty) {
    auto app = makeApp();
    EXPECT_EQ(app->getEncoderName(), "None");
    EXPECT_TRUE(app->getWindowList().empty());
    EXPECT_FALSE(app->isClientConnected());
    // A stop without an orchestrator does nothing, not even its log line.
    app->stopCapture(3);
    EXPECT_FALSE(log.contains("Stopped capture for stream 3"));
    EXPECT_FALSE(app->startCapture(1, 1));
    EXPECT_TRUE(log.contains("Capture orchestrator not initialized"));
}

TEST_F(ApplicationLife, StartsOnDefaultsWithoutASettingsFile) {
    for (std::uint16_t port : {9876, 9944, 9945, 9946})
        if (!tcpPortFree(port)) GTEST_SKIP() << "default port " << port << " is in use on this machine";
    auto app = makeApp();
    ASSERT_TRUE(app->initialize());
    EXPECT_TRUE(log.contains("Failed to load settings, using defaults"));
    EXPECT_EQ(app->getSettings().values(), SettingsValues{});
    EXPECT_TRUE(log.contains("Signaling: ws://localhost:9876"));
    EXPECT_TRUE(log.contains("Video:     tcp://localhost:9944"));
    EXPECT_TRUE(quillane::host::test::signalingAlive(9876));
    app->shutdown();
}

TEST_F(ApplicationLife, TakenVideoPortFailsAndFreesTheSignallingPort) {
    writeFreePorts();
    PortHolder taken(SOCK_STREAM, ports.video);
    ASSERT_TRUE(taken.ok());
    auto app = makeApp();
    EXPECT_FALSE(app->initialize());
    EXPECT_TRUE(log.contains("Failed to start TCP transport server"));
    EXPECT_FALSE(log.contains("All subsystems initialized successfully"));
    app.reset();
    EXPECT_TRUE(tcpPortFree(ports.signaling));
}

TEST_F(ApplicationLife, TakenDiscoveryPortIsOnlyAWarning) {
    PortHolder discovery(SOCK_DGRAM, kDiscoveryPort);
    if (!discovery.ok()) GTEST_SKIP() << "UDP port 9877 is in use on this machine";
    writeFreePorts();
    auto app = makeApp();
    ASSERT_TRUE(app->initialize());
    EXPECT_TRUE(log.contains("Failed to start discovery responder - clients must connect manually"));
    EXPECT_TRUE(log.contains("All subsystems initialized successfully"));
    EXPECT_TRUE(quillane::host::test::signalingAlive(ports.signaling));
    app->shutdown();
}

TEST_F(ApplicationLife, ShutsDownInOrderAndTwiceInARow) {
    writeFreePorts();
    for (int run = 0; run < 2; ++run) {
        LogCapture runLog;
        auto app = makeApp();
        ASSERT_TRUE(app->initialize()) << "run " << run;
        ASSERT_TRUE(quillane::host::test::signalingAlive(ports.signaling));
        app->shutdown();
        const auto entries = runLog.entries();
        auto indexOf = [&](std::string_view needle) {
            for (std::size_t i = 0; i < entries.size(); ++i)
                if (entries[i].text.find(needle) != std::string::npos) return static_cast<long>(i);
            return -1L;
        };
        const long begin = indexOf("Shutting down application...");
        const long video = indexOf("TCP transport server stopped");
        const long signaling = indexOf("Signaling server stopped");
        const long capture = indexOf("Shutting down CaptureOrchestrator");
        const long end = indexOf("Application shutdown complete");
        ASSERT_GE(begin, 0);
        EXPECT_LT(begin, video);
        EXPECT_LT(video, signaling);
        EXPECT_LT(signaling, capture);
        EXPECT_LT(capture, end);
        const long discovery = indexOf("Discovery responder stopped");
        if (discovery >= 0) {
            EXPECT_LT(capture, discovery);
            EXPECT_LT(discovery, end);
        }
        // Everything is released: the ports are free and a second shutdown
        // (and the destructor) stop nothing more.
        EXPECT_TRUE(tcpPortFree(ports.signaling));
        EXPECT_TRUE(tcpPortFree(ports.video));
        app->shutdown();
        app.reset();
        EXPECT_EQ(runLog.count("Signaling server stopped"), 1u);
        EXPECT_EQ(runLog.count("TCP transport server stopped"), 1u);
        EXPECT_EQ(runLog.count("Shutting down CaptureOrchestrator"), 1u);
    }
}

// The priority boost follows the streams that run, on either path, including
// a stream whose window closed.
TEST_F(ApplicationLife, PriorityBoostFollowsTheRunningStreams) {
    writeFreePorts();
    qhtest::TestWindowProcess first("App life one", 320, 240);
    qhtest::TestWindowProcess second("App life two", 320, 240);
    ASSERT_TRUE(first.ok());
    ASSERT_TRUE(second.ok());
    auto app = makeApp();
    ASSERT_TRUE(app->initialize());
    MainLoopTurns loop(*app);

    SignalingClient client;
    ASSERT_TRUE(client.connect(ports.signaling));
    auto a = client.request(json{{"type", "stream_subscribe"}, {"windowId", first.windowId()}}, "stream_started", 10s);
    auto b = client.request(json{{"type", "stream_subscribe"}, {"windowId", second.windowId()}}, "stream_started", 10s);
    ASSERT_TRUE(a);
    ASSERT_TRUE(b);
    const auto idA = (*a)["streamId"].get<std::uint8_t>();
    const auto idB = (*b)["streamId"].get<std::uint8_t>();
    EXPECT_NE(idA, idB);
    EXPECT_EQ(priorityLog->get(), std::vector<bool>{true});
    EXPECT_TRUE(app->isPriorityBoosted());

    // A stop of an id that is not running changes nothing.
    ASSERT_TRUE(client.request(json{{"type", "stream_unsubscribe"}, {"streamId", 200}}, "stream_stopped"));
    EXPECT_EQ(priorityLog->get(), std::vector<bool>{true});
    ASSERT_TRUE(client.request(json{{"type", "stream_unsubscribe"}, {"streamId", idA}}, "stream_stopped"));
    EXPECT_EQ(priorityLog->get(), std::vector<bool>{true});
    // The same id twice: the second stop changes nothing either.
    ASSERT_TRUE(client.request(json{{"type", "stream_unsubscribe"}, {"streamId", idA}}, "stream_stopped"));
    EXPECT_TRUE(app->isStreamRunning(idB));

    // The last running stream ends because its window closes: restored once.
    ASSERT_TRUE(second.command("close"));
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (app->isStreamRunning(idB) && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(app->isStreamRunning(idB));
    EXPECT_EQ(priorityLog->get(), (std::vector<bool>{true, false}));
    ASSERT_TRUE(client.request(json{{"type", "stream_unsubscribe"}, {"streamId", idB}}, "stream_stopped"));
    EXPECT_EQ(priorityLog->get(), (std::vector<bool>{true, false}));

    loop.stop();

    // The host-window path shares the set.
    ASSERT_TRUE(app->startCapture(static_cast<std::uint32_t>(first.windowId()), 50));
    EXPECT_EQ(priorityLog->get(), (std::vector<bool>{true, false, true}));
    app->stopCapture(50);
    EXPECT_EQ(priorityLog->get(), (std::vector<bool>{true, false, true, false}));
    // A window the enumerator does not list is refused.
    EXPECT_FALSE(app->startCapture(0x7fffffff, 51));
    EXPECT_EQ(priorityLog->get().size(), 4u);
    app->shutdown();
}

}  // namespace

namespace {

// A capture started from the host window sends no "stream_config" until its
// first resolution change, and then one with window id 0.
TEST_F(ApplicationLife, HostWindowStreamIsAnnouncedOnlyAfterAResolutionChange) {
    writeFreePorts();
    qhtest::TestWindowProcess window("App life host path", 320, 240);
    ASSERT_TRUE(window.ok());
    auto app = makeApp();
    ASSERT_TRUE(app->initialize());
    MainLoopTurns loop(*app);
    SignalingClient client;
    ASSERT_TRUE(client.connect(ports.signaling));
    ASSERT_TRUE(client.request(json{{"type", "hello"}}, "welcome"));

    ASSERT_TRUE(app->startCapture(static_cast<std::uint32_t>(window.windowId()), 60));
    EXPECT_FALSE(client.waitForType("stream_config", 1500ms));
    ASSERT_TRUE(window.command("resize 400 300"));
    auto config = client.waitForType("stream_config", 10s);
    ASSERT_TRUE(config);
    EXPECT_EQ((*config)["windowId"], 0);
    EXPECT_EQ((*config)["streamId"], 60);
    EXPECT_EQ((*config)["width"], 400);
    EXPECT_EQ((*config)["height"], 300);
    EXPECT_EQ((*config)["codec"], "video/avc");
    EXPECT_FALSE((*config)["sps"].get<std::string>().empty());
    // Only one per change.
    EXPECT_FALSE(client.waitForType("stream_config", 1s));

    app->stopCapture(60);
    loop.stop();
    app->shutdown();
}

}  // namespace

namespace {

unsigned long rootWindowId() {
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) return 0;
    const unsigned long root = DefaultRootWindow(display);
    XCloseDisplay(display);
    return root;
}

// A client's resize reaches the desktop only for a listed window, with a
// sane size, and through the injector with the position kept.
TEST_F(ApplicationLife, WindowResizeGoesThroughTheInjectorOnlyForListedWindows) {
    writeFreePorts();
    qhtest::TestWindowProcess window("App life resize", 320, 240);
    ASSERT_TRUE(window.ok());
    const auto id = static_cast<std::uint32_t>(window.windowId());
    auto desktop = std::make_shared<quillane::host::test::FakeInputPlatform>();
    desktop->existing = id;
    auto app = makeApp(desktop);
    // Before start-up there is no injector and no list.
    EXPECT_FALSE(app->onWindowResizeRequest(id, 800, 600));
    ASSERT_TRUE(app->initialize());

    ASSERT_TRUE(app->onWindowResizeRequest(id, 800, 600));
    EXPECT_TRUE(log.contains(fmt::format("Client-initiated window resize: window={:x}, size=800x600", id)));
    EXPECT_TRUE(log.contains(fmt::format("Window {:x} resized successfully to 800x600", id)));
    ASSERT_EQ(desktop->positions.size(), 1u);
    EXPECT_EQ(desktop->positions[0].window, id);
    EXPECT_TRUE(desktop->positions[0].keepPosition);
    EXPECT_EQ(desktop->positions[0].outer.width, 816);
    EXPECT_EQ(desktop->positions[0].outer.height, 639);

    // Not listed (the root window, an invented id): refused before the desktop is touched.
    for (std::uint32_t other : {0u, 0x7fffffffu, static_cast<std::uint32_t>(rootWindowId())}) {
        EXPECT_FALSE(app->onWindowResizeRequest(other, 800, 600));
        EXPECT_TRUE(log.contains(fmt::format("Invalid window ID for resize: {:x}", other))) << other;
    }
    // Listed but gone by the time the platform looks.
    desktop->existing = 0;
    LogCapture gone;
    EXPECT_FALSE(app->onWindowResizeRequest(id, 800, 600));
    EXPECT_TRUE(gone.contains(fmt::format("Invalid window ID for resize: {:x}", id)));
    desktop->existing = id;

    // Sizes no window can take.
    for (auto [w, h] : {std::pair{0u, 600u}, {800u, 0u}, {16385u, 600u}, {800u, 0xFFFFFFFFu}}) {
        EXPECT_FALSE(app->onWindowResizeRequest(id, w, h));
        EXPECT_TRUE(log.contains(fmt::format("Failed to resize window {:x} to {}x{}", id, w, h)));
    }
    ASSERT_TRUE(app->onWindowResizeRequest(id, 16384, 1));
    EXPECT_EQ(desktop->positions.size(), 2u);

    // The injector's failure is the request's failure.
    desktop->setPosError = 1400;
    EXPECT_FALSE(app->onWindowResizeRequest(id, 640, 480));
    EXPECT_TRUE(log.contains("SetWindowPos failed: 1400"));
    EXPECT_TRUE(log.contains(fmt::format("Failed to resize window {:x} to 640x480", id)));

    app->shutdown();
    desktop->setPosError = 0;
    EXPECT_FALSE(app->onWindowResizeRequest(id, 800, 600));
    EXPECT_EQ(desktop->positions.size(), 3u);
}

}  // namespace
