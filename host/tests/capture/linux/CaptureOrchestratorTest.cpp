#include "OrchestratorFakes.h"

#include "capture/CaptureOrchestrator.h"
#include "capture/CasCpu.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>

using namespace quillane::host;
using namespace quillane::host::test;
using namespace std::chrono_literals;

namespace {

std::uint32_t pattern(std::uint32_t x, std::uint32_t y) { return ((x * 7) & 0xFF) | ((y * 5 & 0xFF) << 8) | (((x ^ y) & 0xFF) << 16); }
std::uint32_t white(std::uint32_t, std::uint32_t) { return 0xFFFFFF; }

class Orchestrator : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(orch.initialize());
        orch.setEncodedFrameCallback([this](std::uint8_t id, const std::uint8_t* data, std::uint64_t size, bool key) {
            std::lock_guard lock(mutex);
            encoded.push_back({id, std::vector<std::uint8_t>(data, data + size), key});
        });
        orch.setResolutionChangedCallback([this](std::uint8_t id, std::uint32_t w, std::uint32_t h) {
            std::lock_guard lock(mutex);
            resolutionChanges.push_back({id, w, h, world.encoderCount()});
        });
    }
    // Starts a stream on a new window of that size; returns its capture.
    FakeCapture* start(std::uint32_t windowId, std::uint8_t streamId, std::uint32_t w, std::uint32_t h) {
        world.addWindow(windowId, w, h);
        EXPECT_TRUE(orch.startCapture(windowId, streamId));
        return world.captureOf(windowId);
    }

    struct Encoded {
        std::uint8_t stream;
        std::vector<std::uint8_t> bytes;
        bool keyframe;
    };
    struct Change {
        std::uint8_t stream;
        std::uint32_t width, height;
        std::size_t encodersAtCall;
    };
    FakeWorld world;
    CaptureOrchestrator orch{world.services()};
    std::mutex mutex;
    std::vector<Encoded> encoded;
    std::vector<Change> resolutionChanges;
};

void expectPadded(const ReceivedFrame& f, std::uint32_t w, std::uint32_t h, std::uint32_t (*fill)(std::uint32_t, std::uint32_t)) {
    for (std::uint32_t y = 0; y < f.height; ++y) {
        for (std::uint32_t x = 0; x < f.width; ++x) {
            const bool inside = x < w && y < h;
            const std::uint32_t want = inside ? fill(x, y) : 0;
            const std::uint32_t got = f.at(x, y, 0) | (f.at(x, y, 1) << 8) | (f.at(x, y, 2) << 16);
            ASSERT_EQ(got, want) << "at " << x << "," << y << (inside ? " (image)" : " (border)");
            if (!inside) {
                ASSERT_EQ(f.at(x, y, 3), 255) << "border not opaque at " << x << "," << y;
            }
        }
    }
}

}  // namespace

TEST_F(Orchestrator, UnalignedWindowIsEncodedPaddedWithBlackBorder) {
    FakeCapture* capture = start(0x100, 1, 1000, 700);
    ASSERT_NE(capture, nullptr);
    auto enc = world.encoder(0);
    ASSERT_TRUE(enc);
    EXPECT_EQ(enc->config.width, 1008u);
    EXPECT_EQ(enc->config.height, 704u);
    EXPECT_EQ(enc->config.bitrateKbps, 20000u);
    EXPECT_EQ(enc->config.fps, 72u);
    EXPECT_EQ(enc->config.codec, "h264");

    ASSERT_TRUE(capture->deliver(1000, 700, pattern));
    const auto frames = enc->receivedFrames();
    ASSERT_EQ(frames.size(), 1u);
    ASSERT_EQ(frames[0].width, 1008u);
    ASSERT_EQ(frames[0].height, 704u);
    expectPadded(frames[0], 1000, 700, pattern);

    std::uint32_t w = 0, h = 0;
    ASSERT_TRUE(orch.getStreamResolution(1, w, h));
    EXPECT_EQ(w, 1000u);
    EXPECT_EQ(h, 700u);
    std::lock_guard lock(mutex);
    ASSERT_EQ(encoded.size(), 1u);
    EXPECT_EQ(encoded[0].stream, 1);
    EXPECT_TRUE(encoded[0].keyframe);
    EXPECT_TRUE(resolutionChanges.empty());
}

