// The frame path of window capture on Windows, against the tests' own
// Windows.Graphics.Capture: real Direct3D 11 textures from a fake system that
// raises its events on a thread of its own, through the orchestrator.
#include "capture/CaptureOrchestrator.h"
#include "capture/windows/D3D11CaptureDevice.h"
#include "capture/windows/WindowCapture.h"
#include "Eventually.h"
#include "FakeGraphicsCapture.h"
#include "LogCapture.h"
#include "WindowsTestHelpers.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <d3d11.h>
#include <wrl/client.h>

#include <cstring>
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

namespace quillane::host::test {

using Microsoft::WRL::ComPtr;

namespace {

constexpr std::uint32_t kBlack = 0xFF000000u;

// One frame as the encoder saw it: its texture's size and pixels, the thread
// it came on and whether a keyframe was asked for just before it.
struct SeenFrame {
    TexturePixels picture;
    DWORD thread = 0;
    bool keyframeAsked = false;
};

// What every encoder of a test saw, in order.
struct EncoderRecord {
    std::mutex mutex;
    int created = 0;
    int shutDown = 0;
    std::vector<SeenFrame> frames;
    std::vector<SeenFrame> snapshot() {
        std::lock_guard lock(mutex);
        return frames;
    }
    std::size_t count() {
        std::lock_guard lock(mutex);
        return frames.size();
    }
};

// An encoder that reads back each frame it is given and sends one small unit.
class ReadbackEncoder final : public EncoderBase {
public:
    explicit ReadbackEncoder(std::shared_ptr<EncoderRecord> r) : record(std::move(r)) {
        std::lock_guard lock(record->mutex);
        ++record->created;
    }
    ~ReadbackEncoder() override { shutdown(); }
    const char* getName() const override { return "Readback"; }
    bool initialize(EncoderDevice, const EncoderConfig& c) override {
        config = c;
        initialized = true;
        return true;
    }
    void shutdown() override {
        if (!initialized) return;
        initialized = false;
        std::lock_guard lock(record->mutex);
        ++record->shutDown;
    }
    bool encodeFrame(EncoderInput input) override {
        if (!initialized || !input) return false;
        SeenFrame seen{readTexture(input)};
        seen.thread = GetCurrentThreadId();
        seen.keyframeAsked = keyframe.exchange(false);
        {
            std::lock_guard lock(record->mutex);
            record->frames.push_back(std::move(seen));
        }
        const std::uint8_t unit[] = {0, 0, 0, 1, 0x41, 0x9A};
        if (callback) callback(EncodedFrame{unit, sizeof unit, 0, false, 0});
        return true;
    }
    void requestKeyframe() override { keyframe = true; }
    void setBitrate(std::uint32_t, std::uint32_t) override {}
    void setOutputCallback(EncoderOutputCallback c) override { callback = std::move(c); }
    EncoderStats getStats() const override { return {}; }
    bool isInitialized() const override { return initialized; }
    bool reconfigure(const EncoderConfig&) override { return false; }
    ParameterSets getParameterSets() const override { return {}; }

private:
    std::shared_ptr<EncoderRecord> record;
    EncoderConfig config;
    bool initialized = false;
    std::atomic<bool> keyframe{false};
    EncoderOutputCallback callback;
};

// The fake system's picture at the top left, black around it.
bool pictureOf(const SeenFrame& frame, std::uint32_t width, std::uint32_t height, std::uint32_t serial) {
    const TexturePixels& p = frame.picture;
    for (std::uint32_t y = 0; y < p.height; ++y)
        for (std::uint32_t x = 0; x < p.width; ++x) {
            const std::uint32_t expected = x < width && y < height ? fakeFramePixel(x, y, serial) : kBlack;
            if (p.at(x, y) != expected) {
                ADD_FAILURE() << "pixel (" << x << ", " << y << ") is " << std::hex << p.at(x, y) << ", not "
                              << expected;
                return false;
            }
        }
    return true;
}

class WindowCaptureFrames : public ::testing::Test {
protected:
    static constexpr std::uint8_t kStream = 1;

    void SetUp() override {
        fakesBefore = liveCaptureFakes();
        window = createPopupWindow(L"Fake capture test", 200, 100);
        ASSERT_NE(window, nullptr);
        windowId = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(window));
        orchestrator = std::make_unique<CaptureOrchestrator>(services());
        ASSERT_TRUE(orchestrator->initialize());
        orchestrator->setResolutionChangedCallback([this](std::uint8_t id, std::uint32_t w, std::uint32_t h) {
            std::lock_guard lock(record->mutex);
            resolutions.push_back({id, w, h});
        });
    }
    void TearDown() override {
        orchestrator.reset();
        runtime->systemThread().waitIdle();
        runtime->forget();
        EXPECT_EQ(liveCaptureFakes(), fakesBefore) << "a capture object was not released";
        DestroyWindow(window);
    }

