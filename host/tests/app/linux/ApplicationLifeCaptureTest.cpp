// Application's life with real window capture: X windows of test processes,
// captured and streamed by the real components in this process.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "../ApplicationLifeFixture.h"
#include "E2eHost.h"
#include "Eventually.h"
#include "FakeInputPlatform.h"
#include "SignalingTestClient.h"
#include "VideoClient.h"
#include "common/RateLimiter.h"

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
// lines of its size changes and of its streams' new encoders share the window's
// budget (x264's informational lines a small one of their own), so each run adds
// a few dozen lines at most.
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
    for (int i = 0; i < 8; ++i) ASSERT_TRUE(client.sendJson(json{{"type", "stream_subscribe"}, {"windowId", id}}));
    // Every stream has started and announced its first size, so what follows is the resizes' own.
    int started = 0, announced = 0;
    while (started < 8 || announced < 8) {
        const auto message = client.receiveJson(10s);
        ASSERT_TRUE(message) << started << " started, " << announced << " announced";
        ASSERT_NE((*message)["type"], "error") << message->dump();
        started += (*message)["type"] == "stream_started" ? 1 : 0;
        announced += (*message)["type"] == "stream_config" ? 1 : 0;
    }
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

// One resize of a window with one stream logs its outcome whole: the new size, the new
// encoder with the host's warning, and the new "stream_config"; the old encoder's statistics
// from the encoder library do not crowd them out.
TEST_F(ApplicationLife, OneResizeOfAOneStreamWindowLogsItsWholeOutcome) {
    writeFreePorts();
    TestWindowProcess window("App life one resize", 640, 480);
    ASSERT_TRUE(window.ok());
    const auto id = static_cast<std::uint32_t>(window.windowId());
    auto app = makeApp();
    ASSERT_TRUE(app->initialize()) << problems(log);
    MainLoopTurns loop(*app);
    SignalingClient client;
    ASSERT_TRUE(client.connect(ports.signaling));
    const auto started = client.request(json{{"type", "stream_subscribe"}, {"windowId", id}}, "stream_started", 10s);
    ASSERT_TRUE(started);
    const int stream = (*started)["streamId"].get<int>();
    ASSERT_TRUE(client.waitForType("stream_config", 10s));
    std::this_thread::sleep_for(500ms);  // the encoder has statistics to write

    const std::size_t before = log.size();
    const auto resized = client.request(
        json{{"type", "window_resize"}, {"windowId", id}, {"width", 800}, {"height", 600}}, "window_resized", 10s);
    ASSERT_TRUE(resized && (*resized)["success"] == true);
    const auto config = client.waitForType("stream_config", 10s);
    ASSERT_TRUE(config);
    EXPECT_EQ((*config)["width"], 800);
    const std::string lines = log.textSince(before);
    for (const std::string& line :
         {fmt::format("Resolution changed from 640x480 to 800x600 on stream {}", stream),
          std::string("Creating new encoder for 800x608 (padded from 800x600)"),
          std::string("No hardware encoders available"), std::string("Created Software encoder"),
          fmt::format("Encoder recreated successfully for 800x608 on stream {}", stream),
          fmt::format("Resolution changed for stream {}: 800x600", stream),
          fmt::format("Sending stream_config for stream {}: 800x600", stream),
          fmt::format("Sending stream_config: streamId={}, 800x600", stream)}) {
        EXPECT_NE(lines.find(line), std::string::npos) << line << " in\n" << lines;
    }
    RecordProperty("resizeLines", static_cast<int>(log.size() - before));
    loop.stop();
    app->shutdown();
}

// A client that starts and stops a stream in a loop: its starts and stops, with their captures'
// and encoders' lines (the encoder library's included) and their "stream_config", count against
// its address, so 100 rounds add a few dozen lines, and another client's first start still logs
// whole.
TEST_F(ApplicationLife, StartsAndStopsInALoopAddAFewDozenLinesAndAnotherClientsFirstStartShows) {
    writeFreePorts();
    TestWindowProcess window("App life start stop", 320, 240);
    ASSERT_TRUE(window.ok());
    const auto id = static_cast<std::uint32_t>(window.windowId());
    auto app = makeApp();
    ASSERT_TRUE(app->initialize()) << problems(log);
    MainLoopTurns loop(*app);
    // Each round waits for the stream's configuration, as a client that shows the stream does.
    const auto round = [&](SignalingClient& client) {
        const auto started = client.request(json{{"type", "stream_subscribe"}, {"windowId", id}}, "stream_started", 10s);
        return started && client.waitForType("stream_config", 10s) &&
               client.request(json{{"type", "stream_unsubscribe"}, {"streamId", (*started)["streamId"]}},
                              "stream_stopped", 10s);
    };

    // The line limiters' time stands still: what the rounds add does not depend on this machine's speed.
    const LineClockHold still;
    SignalingClient client;
    ASSERT_TRUE(client.connect(ports.signaling));
    const std::size_t before = log.size();
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(round(client)) << i;
    const std::size_t added = log.size() - before;
    EXPECT_LE(added, 60u) << log.textSince(before);
    RecordProperty("startStopLines", static_cast<int>(added));

    const std::size_t rounds = log.size();
    SignalingClient other("127.0.0.2");
    ASSERT_TRUE(other.connect(ports.signaling));
    const auto started = other.request(json{{"type", "stream_subscribe"}, {"windowId", id}}, "stream_started", 10s);
    ASSERT_TRUE(started);
    const int stream = (*started)["streamId"].get<int>();
    ASSERT_TRUE(other.waitForType("stream_config", 10s));
    const std::string others = log.textSince(rounds);
    for (const std::string& line :
         {fmt::format("Stream subscribe request for window {:x}", id),
          fmt::format("Stream request: windowId={:x}, streamId={}", id, stream),
          fmt::format("WindowCapture initialized for window {:x}", id), std::string("Creating encoder for 320x240"),
          std::string("No hardware encoders available"), std::string("x264: profile"),
          std::string("Software encoder initialized"), std::string("Created Software encoder"),
          fmt::format("Started capture for window {:x} on stream {}", id, stream),
          fmt::format("Capture started for window {:x} on stream {}", id, stream),
          fmt::format("Sending stream_config for stream {}: 320x240", stream),
          fmt::format("Sending stream_config: streamId={}, 320x240", stream)}) {
        EXPECT_NE(others.find(line), std::string::npos) << line << " in\n" << others;
    }
    loop.stop();
    app->shutdown();
}

}  // namespace

}  // namespace quillane::host::test