TEST_F(Orchestrator, AlignedFrameGoesToTheEncoderUncopiedUnlessSharpened) {
    FakeCapture* capture = start(0x100, 2, 1280, 720);
    std::vector<std::uint8_t> pixels(1280 * 720 * 4);
    for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<std::uint8_t>(i * 31 + (i >> 12));
    ASSERT_TRUE(capture->deliverBytes(1280, 720, pixels.data()));
    auto frames = world.encoder(0)->receivedFrames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].address, pixels.data()) << "an aligned frame should not be copied";

    orch.setSharpeningEnabled(true);
    orch.setSharpness(0.25f);
    ASSERT_TRUE(capture->deliverBytes(1280, 720, pixels.data()));
    frames = world.encoder(0)->receivedFrames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_NE(frames[1].address, pixels.data());
    std::vector<std::uint8_t> want(pixels.size());
    casSharpen({pixels.data(), 1280 * 4, 1280, 720}, want.data(), 1280 * 4, 0.25f, nullptr);
    EXPECT_EQ(frames[1].bytes, want);
}

TEST_F(Orchestrator, PaddedFrameIsReadInPlace) {
    FakeCapture* capture = start(0x100, 2, 1000, 700);
    std::vector<std::uint8_t> pixels(1000 * 700 * 4);
    for (std::uint32_t y = 0; y < 700; ++y)
        for (std::uint32_t x = 0; x < 1000; ++x) {
            const std::uint32_t c = pattern(x, y);
            std::memcpy(&pixels[(std::size_t(y) * 1000 + x) * 4], &c, 3);
        }
    ASSERT_TRUE(capture->deliverBytes(1000, 700, pixels.data()));
    const auto frames = world.encoder(0)->receivedFrames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].address, pixels.data()) << "padding should not copy the image";
    expectPadded(frames[0], 1000, 700, pattern);
}

TEST_F(Orchestrator, SharpenedAndPaddedFrameKeepsTheBlackBorder) {
    FakeCapture* capture = start(0x100, 2, 100, 50);
    orch.setSharpeningEnabled(true);
    orch.setSharpness(1.0f);
    ASSERT_TRUE(capture->deliver(100, 50, pattern));
    const auto frames = world.encoder(0)->receivedFrames();
    ASSERT_EQ(frames.size(), 1u);
    ASSERT_EQ(frames[0].width, 112u);
    ASSERT_EQ(frames[0].height, 64u);
    // The image part is the sharpened source, the rest opaque black.
    std::vector<std::uint8_t> src(100 * 50 * 4), want(100 * 50 * 4);
    for (std::uint32_t y = 0; y < 50; ++y)
        for (std::uint32_t x = 0; x < 100; ++x) {
            const auto c = pattern(x, y);
            src[(y * 100 + x) * 4] = c & 0xFF, src[(y * 100 + x) * 4 + 1] = (c >> 8) & 0xFF;
            src[(y * 100 + x) * 4 + 2] = (c >> 16) & 0xFF;
        }
    casSharpen({src.data(), 400, 100, 50}, want.data(), 400, 1.0f, nullptr);
    for (std::uint32_t y = 0; y < 64; ++y)
        for (std::uint32_t x = 0; x < 112; ++x)
            for (int ch = 0; ch < 4; ++ch) {
                const std::uint8_t expected = (x < 100 && y < 50) ? want[(y * 100 + x) * 4 + ch] : (ch == 3 ? 255 : 0);
                ASSERT_EQ(frames[0].at(x, y, ch), expected) << x << "," << y << " ch " << ch;
            }
}

