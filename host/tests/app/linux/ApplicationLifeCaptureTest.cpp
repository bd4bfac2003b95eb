// Application's life with real window capture: X windows of test processes,
// captured and streamed by the real components in this process.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "../ApplicationLifeFixture.h"
#include "E2eHost.h"
#include "Eventually.h"
#include "FakeInputPlatform.h"
#include "SignalingTestClient.h"
#include "VideoClient.h"

// After everything else: Xlib's macros clash with other headers' names.
#include <X11/Xlib.h>

using namespace std::chrono_literals;
namespace quillane::host::test {

using quillane::host::test::ApplicationLife;
using quillane::host::test::LogCapture;
using quillane::host::test::MainLoopTurns;
using quillane::host::test::problems;
using quillane::host::test::SignalingClient;
using nlohmann::json;

namespace {

// The priority boost follows the streams that run, on either path, including
// a stream whose window closed.
TEST_F(ApplicationLife, PriorityBoostFollowsTheRunningStreams) {
    writeFreePorts();
    TestWindowProcess first("App life one", 320, 240);
    TestWindowProcess second("App life two", 320, 240);
    ASSERT_TRUE(first.ok());
    ASSERT_TRUE(second.ok());
    const auto firstId = static_cast<std::uint32_t>(first.windowId());
    const auto secondId = static_cast<std::uint32_t>(second.windowId());
    const auto desktop = desktopWithInFront(firstId);
    auto app = makeApp(desktop);
    ASSERT_TRUE(app->initialize()) << problems(log);
    MainLoopTurns loop(*app);

    checkPriorityBoostFollowsStreams(*app, loop, *desktop, firstId, secondId, [&] { return second.command("close"); });
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
    TestWindowProcess window("App life host path", 320, 240);
    ASSERT_TRUE(window.ok());
    const auto id = static_cast<std::uint32_t>(window.windowId());
    auto desktop = std::make_shared<quillane::host::test::FakeInputPlatform>();
    desktop->existing = id;
    auto app = makeApp(desktop);
    checkNothingAnswersBeforeStartUp(*app, id);

    ASSERT_TRUE(app->initialize()) << problems(log);
    MainLoopTurns loop(*app);
    SignalingClient client;
    ASSERT_TRUE(client.connect(ports.signaling));
    checkHelloShowsTheClient(*app, client);
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

    checkClientResizes(*app, *desktop, id, static_cast<std::uint32_t>(rootWindowId()));
}

// Captures together hold at most twice the largest picture: a client's resize
// that would take them beyond is answered as a failed resize, with one warning,
// and never reaches the desktop; the host goes on answering.
TEST_F(ApplicationLife, ResizesBeyondThePixelsAllCapturesMayHoldAreRefused) {
    writeFreePorts();
    TestWindowProcess window("App life pixel budget", 320, 240);
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

// A window with eight streams, resized in a burst and then once a second: the
// lines of its size changes and of its streams' new encoders (x264's own
// included) share one budget, so each run adds a few dozen lines at most.
TEST_F(ApplicationLife, ResizesOfAWindowWithEightStreamsAddAFewDozenLines) {
    writeFreePorts();
    TestWindowProcess window("App life resized", 320, 240);
    ASSERT_TRUE(window.ok());
    const auto id = static_cast<std::uint32_t>(window.windowId());
    auto app = makeApp();
    ASSERT_TRUE(app->initialize()) << problems(log);
    MainLoopTurns loop(*app);
    SignalingClient client;
    ASSERT_TRUE(client.connect(ports.signaling));
    for (int i = 0; i < 8; ++i) {
        ASSERT_TRUE(client.request(json{{"type", "stream_subscribe"}, {"windowId", id}}, "stream_started", 10s)) << i;
    }
    // Every stream has announced its first size, so what follows is the resizes' own.
    ASSERT_TRUE(eventually([&] { return log.count("Sending stream_config: streamId=") == 8; }, 10s));
    std::this_thread::sleep_for(500ms);
    // Two sizes of different padded sizes, so each change re-creates the encoders.
    const auto resize = [&](int i) {
        return json{{"type", "window_resize"}, {"windowId", id}, {"width", i % 2 == 0 ? 400 : 480},
                    {"height", i % 2 == 0 ? 300 : 360}};
    };
    const auto accepted = [&] {
        const auto answer = client.waitForType("window_resized", 10s);
        return answer && (*answer)["success"] == true;
    };

    std::size_t before = log.size();
    for (int i = 0; i < 300; ++i) ASSERT_TRUE(client.sendJson(resize(i)));
    for (int i = 0; i < 300; ++i) ASSERT_TRUE(accepted()) << i;
    std::this_thread::sleep_for(1s);  // the last size reaches every encoder
    const std::size_t burst = log.size() - before;
    EXPECT_LE(burst, 30u) << log.textSince(before);
    EXPECT_TRUE(log.contains("recreating encoder"));
    RecordProperty("burstLines", static_cast<int>(burst));

    before = log.size();
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(client.sendJson(resize(i)));
        ASSERT_TRUE(accepted()) << i;
        std::this_thread::sleep_for(1s);
    }
    const std::size_t steady = log.size() - before;
    const std::string steadyLines = log.textSince(before);
    EXPECT_LE(steady, 30u) << steadyLines;
    // The lines held back meanwhile are counted in the ones written.
    EXPECT_NE(steadyLines.find("more not logged)"), std::string::npos) << steadyLines;
    RecordProperty("oncePerSecondLines", static_cast<int>(steady));
    loop.stop();
    app->shutdown();
}

}  // namespace

}  // namespace quillane::host::test
