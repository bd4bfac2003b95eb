// One stream end to end on the Windows build: the real Application and its
// servers, window capture on the tests' own Windows.Graphics.Capture, the
// Media Foundation encoder on a fake H.264 transform, and a client over TCP.
#include "ApplicationTestSupport.h"
#include "Eventually.h"
#include "FakeCaptureServices.h"
#include "LogCapture.h"
#include "SignalingTestClient.h"
#include "VideoClient.h"
#include "WindowsTestHelpers.h"
#include "app/Application.h"
#include "windows/WindowThread.h"
#include "common/Base64.h"
#include "input/InputPlatform.h"
#include "platform/Paths.h"
#include "platform/ProcessPriority.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <thread>

using namespace std::chrono_literals;
namespace quillane::host::test {

using nlohmann::json;
namespace fs = std::filesystem;

namespace {

// The test process keeps its own priority.
class UnchangedPriority final : public ProcessPriority {
public:
    bool boost() override { return true; }
    void restore() override {}
};

// The unit the fake transform makes of its n-th input (see FakeH264Transform).
std::vector<std::uint8_t> fakeUnit(std::uint8_t n) {
    std::vector<std::uint8_t> unit =
        n == 0 ? std::vector<std::uint8_t>{0, 0, 0, 1, 0x67, 0x4D, 0x40, 0x1F, 0, 0, 0, 1, 0x68, 0xEB, 0xE3, 0, 0, 1,
                                           0x65, 0x88}
               : std::vector<std::uint8_t>{0, 0, 0, 1, 0x41, 0x9A};
    unit.push_back(n);
    return unit;
}

class ApplicationFakeCaptureStream : public ::testing::Test {
protected:
    void SetUp() override {
        fakesBefore = liveCaptureFakes();
        const auto& free = settings.emplace(appConfigFolder()).ports();
        signalingPort = free[0];
        videoPort = free[1];

        window = std::make_unique<WindowThread>([] { return createPopupWindow(L"Fake stream", 200, 100); });
        ASSERT_NE(window->hwnd(), nullptr);
        windowId = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(window->hwnd()));
    }
    void TearDown() override {
        app.reset();
        runtime->systemThread().waitIdle();
        runtime->forget();
        EXPECT_EQ(liveCaptureFakes(), fakesBefore) << "a capture object was not released";
        for (FakeH264Transform* t : capture.transforms()) {
            EXPECT_EQ(t->references(), 1) << "the encoder kept its transform";
        }
        window.reset();
        settings.reset();
    }

    CaptureServices services() { return capture.services({listedWindow(window->hwnd(), "Fake stream", 200, 100)}); }

    int fakesBefore = 0;
    std::optional<FreePortSettings> settings;
    std::uint16_t signalingPort = 0, videoPort = 0;
    std::unique_ptr<WindowThread> window;
    std::uint32_t windowId = 0;
    FakeCaptureSystem capture;
    const std::shared_ptr<FakeGraphicsCaptureRuntime> runtime = capture.runtime;
    std::unique_ptr<Application> app;
};

}  // namespace

TEST_F(ApplicationFakeCaptureStream, AClientReceivesTheStreamConfigAndTheEncodersUnitsInOrder) {
    LogCapture log;
    app = std::make_unique<Application>(std::make_unique<UnchangedPriority>(), createInputPlatform(), services());
    ASSERT_TRUE(app->initialize());
    EXPECT_EQ(app->getEncoderName(), "QSV");
    MainLoopTurns loop(*app);

    SignalingClient client;
    ASSERT_TRUE(client.connect(signalingPort));
    ASSERT_TRUE(client.request(json{{"type", "hello"}}, "welcome"));
    VideoClient video;
    ASSERT_TRUE(video.connect(videoPort));
    ASSERT_TRUE(log.waitFor("TCP client connected"));

    const auto started = client.request(json{{"type", "stream_subscribe"}, {"windowId", windowId}}, "stream_started");
    ASSERT_TRUE(started);
    const auto streamId = (*started)["streamId"].get<std::uint8_t>();
    ASSERT_EQ(runtime->pools().size(), 1u);
    auto pool = runtime->pools()[0];

    constexpr int kFrames = 4;
    for (int i = 0; i < kFrames; ++i) pool->deliver({200, 100});
    runtime->systemThread().waitIdle();

    const auto config = client.waitForType("stream_config", 5s);
    ASSERT_TRUE(config);
    EXPECT_EQ((*config)["streamId"], streamId);
    EXPECT_EQ((*config)["windowId"], windowId);
    EXPECT_EQ((*config)["width"], 200);
    EXPECT_EQ((*config)["height"], 100);
    const std::uint8_t sps[] = {0x67, 0x4D, 0x40, 0x1F};
    const std::uint8_t pps[] = {0x68, 0xEB, 0xE3};
    EXPECT_EQ((*config)["sps"], base64Encode(sps, sizeof sps));
    EXPECT_EQ((*config)["pps"], base64Encode(pps, sizeof pps));

    std::optional<std::uint16_t> lastSequence;
    for (int i = 0; i < kFrames; ++i) {
        const auto packet = video.readPacket(5s);
        ASSERT_TRUE(packet) << "unit " << i << " did not arrive";
        EXPECT_EQ(packet->streamId(), streamId);
        EXPECT_EQ(packet->payload, fakeUnit(static_cast<std::uint8_t>(i))) << "unit " << i;
        EXPECT_EQ(packet->isKeyframe(), i == 0) << "unit " << i;
        if (lastSequence) {
            EXPECT_EQ(packet->sequence(), static_cast<std::uint16_t>(*lastSequence + 1));
        }
        lastSequence = packet->sequence();
    }
    const auto transforms = capture.transforms();
    ASSERT_EQ(transforms.size(), 1u);
    EXPECT_EQ(transforms[0]->inputs.size(), static_cast<std::size_t>(kFrames));

    // The window's capture item closes: the stream ends, the client is told, frames stop.
    runtime->items().at(0)->closeWindow();
    runtime->systemThread().waitIdle();
    const auto ended = client.waitForType("stream_stopped", 5s);
    ASSERT_TRUE(ended) << "the client was not told that the stream ended";
    EXPECT_EQ((*ended)["streamId"], streamId);
    EXPECT_FALSE(app->isStreamRunning(streamId));
    pool->deliver({200, 100});
    runtime->systemThread().waitIdle();
    EXPECT_FALSE(video.readPacket(300ms)) << "a frame came after the window closed";
    const auto stopped = client.request(json{{"type", "stream_unsubscribe"}, {"streamId", streamId}}, "stream_stopped");
    ASSERT_TRUE(stopped);
    EXPECT_EQ((*stopped)["streamId"], streamId);
    app->shutdown();
}

}  // namespace quillane::host::test