TEST_F(Orchestrator, ResizeWithinThePaddedSizeKeepsTheEncoder) {
    FakeCapture* capture = start(0x100, 3, 1000, 700);
    ASSERT_TRUE(capture->deliver(1000, 700, pattern));
    ASSERT_TRUE(capture->deliver(1001, 700, pattern));
    EXPECT_EQ(world.encoderCount(), 1u);
    const auto frames = world.encoder(0)->receivedFrames();
    ASSERT_EQ(frames.size(), 2u);
    expectPadded(frames[1], 1001, 700, pattern);
    std::uint32_t w = 0, h = 0;
    ASSERT_TRUE(orch.getStreamResolution(3, w, h));
    EXPECT_EQ(w, 1001u);
    std::lock_guard lock(mutex);
    EXPECT_TRUE(resolutionChanges.empty());
}

TEST_F(Orchestrator, ShrinkWithinThePaddedSizeLeavesNoStalePixels) {
    FakeCapture* capture = start(0x100, 3, 1007, 700);
    ASSERT_TRUE(capture->deliver(1007, 700, white));
    ASSERT_TRUE(capture->deliver(1001, 697, white));
    auto frames = world.encoder(0)->receivedFrames();
    ASSERT_EQ(frames.size(), 2u);
    expectPadded(frames[1], 1001, 697, white);
    // Growing back within the same padded size shows the new image everywhere.
    ASSERT_TRUE(capture->deliver(1004, 699, pattern));
    frames = world.encoder(0)->receivedFrames();
    expectPadded(frames[2], 1004, 699, pattern);
}

TEST_F(Orchestrator, ResizeAcrossPaddedSizesRecreatesTheEncoderAndNotifiesOnce) {
    FakeCapture* capture = start(0x100, 4, 1000, 700);
    ASSERT_TRUE(capture->deliver(1000, 700, pattern));
    auto first = world.encoder(0);

    ASSERT_TRUE(capture->deliver(1020, 700, pattern));
    ASSERT_EQ(world.encoderCount(), 2u);
    EXPECT_TRUE(first->destroyed.load());
    EXPECT_GE(first->shutdowns.load(), 1);
    auto second = world.encoder(1);
    EXPECT_EQ(second->config.width, 1024u);
    EXPECT_EQ(second->config.height, 704u);
    ASSERT_TRUE(capture->deliver(1020, 700, pattern));
    ASSERT_TRUE(capture->deliver(1021, 700, pattern));  // same padded size again
    const auto frames = second->receivedFrames();
    ASSERT_EQ(frames.size(), 3u);
    expectPadded(frames[0], 1020, 700, pattern);
    expectPadded(frames[2], 1021, 700, pattern);
    EXPECT_FALSE(second->wrongSize.load());
    {
        std::lock_guard lock(mutex);
        ASSERT_EQ(resolutionChanges.size(), 1u);
        EXPECT_EQ(resolutionChanges[0].stream, 4);
        EXPECT_EQ(resolutionChanges[0].width, 1020u);
        EXPECT_EQ(resolutionChanges[0].height, 700u);
    }
    // A second change of padded size: one more encoder, one more notification.
    ASSERT_TRUE(capture->deliver(640, 480, pattern));
    EXPECT_EQ(world.encoderCount(), 3u);
    std::lock_guard lock(mutex);
    ASSERT_EQ(resolutionChanges.size(), 2u);
    EXPECT_EQ(resolutionChanges[1].width, 640u);
}