    CaptureServices services() {
        CaptureServices s;
        auto fakeSystem = runtime;
        s.createCapture = [fakeSystem] { return std::make_unique<WindowCapture>(fakeSystem); };
        s.windowExists = [](std::uint32_t id) { return WindowCapture::windowExists(id); };
        s.getAvailableEncoders = [](EncoderDevice) { return std::vector<EncoderType>{EncoderType::QuickSync}; };
        auto seen = record;
        s.createBestEncoder = [seen](EncoderDevice device, const EncoderConfig& config) -> std::unique_ptr<EncoderBase> {
            auto encoder = std::make_unique<ReadbackEncoder>(seen);
            encoder->initialize(device, config);
            return encoder;
        };
        return s;
    }

    ComPtr<FakeFramePool> pool() { return runtime->pools().at(0); }
    ComPtr<FakeCaptureSession> session() { return runtime->sessions().at(0); }
    ComPtr<FakeCaptureItem> item() { return runtime->items().at(0); }

    // The window's picture at that size, through the fake system; returns once it was handled.
    void show(std::int32_t width, std::int32_t height) {
        pool()->deliver({width, height});
        runtime->systemThread().waitIdle();
    }

    struct Resolution {
        std::uint8_t stream;
        std::uint32_t width, height;
        bool operator==(const Resolution&) const = default;
    };

    int fakesBefore = 0;
    std::shared_ptr<FakeGraphicsCaptureRuntime> runtime = std::make_shared<FakeGraphicsCaptureRuntime>();
    std::shared_ptr<EncoderRecord> record = std::make_shared<EncoderRecord>();
    std::vector<Resolution> resolutions;
    HWND window = nullptr;
    std::uint32_t windowId = 0;
    std::unique_ptr<CaptureOrchestrator> orchestrator;
};

}  // namespace

TEST_F(WindowCaptureFrames, FramesReachTheEncoderOnTheSystemThreadWithTheirSizeAndPicture) {
    ASSERT_TRUE(orchestrator->startCapture(windowId, kStream));
    const auto sizes = pool()->sizes();
    ASSERT_EQ(sizes.size(), 1u);
    EXPECT_EQ(sizes[0].Width, 200);
    EXPECT_EQ(sizes[0].Height, 100);
    EXPECT_TRUE(session()->started.load());

    show(200, 100);
    show(200, 100);
    const auto frames = record->snapshot();
    ASSERT_EQ(frames.size(), 2u);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        // Padded to multiples of 16 with black.
        EXPECT_EQ(frames[i].picture.width, 208u);
        EXPECT_EQ(frames[i].picture.height, 112u);
        EXPECT_TRUE(pictureOf(frames[i], 200, 100, static_cast<std::uint32_t>(i + 1)));
        EXPECT_EQ(frames[i].thread, runtime->systemThread().id());
    }
    EXPECT_NE(frames[0].thread, GetCurrentThreadId());
    EXPECT_EQ(pool()->buffersInUse(), 0) << "a frame was not given back to the pool";
    std::uint32_t w = 0, h = 0;
    ASSERT_TRUE(orchestrator->getStreamResolution(kStream, w, h));
    EXPECT_EQ(w, 200u);
    EXPECT_EQ(h, 100u);
}

TEST_F(WindowCaptureFrames, ASizeChangeRecreatesThePoolAndTheEncoderOnce) {
    LogCapture log;
    ASSERT_TRUE(orchestrator->startCapture(windowId, kStream));
    show(200, 100);
    item()->resize({260, 150});
    show(260, 150);  // still in a buffer of the old size: not delivered
    show(260, 150);
    show(260, 150);

    const auto sizes = pool()->sizes();
    ASSERT_EQ(sizes.size(), 2u);
    EXPECT_EQ(sizes[1].Width, 260);
    EXPECT_EQ(sizes[1].Height, 150);
    EXPECT_EQ(log.count("Recreating frame pool: 200x100 -> 260x150"), 1u);

    const auto frames = record->snapshot();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].picture.width, 208u);
    for (std::size_t i = 1; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].picture.width, 272u);
        EXPECT_EQ(frames[i].picture.height, 160u);
        EXPECT_TRUE(pictureOf(frames[i], 260, 150, static_cast<std::uint32_t>(i + 2)));
    }
    std::lock_guard lock(record->mutex);
    EXPECT_EQ(record->created, 2);
    EXPECT_EQ(record->shutDown, 1);
    EXPECT_EQ(resolutions, (std::vector<Resolution>{{kStream, 260, 150}}));
}

TEST_F(WindowCaptureFrames, TheItemsClosedEventEndsTheStream) {
    LogCapture log;
    ASSERT_TRUE(orchestrator->startCapture(windowId, kStream));
    show(200, 100);
    item()->closeWindow();
    runtime->systemThread().waitIdle();

    EXPECT_TRUE(log.contains("Captured window was closed"));
    EXPECT_TRUE(log.contains("Capture stopped"));
    EXPECT_TRUE(session()->closed.load());
    EXPECT_TRUE(pool()->isClosed());
    EXPECT_EQ(pool()->frameArrivedHandlers(), 0u);
    EXPECT_EQ(item()->closedHandlers(), 0u);
    // The window itself still exists: only the event ended the capture.
    EXPECT_EQ(orchestrator->update(), std::vector<std::uint8_t>{kStream});
    EXPECT_TRUE(log.contains("Removing inactive session for stream 1"));
    std::lock_guard lock(record->mutex);
    EXPECT_EQ(record->shutDown, 1);
}

