// Application's life with its real components in this process and real windows.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "E2eHost.h"
#include "Eventually.h"
#include "FakeInputPlatform.h"
#include "LogCapture.h"
#include "SignalingTestClient.h"
#include "VideoClient.h"
#include "app/Application.h"
#include "platform/ProcessPriority.h"
#include "support/TestSupport.h"

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

// A listening (TCP) or bound (UDP) socket on the port; -1 when it cannot be had.
// With `reuse`, bound as the servers bind theirs.
int bindPort(int type, std::uint16_t port, bool reuse) {
    const int fd = socket(AF_INET, type, 0);
    int one = 1;
    if (reuse) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && (type != SOCK_STREAM || listen(fd, 4) == 0))
        return fd;
    close(fd);
    return -1;
}

bool tcpPortFree(std::uint16_t port) {
    const int fd = bindPort(SOCK_STREAM, port, true);
    if (fd >= 0) close(fd);
    return fd >= 0;
}

// The warnings and errors logged so far, to say why a start failed.
std::string problems(const LogCapture& log) {
    std::string out;
    for (const auto& e : log.entries())
        if (e.level >= spdlog::level::warn) out += e.text + "\n";
    return out;
}

// Holds a port so that nobody else can bind it.
struct PortHolder {
    PortHolder(int type, std::uint16_t port) : fd(bindPort(type, port, false)) {}
    ~PortHolder() { if (fd >= 0) close(fd); }
    bool ok() const { return fd >= 0; }
    int fd;
};

// Records boosts (true) and restores (false), from whichever thread, instead
// of changing the test's priority.
class RecordingPriority : public ProcessPriority {
public:
    struct Log {
        std::mutex mutex;
        std::vector<bool> calls;
        std::vector<bool> get() {
            std::lock_guard lock(mutex);
            return calls;
        }
    };
    explicit RecordingPriority(std::shared_ptr<Log> log) : log(std::move(log)) {}
    bool boost() override { return add(true); }
    void restore() override { add(false); }

private:
    bool add(bool boost) {
        std::lock_guard lock(log->mutex);
        log->calls.push_back(boost);
        return true;
    }
    std::shared_ptr<Log> log;
};