TEST_F(Orchestrator, ResolutionChangeIsNotifiedBeforeTheNewSizesFirstFrameIsEncoded) {
    FakeCapture* capture = start(0x100, 4, 1000, 700);
    ASSERT_TRUE(capture->deliver(1000, 700, pattern));
    std::atomic<int> framesAtNotification{-1};
    orch.setResolutionChangedCallback([&](std::uint8_t, std::uint32_t, std::uint32_t) {
        auto enc = world.encoder(1);
        framesAtNotification = enc ? enc->frames.load() : -2;
        orch.requestKeyframe(4);  // what the owner does: the next frame becomes a keyframe
    });
    ASSERT_TRUE(capture->deliver(1020, 700, pattern));
    EXPECT_EQ(framesAtNotification.load(), 0);
}

TEST_F(Orchestrator, FailedRecreationDropsFramesUntilTheStreamStops) {
    FakeCapture* capture = start(0x100, 5, 1000, 700);
    world.encoderCreationsLeft = 0;
    ASSERT_TRUE(capture->deliver(1000, 700, pattern));
    ASSERT_TRUE(capture->deliver(1100, 700, pattern));  // re-creation fails
    EXPECT_TRUE(world.encoder(0)->destroyed.load());
    EXPECT_EQ(world.encoderCount(), 1u);
    world.encoderCreationsLeft = 10;
    ASSERT_TRUE(capture->deliver(1100, 700, pattern));  // dropped, no new attempt
    EXPECT_EQ(world.encoderCount(), 1u);
    EXPECT_FALSE(orch.getParameterSets(5).isValid);
    std::uint32_t w = 0, h = 0;
    ASSERT_TRUE(orch.getStreamResolution(5, w, h));
    EXPECT_EQ(w, 1000u) << "the stored size changes only with a successful re-creation";
    {
        std::lock_guard lock(mutex);
        EXPECT_TRUE(resolutionChanges.empty());
        EXPECT_EQ(encoded.size(), 1u);
    }
    orch.stopCapture(5);
    EXPECT_FALSE(orch.getStreamResolution(5, w, h));
    EXPECT_EQ(world.liveCaptures.load(), 0);
}

TEST_F(Orchestrator, StopReleasesCaptureAndEncoder) {
    FakeCapture* capture = start(0x100, 6, 320, 240);
    ASSERT_TRUE(capture->deliver(320, 240, pattern));
    orch.stopCapture(6);
    EXPECT_TRUE(world.encoder(0)->destroyed.load());
    EXPECT_EQ(world.liveCaptures.load(), 0);
    EXPECT_EQ(world.liveEncoders.load(), 0);
    orch.stopCapture(6);  // "Stream 6 not found", nothing else
    std::uint32_t w = 1, h = 2;
    EXPECT_FALSE(orch.getStreamResolution(6, w, h));
    EXPECT_EQ(w, 1u);
    EXPECT_EQ(h, 2u);
}

TEST_F(Orchestrator, RestartingAnExistingIdStopsTheOldSessionFirst) {
    FakeCapture* oldCapture = start(0x100, 3, 320, 240);
    ASSERT_TRUE(oldCapture->deliver(320, 240, pattern));
    world.addWindow(0x200, 640, 480);
    ASSERT_TRUE(orch.startCapture(0x200, 3));
    EXPECT_TRUE(world.encoder(0)->destroyed.load());
    EXPECT_EQ(world.captureOf(0x100), nullptr) << "the old capture was not released";
    FakeCapture* fresh = world.captureOf(0x200);
    ASSERT_NE(fresh, nullptr);
    ASSERT_TRUE(fresh->deliver(640, 480, pattern));
    EXPECT_EQ(world.encoder(1)->frames.load(), 1);
    std::uint32_t w = 0, h = 0;
    ASSERT_TRUE(orch.getStreamResolution(3, w, h));
    EXPECT_EQ(w, 640u);
}