TEST_F(WindowCaptureFrames, StopReleasesEverythingTheSystemHandedOut) {
    D3D11CaptureDevice device;
    ASSERT_TRUE(device.initialize());
    WindowCapture capture(runtime);
    ASSERT_TRUE(capture.initialize(windowId, device.device()));
    std::atomic<int> delivered{0};
    ASSERT_TRUE(capture.startCapture([&](EncoderInput, std::uint32_t, std::uint32_t) { ++delivered; }));
    show(200, 100);
    show(200, 100);
    EXPECT_EQ(delivered.load(), 2);
    capture.stopCapture();
    EXPECT_FALSE(capture.isCapturing());
    {
        auto p = pool();
        auto s = session();
        auto i = item();
        EXPECT_TRUE(s->closed.load());
        EXPECT_TRUE(p->isClosed());
        EXPECT_EQ(p->frameArrivedHandlers(), 0u);
        EXPECT_EQ(i->closedHandlers(), 0u);
        // Nobody else held the handlers, so they went with their removal.
        EXPECT_EQ(p->handlerReferencesAtRemoval(), std::vector<ULONG>{0});
        EXPECT_EQ(i->handlerReferencesAtRemoval(), std::vector<ULONG>{0});
        // Still alive, the capture holds none of them: what is left is the
        // runtime's record, the copy here, and the session's hold on its pool.
        EXPECT_EQ(i->references(), 2u);
        EXPECT_EQ(s->references(), 2u);
        EXPECT_EQ(p->references(), 3u);
        EXPECT_EQ(p->buffersInUse(), 0);
        const int raised = p->framesRaised();
        p->deliver({200, 100});
        runtime->systemThread().waitIdle();
        EXPECT_EQ(p->framesRaised(), raised);
    }
    auto devices = runtime->devices();
    ASSERT_EQ(devices.size(), 1u);
    runtime->forget();
    EXPECT_EQ(devices[0]->references(), 1u) << "the capture kept the Direct3D device wrapper";
    devices.clear();
    EXPECT_EQ(liveCaptureFakes(), fakesBefore);
    EXPECT_EQ(delivered.load(), 2);
}

TEST_F(WindowCaptureFrames, AStillWindowsLastPictureIsRepeatedAsAKeyframe) {
    ASSERT_TRUE(orchestrator->startCapture(windowId, kStream));
    show(200, 100);
    orchestrator->requestKeyframe(kStream);
    ASSERT_TRUE(eventually([&] { return record->count() == 2; }, std::chrono::seconds(5)));
    const auto frames = record->snapshot();
    EXPECT_FALSE(frames[0].keyframeAsked);
    EXPECT_TRUE(frames[1].keyframeAsked);
    EXPECT_TRUE(pictureOf(frames[1], 200, 100, 1));
    EXPECT_EQ(pool()->framesRaised(), 1) << "the system delivered no second frame";
}

TEST_F(WindowCaptureFrames, CaptureStartsWhereTheSessionOffersNeitherOptionalSetting) {
    LogCapture log;
    runtime->offersCursor = false;
    runtime->offersBorder = false;
    ASSERT_TRUE(orchestrator->startCapture(windowId, kStream));
    EXPECT_TRUE(log.contains("Capture border setting not offered by this Windows build (needs 20348+), skipped"));
    EXPECT_TRUE(log.contains("Cursor capture setting not offered by this Windows build (needs 19041+), skipped"));
    EXPECT_EQ(session()->cursorEnabled.load(), -1);
    EXPECT_EQ(session()->borderRequired.load(), -1);
    show(200, 100);
    EXPECT_EQ(record->count(), 1u);
}

TEST_F(WindowCaptureFrames, TheSessionsSettingsAreMadeWhereOffered) {
    ASSERT_TRUE(orchestrator->startCapture(windowId, kStream));
    EXPECT_EQ(session()->cursorEnabled.load(), 1);
    EXPECT_EQ(session()->borderRequired.load(), 0);
}

TEST_F(WindowCaptureFrames, ARefusedStartReportsItsCauseAndLeavesNothingBehind) {
    LogCapture log;
    runtime->startCaptureResult = E_ACCESSDENIED;
    EXPECT_FALSE(orchestrator->startCapture(windowId, kStream));
    EXPECT_TRUE(log.contains("  Error Code: 0x80070005"));
    EXPECT_TRUE(log.contains("ROOT CAUSE: Access Denied"));
    EXPECT_TRUE(log.contains("Failed to start capture for window " + fmt::format("{:x}", windowId)));
    EXPECT_EQ(pool()->frameArrivedHandlers(), 0u);
    EXPECT_EQ(item()->closedHandlers(), 0u);
    std::lock_guard lock(record->mutex);
    EXPECT_EQ(record->shutDown, record->created);
}

}  // namespace quillane::host::test
