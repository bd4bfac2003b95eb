// Application's life with window capture on Windows: windows of the test's own,
// captured through WindowCapture on the tests' Windows.Graphics.Capture (Wine has
// none) and encoded by the Media Foundation encoder on a fake transform.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "../ApplicationLifeFixture.h"
#include "Eventually.h"
#include "FakeCaptureServices.h"
#include "FakeInputPlatform.h"
#include "SignalingTestClient.h"
#include "VideoClient.h"
#include "WindowsTestHelpers.h"
#include "windows/WindowThread.h"

using namespace std::chrono_literals;
namespace quillane::host::test {

using nlohmann::json;

namespace {

// A window of the test's, listed by the fake capture system under its title.
struct TestWindow {
    TestWindow(const char* title, int width, int height)
        : thread([wide = std::wstring(title, title + std::strlen(title)), width, height] {
              return createPopupWindow(wide.c_str(), width, height);
          }),
          info(listedWindow(thread.hwnd(), title, width, height)) {}
    bool ok() const { return thread.hwnd() != nullptr; }
    std::uint32_t windowId() const { return info.id; }

    WindowThread thread;
    protocol::WindowInfo info;
};

// The application with the recorded priority boost and capture on the fake system.
std::unique_ptr<Application> makeCapturingApp(const std::shared_ptr<RecordingPriority::Log>& priorityLog,
                                              FakeCaptureSystem& capture, std::vector<protocol::WindowInfo> windows,
                                              std::shared_ptr<InputPlatform> input = createInputPlatform()) {
    return std::make_unique<Application>(std::make_unique<RecordingPriority>(priorityLog), std::move(input),
                                         capture.services(std::move(windows)));
}

// The capture item the application made last for that window.
Microsoft::WRL::ComPtr<FakeCaptureItem> itemOf(FakeCaptureSystem& capture, std::uint32_t windowId) {
    Microsoft::WRL::ComPtr<FakeCaptureItem> found;
    for (const auto& item : capture.runtime->items())
        if (static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(item->hwnd())) == windowId) found = item;
    return found;
}

// The priority boost follows the streams that run, on either path, including
// a stream whose window closed.
TEST_F(ApplicationLife, PriorityBoostFollowsTheRunningStreams) {
    writeFreePorts();
    FakeCaptureSystem capture;
    TestWindow first("App life one", 320, 240);
    TestWindow second("App life two", 320, 240);
    ASSERT_TRUE(first.ok());
    ASSERT_TRUE(second.ok());
    const auto desktop = desktopWithInFront(first.windowId());
    auto app = makeCapturingApp(priorityLog, capture, {first.info, second.info}, desktop);
    ASSERT_TRUE(app->initialize()) << problems(log);
    MainLoopTurns loop(*app);

    checkPriorityBoostFollowsStreams(*app, loop, *desktop, first.windowId(), second.windowId(), [&] {
        // Its window's capture item closes.
        const auto item = itemOf(capture, second.windowId());
        if (item) item->closeWindow();
        return item != nullptr;
    });
}

// Before start-up nothing answers. A capture started from the host window sends
// no "stream_config" until its first resolution change, then one with window
// id 0. A client's resize reaches the desktop only for a listed window, with a
// sane size, through the injector with the position kept.
TEST_F(ApplicationLife, HostWindowStreamAndClientResizeRequests) {
    writeFreePorts();
    FakeCaptureSystem capture;
    TestWindow window("App life host path", 320, 240);
    ASSERT_TRUE(window.ok());
    const auto id = window.windowId();
    auto desktop = std::make_shared<FakeInputPlatform>();
    desktop->existing = id;
    auto app = makeCapturingApp(priorityLog, capture, {window.info}, desktop);
    checkNothingAnswersBeforeStartUp(*app, id);

    ASSERT_TRUE(app->initialize()) << problems(log);
    MainLoopTurns loop(*app);
    SignalingClient client;
    ASSERT_TRUE(client.connect(ports.signaling));
    checkHelloShowsTheClient(*app, client);
    // Frames count as sent once a video client takes them.
    VideoClient video;
    ASSERT_TRUE(video.connect(ports.video));
    ASSERT_TRUE(log.waitFor("TCP client connected"));
    const std::uint64_t framesBefore = app->getFramesSent();
    ASSERT_TRUE(app->startCapture(id, 60));
    ASSERT_EQ(capture.runtime->pools().size(), 1u);
    const auto pool = capture.runtime->pools()[0];
    for (int i = 0; i < 3; ++i) pool->deliver({320, 240});
    capture.runtime->systemThread().waitIdle();
    EXPECT_FALSE(client.waitForType("stream_config", 1500ms));
    // The window grows: the first frame of the new size remakes the pool, the next is of that size.
    for (int i = 0; i < 3; ++i) pool->deliver({400, 300});
    capture.runtime->systemThread().waitIdle();
    auto config = client.waitForType("stream_config", 10s);
    ASSERT_TRUE(config);
    EXPECT_GT(app->getFramesSent(), framesBefore);
    EXPECT_EQ((*config)["windowId"], 0);
    EXPECT_EQ((*config)["streamId"], 60);
    EXPECT_EQ((*config)["width"], 400);
    EXPECT_EQ((*config)["height"], 300);
    EXPECT_EQ((*config)["codec"], "video/avc");
    EXPECT_FALSE((*config)["sps"].get<std::string>().empty());
    pool->deliver({400, 300});
    EXPECT_FALSE(client.waitForType("stream_config", 1s));  // one per change
    app->stopCapture(60);
    loop.stop();

    const auto desktopWindow = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(GetDesktopWindow()));
    checkClientResizes(*app, *desktop, id, desktopWindow);
}

}  // namespace

}  // namespace quillane::host::test