TEST_F(Orchestrator, FailedStartsLeaveNothingBehind) {
    EXPECT_FALSE(orch.startCapture(0x999, 1));  // no such window
    EXPECT_EQ(world.liveCaptures.load(), 0);

    world.addWindow(0x100, 320, 240);
    world.failCaptureInit = true;
    EXPECT_FALSE(orch.startCapture(0x100, 1));
    world.failCaptureInit = false;

    world.encoderCreationsLeft = 0;
    EXPECT_FALSE(orch.startCapture(0x100, 1));
    world.encoderCreationsLeft = 100;

    world.failCaptureStart = true;
    EXPECT_FALSE(orch.startCapture(0x100, 1));
    ASSERT_EQ(world.encoderCount(), 1u);
    EXPECT_TRUE(world.encoder(0)->destroyed.load());
    world.failCaptureStart = false;

    EXPECT_EQ(world.liveCaptures.load(), 0);
    EXPECT_EQ(world.liveEncoders.load(), 0);
    std::uint32_t w = 0, h = 0;
    EXPECT_FALSE(orch.getStreamResolution(1, w, h));

    // A failed restart still ends the stream that had that id.
    start(0x100, 1, 320, 240);
    EXPECT_FALSE(orch.startCapture(0x999, 1));
    EXPECT_FALSE(orch.getStreamResolution(1, w, h));
    EXPECT_EQ(world.liveCaptures.load(), 0);
}

TEST_F(Orchestrator, UpdateRemovesEndedSessionsAndReportsThem) {
    FakeCapture* a = start(0x100, 1, 320, 240);
    start(0x200, 2, 320, 240);
    FakeCapture* c = start(0x300, 3, 320, 240);
    EXPECT_TRUE(orch.update().empty());

    a->endByItself();
    world.removeWindow(0x300);   // the window is gone
    (void)c;
    auto dropped = orch.update();
    std::sort(dropped.begin(), dropped.end());
    EXPECT_EQ(dropped, (std::vector<std::uint8_t>{1, 3}));
    std::uint32_t w = 0, h = 0;
    EXPECT_FALSE(orch.getStreamResolution(1, w, h));
    EXPECT_TRUE(orch.getStreamResolution(2, w, h));
    EXPECT_FALSE(orch.getStreamResolution(3, w, h));
    EXPECT_TRUE(orch.update().empty());
    EXPECT_EQ(world.liveCaptures.load(), 1);
}

TEST_F(Orchestrator, PerStreamCommandsReachOnlyThatStream) {
    start(0x100, 1, 320, 240);
    start(0x200, 2, 320, 240);
    orch.setStreamBitrate(2, 8000, 12000);
    orch.requestKeyframe(1);
    EXPECT_EQ(world.encoder(1)->bitrate.load(), 8000u);
    EXPECT_EQ(world.encoder(1)->maxBitrate.load(), 12000u);
    EXPECT_EQ(world.encoder(0)->bitrate.load(), 0u);
    EXPECT_TRUE(world.encoder(0)->keyframeWanted.load());
    EXPECT_FALSE(world.encoder(1)->keyframeWanted.load());
    EXPECT_TRUE(orch.getParameterSets(1).isValid);

    // Unknown streams: nothing happens.
    orch.requestKeyframe(9);
    orch.setStreamBitrate(9, 1, 1);
    const auto none = orch.getParameterSets(9);
    EXPECT_FALSE(none.isValid);
    EXPECT_TRUE(none.sps.empty() && none.pps.empty() && none.vps.empty());
}

TEST_F(Orchestrator, TemplateSettingsApplyToEncodersCreatedLater) {
    FakeCapture* capture = start(0x100, 1, 320, 240);
    orch.setBitrate(5000, 7000);
    orch.setFrameRate(30);
    orch.setFullRangeColor(true);
    EXPECT_EQ(world.encoder(0)->config.bitrateKbps, 20000u);  // running encoders keep theirs
    ASSERT_TRUE(capture->deliver(400, 240, pattern));          // re-created
    auto enc = world.encoder(1);
    ASSERT_TRUE(enc);
    EXPECT_EQ(enc->config.bitrateKbps, 5000u);
    EXPECT_EQ(enc->config.maxBitrateKbps, 7000u);
    EXPECT_EQ(enc->config.fps, 30u);
    EXPECT_TRUE(enc->config.fullRange);
    EXPECT_EQ(enc->config.gopLength, 60u);
    EXPECT_EQ(enc->config.sliceCount, 4u);
}