// Turns Application::update as the main loop does, on a thread of its own.
class MainLoopTurns {
public:
    explicit MainLoopTurns(Application& app)
        : thread([this, &app] {
              for (; running; std::this_thread::sleep_for(10ms)) app.update();
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

    // A settings file with four different free ports.
    void writeFreePorts() {
        const auto free = quillane::host::test::writeFreePortSettings(fs::path(home) / "config" / "Quillane");
        ports = {free[0], free[1], free[2], free[3]};
    }

    std::unique_ptr<Application> makeApp(std::shared_ptr<quillane::host::InputPlatform> input = nullptr) {
        auto priority = std::make_unique<RecordingPriority>(priorityLog);
        return input ? std::make_unique<Application>(std::move(priority), std::move(input))
                     : std::make_unique<Application>(std::move(priority));
    }

    std::string home;
    qhtest::HostPorts ports;
    std::shared_ptr<RecordingPriority::Log> priorityLog = std::make_shared<RecordingPriority::Log>();
    LogCapture log;
};

TEST_F(ApplicationLife, StartsOnDefaultsWithoutASettingsFile) {
    for (std::uint16_t port : {9876, 9944, 9945, 9946})
        if (!tcpPortFree(port)) GTEST_SKIP() << "default port " << port << " is in use on this machine";
    auto app = makeApp();
    ASSERT_TRUE(app->initialize()) << problems(log);
    EXPECT_TRUE(log.contains("Failed to load settings, using defaults"));
    EXPECT_EQ(app->getSettings().values(), SettingsValues{});
    EXPECT_TRUE(log.contains("Signaling: ws://localhost:9876"));
    EXPECT_TRUE(log.contains("Video:     tcp://localhost:9944"));
    EXPECT_TRUE(quillane::host::test::signalingAlive(9876));
    app->shutdown();
}

// A taken video port fails the start and frees the signalling port again; a
// taken discovery port is only a warning; shutdown goes in order, once.
TEST_F(ApplicationLife, TakenPortsAndShutdownOrder) {
    writeFreePorts();
    {
        PortHolder taken(SOCK_STREAM, ports.video);
        ASSERT_TRUE(taken.ok());
        LogCapture failed;
        EXPECT_FALSE(makeApp()->initialize());
        EXPECT_TRUE(failed.contains("Failed to start TCP transport server"));
        EXPECT_FALSE(failed.contains("All subsystems initialized successfully"));
        EXPECT_TRUE(tcpPortFree(ports.signaling));
    }
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        auto discovery = run == 0 ? std::make_unique<PortHolder>(SOCK_DGRAM, kDiscoveryPort) : nullptr;
        LogCapture runLog;
        auto app = makeApp();
        ASSERT_TRUE(app->initialize()) << problems(log);
        EXPECT_TRUE(runLog.contains("All subsystems initialized successfully"));
        if (discovery && discovery->ok()) {
            EXPECT_TRUE(runLog.contains("Failed to start discovery responder - clients must connect manually"));
        }
        ASSERT_TRUE(quillane::host::test::signalingAlive(ports.signaling));
        app->shutdown();
        // The desktop's sound server is there, so audio runs, and stops first.
        std::vector<std::string> order = {"Shutting down application...", "Audio capture stopped",
                                          "TCP transport server stopped", "Signaling server stopped",
                                          "Shutting down CaptureOrchestrator"};
        if (runLog.contains("Discovery responder stopped")) order.push_back("Discovery responder stopped");
        order.push_back("Application shutdown complete");
        const auto entries = runLog.entries();
        auto at = entries.begin();
        for (const auto& line : order) {
            at = std::find_if(at, entries.end(), [&](const auto& e) { return e.text.find(line) != std::string::npos; });
            ASSERT_NE(at, entries.end()) << line;
        }
        // Everything is released: the ports are free and a second shutdown
        // (and the destructor) stop nothing more.
        EXPECT_TRUE(tcpPortFree(ports.signaling));
        EXPECT_TRUE(tcpPortFree(ports.video));
        EXPECT_FALSE(runLog.contains("TCP audio server stopped")) << "the audio server goes with the destructor";
        app->shutdown();
        app.reset();
        for (std::size_t i = 1; i < 5; ++i) EXPECT_EQ(runLog.count(order[i]), 1u) << order[i];
        EXPECT_EQ(runLog.count("TCP audio server stopped"), 1u);
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
    ASSERT_TRUE(app->initialize()) << problems(log);
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
    EXPECT_TRUE(quillane::host::test::eventually([&] { return !app->isStreamRunning(idB); }, 10s));
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

unsigned long rootWindowId() {
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) return 0;
    const unsigned long root = DefaultRootWindow(display);
    XCloseDisplay(display);
    return root;
}

// Before start-up nothing answers. A capture started from the host window sends
// no "stream_config" until its first resolution change, then one with window
// id 0. A client's resize reaches the desktop only for a listed window, with a
// sane size, through the injector with the position kept.
TEST_F(ApplicationLife, HostWindowStreamAndClientResizeRequests) {
    writeFreePorts();
    qhtest::TestWindowProcess window("App life host path", 320, 240);
    ASSERT_TRUE(window.ok());
    const auto id = static_cast<std::uint32_t>(window.windowId());
    auto desktop = std::make_shared<quillane::host::test::FakeInputPlatform>();
    desktop->existing = id;
    auto app = makeApp(desktop);
    EXPECT_EQ(app->getEncoderName(), "None");
    EXPECT_TRUE(app->getWindowList().empty());
    EXPECT_FALSE(app->isClientConnected());
    EXPECT_FALSE(app->onWindowResizeRequest(id, 800, 600));
    app->stopCapture(3);
    EXPECT_FALSE(log.contains("Stopped capture for stream 3"));
    EXPECT_FALSE(app->startCapture(id, 1));
    EXPECT_TRUE(log.contains("Capture orchestrator not initialized"));

    ASSERT_TRUE(app->initialize()) << problems(log);
    MainLoopTurns loop(*app);
    SignalingClient client;
    ASSERT_TRUE(client.connect(ports.signaling));
    ASSERT_TRUE(client.request(json{{"type", "hello"}}, "welcome"));
    // What the host window shows of the connection: the client's real address,
    // no latency before its first feedback, the configured bitrate.
    EXPECT_TRUE(app->isClientConnected());
    EXPECT_EQ(app->getClientAddress(), "127.0.0.1");
    EXPECT_EQ(app->getLastRttMs(), -1);
    EXPECT_EQ(app->getCurrentBitrateKbps(), app->getSettings().values().targetBitrate);
    // Frames count as sent once a video client takes them.
    quillane::host::test::VideoClient video;
    ASSERT_TRUE(video.connect(ports.video));
    const std::uint64_t framesBefore = app->getFramesSent();
    ASSERT_TRUE(app->startCapture(id, 60));
    EXPECT_FALSE(client.waitForType("stream_config", 1500ms));
    ASSERT_TRUE(window.command("resize 400 300"));
    auto config = client.waitForType("stream_config", 10s);
    ASSERT_TRUE(config);
    EXPECT_GT(app->getFramesSent(), framesBefore);
    EXPECT_EQ((*config)["windowId"], 0);
    EXPECT_EQ((*config)["streamId"], 60);
    EXPECT_EQ((*config)["width"], 400);
    EXPECT_EQ((*config)["height"], 300);
    EXPECT_EQ((*config)["codec"], "video/avc");
    EXPECT_FALSE((*config)["sps"].get<std::string>().empty());
    EXPECT_FALSE(client.waitForType("stream_config", 1s));  // one per change
    app->stopCapture(60);
    loop.stop();

    ASSERT_TRUE(app->onWindowResizeRequest(id, 800, 600));
    EXPECT_TRUE(log.contains(fmt::format("Client-initiated window resize: window={:x}, size=800x600", id)));
    EXPECT_TRUE(log.contains(fmt::format("Window {:x} resized successfully to 800x600", id)));
    ASSERT_EQ(desktop->positions.size(), 1u);
    EXPECT_EQ(desktop->positions[0].window, id);
    EXPECT_TRUE(desktop->positions[0].keepPosition);

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
    // Sizes no window can take, and sizes H.264 cannot carry.
    for (auto [w, h] : {std::pair{0u, 600u}, {800u, 0u}, {16385u, 600u}, {800u, 0xFFFFFFFFu}, {8193u, 100u},
                        {16384u, 16384u}, {8192u, 4353u}}) {
        EXPECT_FALSE(app->onWindowResizeRequest(id, w, h));
        EXPECT_TRUE(log.contains(fmt::format("Failed to resize window {:x} to {}x{}", id, w, h)));
    }
    EXPECT_EQ(desktop->positions.size(), 1u);
    ASSERT_TRUE(app->onWindowResizeRequest(id, 8192, 4352));
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

namespace {

// Captures together hold at most twice the largest picture: a client's resize
// that would take them beyond is answered as a failed resize, with one warning,
// and never reaches the desktop; the host goes on answering.
TEST_F(ApplicationLife, ResizesBeyondThePixelsAllCapturesMayHoldAreRefused) {
    writeFreePorts();
    qhtest::TestWindowProcess window("App life pixel budget", 320, 240);
    ASSERT_TRUE(window.ok());
    const auto id = static_cast<std::uint32_t>(window.windowId());
    auto desktop = std::make_shared<quillane::host::test::FakeInputPlatform>();
    desktop->existing = id;
    auto app = makeApp(desktop);
    ASSERT_TRUE(app->initialize()) << problems(log);
    MainLoopTurns loop(*app);
    SignalingClient client;
    ASSERT_TRUE(client.connect(ports.signaling));
    const auto resize = [&](std::uint32_t w, std::uint32_t h) {
        const auto answer = client.request(
            json{{"type", "window_resize"}, {"windowId", id}, {"width", w}, {"height", h}}, "window_resized", 10s);
        return answer && (*answer)["success"] == true;
    };
    const auto subscribe = [&] {
        return client.request(json{{"type", "stream_subscribe"}, {"windowId", id}}, "stream_started", 10s)
            .has_value();
    };

    // Two streams of the window: the largest picture twice is exactly what may be held.
    ASSERT_TRUE(subscribe());
    ASSERT_TRUE(subscribe());
    EXPECT_TRUE(resize(8192, 4352));
    EXPECT_EQ(desktop->positions.size(), 1u);

    // A third stream of the same window: the same size would be three times as much.
    ASSERT_TRUE(subscribe());
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(resize(8192, 4352)) << i;
    EXPECT_FALSE(resize(8192, 2912)) << "16 pixel rows too many for three";
    EXPECT_EQ(desktop->positions.size(), 1u) << "a refused resize leaves the window alone";
    EXPECT_EQ(log.count(fmt::format("Refusing resize of window {:x} to 8192x4352", id)), 1u)
        << "one warning, the repeats are counted into the next one";

    // Still answering: a size that fits all three is resized.
    EXPECT_TRUE(resize(8192, 2896));
    EXPECT_EQ(desktop->positions.size(), 2u);
    ASSERT_TRUE(client.request(json{{"type", "ping"}, {"timestamp", 7}}, "pong"));
    loop.stop();
    app->shutdown();
}

}  // namespace