TEST_F(Orchestrator, SharpnessOutOfRangeOrNaNIsClamped) {
    FakeCapture* capture = start(0x100, 1, 64, 16);
    orch.setSharpeningEnabled(true);
    std::vector<std::uint8_t> src(64 * 16 * 4);
    for (std::size_t i = 0; i < src.size(); ++i) src[i] = static_cast<std::uint8_t>((i * 37) ^ (i >> 5));
    std::vector<std::uint8_t> at0(src.size()), at1(src.size());
    casSharpen({src.data(), 256, 64, 16}, at0.data(), 256, 0.0f, nullptr);
    casSharpen({src.data(), 256, 64, 16}, at1.data(), 256, 1.0f, nullptr);
    for (auto [value, want] : {std::pair{std::nanf(""), &at0}, {-3.0f, &at0}, {7.0f, &at1}}) {
        orch.setSharpness(value);
        ASSERT_TRUE(capture->deliverBytes(64, 16, src.data()));
        EXPECT_EQ(world.encoder(0)->receivedFrames().back().bytes, *want) << "sharpness " << value;
    }
}

TEST_F(Orchestrator, StopWaitsForTheFrameInFlight) {
    FakeCapture* capture = start(0x100, 1, 320, 240);
    auto enc = world.encoder(0);
    enc->slowEncode = 300ms;
    std::thread deliverer([&] { capture->deliver(320, 240, pattern); });
    while (!enc->inEncode.load()) std::this_thread::sleep_for(1ms);
    orch.stopCapture(1);
    EXPECT_FALSE(enc->inEncode.load()) << "stopCapture returned while the frame was still encoding";
    EXPECT_TRUE(enc->destroyed.load());
    EXPECT_FALSE(enc->misuse.load());
    deliverer.join();
}

TEST_F(Orchestrator, StopFromInsideTheEncodedFrameCallback) {
    FakeCapture* capture = start(0x100, 1, 320, 240);
    auto enc = world.encoder(0);
    orch.setEncodedFrameCallback([&](std::uint8_t id, const std::uint8_t*, std::uint64_t, bool) { orch.stopCapture(id); });
    ASSERT_TRUE(capture->deliver(320, 240, pattern));
    EXPECT_FALSE(enc->misuse.load()) << "encoder shut down inside its own encodeFrame";
    EXPECT_TRUE(enc->destroyed.load());
    EXPECT_EQ(world.liveCaptures.load(), 0);
}

TEST_F(Orchestrator, ShutdownStopsEverythingAndRunsOnce) {
    start(0x100, 1, 320, 240);
    start(0x200, 2, 320, 240);
    orch.shutdown();
    orch.shutdown();
    EXPECT_EQ(world.liveCaptures.load(), 0);
    EXPECT_EQ(world.liveEncoders.load(), 0);
    world.addWindow(0x300, 320, 240);
    EXPECT_FALSE(orch.startCapture(0x300, 3));
}

TEST(OrchestratorWithoutInit, RefusesStreams) {
    FakeWorld world;
    CaptureOrchestrator orch(world.services());
    world.addWindow(0x100, 320, 240);
    EXPECT_FALSE(orch.startCapture(0x100, 1));
    EXPECT_EQ(world.liveCaptures.load(), 0);
    EXPECT_EQ(orch.getEncoderName(), "");
    ASSERT_TRUE(orch.initialize());
    EXPECT_EQ(orch.getEncoderName(), "Fake");  // no hardware encoder, the fallback's name
    EXPECT_TRUE(orch.initialize());
}
