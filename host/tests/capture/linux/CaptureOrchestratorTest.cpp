#include "Eventually.h"
#include "OrchestratorFakes.h"

#include "capture/CaptureOrchestrator.h"
#include "capture/CasCpu.h"
#include "capture/KeyframePacing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

using namespace std::chrono_literals;

namespace quillane::host::test {

namespace {

std::uint32_t pattern(std::uint32_t x, std::uint32_t y) { return ((x * 7) & 0xFF) | ((y * 5 & 0xFF) << 8) | (((x ^ y) & 0xFF) << 16); }
std::uint32_t white(std::uint32_t, std::uint32_t) { return 0xFFFFFF; }

// What the encoder must see: the w x h image (BGRx rows) in the top-left, opaque black around it.
void expectPadded(const ReceivedFrame& f, std::uint32_t w, std::uint32_t h, const std::vector<std::uint8_t>& image) {
    for (std::uint32_t y = 0; y < f.height; ++y)
        for (std::uint32_t x = 0; x < f.width; ++x)
            for (int ch = 0; ch < 3; ++ch) {
                const bool inside = x < w && y < h;
                ASSERT_EQ(f.at(x, y, ch), inside ? image[(std::size_t(y) * w + x) * 4 + ch] : 0)
                    << x << "," << y << " ch " << ch << (inside ? " (image)" : " (border)");
                if (!inside) {
                    ASSERT_EQ(f.at(x, y, 3), 255) << "border not opaque at " << x << "," << y;
                }
            }
}
void expectPadded(const ReceivedFrame& f, std::uint32_t w, std::uint32_t h, std::uint32_t (*fill)(std::uint32_t, std::uint32_t)) {
    expectPadded(f, w, h, FakeCapture::pixels(w, h, fill));
}

std::vector<std::uint8_t> sharpened(const std::vector<std::uint8_t>& src, std::uint32_t w, std::uint32_t h, float s) {
    std::vector<std::uint8_t> out(src.size());
    casSharpen({src.data(), w * 4, w, h}, out.data(), w * 4, s, nullptr);
    return out;
}

class Orchestrator : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(orch.initialize());
        orch.setEncodedFrameCallback([this](std::uint8_t id, const std::uint8_t* data, std::uint64_t size, bool key) {
            std::lock_guard lock(mutex);
            encoded.push_back({id, std::vector<std::uint8_t>(data, data + size), key});
        });
        // What the owner does on a change: the next frame becomes a keyframe.
        orch.setResolutionChangedCallback([this](std::uint8_t id, std::uint32_t w, std::uint32_t h) {
            const auto newest = world.encoder(world.encoderCount() - 1);
            std::lock_guard lock(mutex);
            resolutionChanges.push_back({id, w, h, newest ? newest->frames.load() : -1});
            orch.requestKeyframe(id);
        });
    }
    // Before the members the callbacks write to go: no capture or repeat may deliver any more.
    void TearDown() override { orch.shutdown(); }
    // Starts a stream on a new window of that size; returns its capture.
    FakeCapture* start(std::uint32_t windowId, std::uint8_t streamId, std::uint32_t w, std::uint32_t h) {
        world.addWindow(windowId, w, h);
        EXPECT_TRUE(orch.startCapture(windowId, streamId));
        return world.captureOf(windowId);
    }
    std::pair<std::uint32_t, std::uint32_t> resolution(std::uint8_t stream) {
        std::uint32_t w = 0, h = 0;
        EXPECT_TRUE(orch.getStreamResolution(stream, w, h)) << "no stream " << int(stream);
        return {w, h};
    }
    bool exists(std::uint8_t stream) {
        std::uint32_t w = 0, h = 0;
        return orch.getStreamResolution(stream, w, h);
    }

    struct Encoded {
        std::uint8_t stream;
        std::vector<std::uint8_t> bytes;
        bool keyframe;
    };
    struct Change {
        std::uint8_t stream;
        std::uint32_t width, height;
        int framesOfNewestEncoder;
    };
    FakeWorld world;
    CaptureOrchestrator orch{world.services()};
    std::mutex mutex;
    std::vector<Encoded> encoded;
    std::vector<Change> resolutionChanges;
};

using Pair = std::pair<std::uint32_t, std::uint32_t>;

}  // namespace

TEST_F(Orchestrator, FramesReachTheEncoderPaddedWithBlackAndUncopied) {
    FakeCapture* capture = start(0x100, 1, 1000, 700);
    ASSERT_NE(capture, nullptr);
    auto enc = world.encoder(0);
    ASSERT_TRUE(enc);
    EXPECT_EQ(enc->config.width, 1008u);
    EXPECT_EQ(enc->config.height, 704u);
    EXPECT_EQ(enc->config.bitrateKbps, 20000u);
    EXPECT_EQ(enc->config.fps, 72u);
    EXPECT_EQ(enc->config.codec, "h264");

    const auto pixels = FakeCapture::pixels(1000, 700, pattern);
    ASSERT_TRUE(capture->deliverBytes(1000, 700, pixels.data()));
    auto frames = enc->receivedFrames();
    ASSERT_EQ(frames.size(), 1u);
    ASSERT_EQ(frames[0].width, 1008u);
    ASSERT_EQ(frames[0].height, 704u);
    EXPECT_EQ(frames[0].address, pixels.data()) << "padding should not copy the image";
    expectPadded(frames[0], 1000, 700, pattern);
    EXPECT_EQ(resolution(1), Pair(1000, 700));
    {
        std::lock_guard lock(mutex);
        ASSERT_EQ(encoded.size(), 1u);
        EXPECT_EQ(encoded[0].stream, 1);
        EXPECT_EQ(encoded[0].bytes, (std::vector<std::uint8_t>{0, 0, 0, 1, 0x65})) << "the encoder's output, unchanged";
        EXPECT_TRUE(encoded[0].keyframe);
        EXPECT_TRUE(resolutionChanges.empty());
    }

    FakeCapture* aligned = start(0x200, 2, 1280, 720);
    const auto big = FakeCapture::pixels(1280, 720, pattern);
    ASSERT_TRUE(aligned->deliverBytes(1280, 720, big.data()));
    frames = world.encoder(1)->receivedFrames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].address, big.data()) << "an aligned frame should not be copied";
}

TEST_F(Orchestrator, SharpeningWritesItsOwnBufferClampsTheSharpnessAndKeepsTheBorder) {
    FakeCapture* capture = start(0x100, 1, 64, 16);
    std::vector<std::uint8_t> src(64 * 16 * 4);
    for (std::size_t i = 0; i < src.size(); ++i) src[i] = static_cast<std::uint8_t>((i * 37) ^ (i >> 5));
    orch.setSharpeningEnabled(true);
    for (auto [value, want] : {std::pair{0.25f, 0.25f}, {std::nanf(""), 0.0f}, {-3.0f, 0.0f}, {7.0f, 1.0f}}) {
        orch.setSharpness(value);
        ASSERT_TRUE(capture->deliverBytes(64, 16, src.data()));
        const auto frame = world.encoder(0)->receivedFrames().back();
        EXPECT_NE(frame.address, src.data());
        EXPECT_EQ(frame.bytes, sharpened(src, 64, 16, want)) << "sharpness " << value;
    }

    orch.setSharpness(1.0f);
    const auto padded = FakeCapture::pixels(100, 50, pattern);
    ASSERT_TRUE(capture->deliverBytes(100, 50, padded.data()));
    const auto frames = world.encoder(1)->receivedFrames();
    ASSERT_EQ(frames.size(), 1u);
    ASSERT_EQ(frames[0].width, 112u);
    ASSERT_EQ(frames[0].height, 64u);
    expectPadded(frames[0], 100, 50, sharpened(padded, 100, 50, 1.0f));
    // Shrinking within the padded size leaves nothing of the larger sharpened image.
    const auto smaller = FakeCapture::pixels(97, 49, pattern);
    ASSERT_TRUE(capture->deliverBytes(97, 49, smaller.data()));
    ASSERT_EQ(world.encoderCount(), 2u);
    expectPadded(world.encoder(1)->receivedFrames().back(), 97, 49, sharpened(smaller, 97, 49, 1.0f));
}

TEST_F(Orchestrator, ResizeWithinThePaddedSizeKeepsTheEncoderAndLeavesNoStalePixels) {
    FakeCapture* capture = start(0x100, 3, 1007, 700);
    ASSERT_TRUE(capture->deliver(1007, 700, white));
    ASSERT_TRUE(capture->deliver(1001, 697, white));
    ASSERT_TRUE(capture->deliver(1004, 699, pattern));  // growing back shows the new image everywhere
    EXPECT_EQ(world.encoderCount(), 1u);
    const auto frames = world.encoder(0)->receivedFrames();
    ASSERT_EQ(frames.size(), 3u);
    expectPadded(frames[1], 1001, 697, white);
    expectPadded(frames[2], 1004, 699, pattern);
    EXPECT_EQ(resolution(3), Pair(1004, 699));
    std::lock_guard lock(mutex);
    EXPECT_TRUE(resolutionChanges.empty());
}

TEST_F(Orchestrator, ResizeAcrossPaddedSizesRecreatesTheEncoderAndNotifiesBeforeItsFirstFrame) {
    FakeCapture* capture = start(0x100, 4, 1000, 700);
    orch.requestKeyframe(4);  // forced just before the change, so pacing would hold the next one back
    ASSERT_TRUE(capture->deliver(1000, 700, pattern));
    auto first = world.encoder(0);

    ASSERT_TRUE(capture->deliver(1020, 700, pattern));
    const int repeatsBefore = capture->repeats();
    ASSERT_EQ(world.encoderCount(), 2u);
    EXPECT_TRUE(first->destroyed.load());
    auto second = world.encoder(1);
    EXPECT_EQ(second->config.width, 1024u);
    EXPECT_EQ(second->config.height, 704u);
    // The keyframe asked for on the change is the new encoder's first frame: nothing waits for a repeat.
    std::this_thread::sleep_for(KeyframePacing::kMinInterval + KeyframePacing::kRepeatAfter + 50ms);
    EXPECT_EQ(capture->repeats(), repeatsBefore);
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
        EXPECT_EQ(Pair(resolutionChanges[0].width, resolutionChanges[0].height), Pair(1020, 700));
        EXPECT_EQ(resolutionChanges[0].framesOfNewestEncoder, 0);
    }
    ASSERT_TRUE(capture->deliver(640, 480, pattern));
    EXPECT_EQ(world.encoderCount(), 3u);
    std::lock_guard lock(mutex);
    ASSERT_EQ(resolutionChanges.size(), 2u);
    EXPECT_EQ(resolutionChanges[1].width, 640u);
}

// A window resized 40 times in one second: the encoder follows at most every
// 100 ms and ends at the last size. A change that must wait while the window
// then stays still is made from the capture's repeat of its newest picture.
TEST_F(Orchestrator, ResizeFloodRecreatesTheEncoderAtMostEvery100msAndTheLastSizeWins) {
    FakeCapture* capture = start(0x100, 1, 320, 240);
    ASSERT_TRUE(capture->deliver(320, 240, pattern));
    const auto began = std::chrono::steady_clock::now();
    std::uint32_t width = 320;
    for (int i = 1; i <= 40; ++i) {
        width = 320 + 16 * i;  // a new padded size every time
        ASSERT_TRUE(capture->deliver(width, 240, pattern));
        std::this_thread::sleep_until(began + i * 25ms);
    }
    // Encoded by an encoder of the last size: its change was notified by then.
    const auto encodedAtWidth = [&](std::uint32_t w) {
        const auto newest = world.encoder(world.encoderCount() - 1);
        return newest->config.width == w && newest->frames.load() > 0;
    };
    // A slow machine (a sanitizer, two loaded cores) stretches the second; the bound follows it.
    const auto took = std::chrono::steady_clock::now() - began;
    ASSERT_TRUE(eventually([&] { return encodedAtWidth(width); }, 2s));
    EXPECT_EQ(resolution(1), Pair(width, 240));
    const std::size_t recreations = world.encoderCount() - 1;
    EXPECT_GE(recreations, 2u);
    EXPECT_LE(recreations, 1u + static_cast<std::size_t>(took / CaptureOrchestrator::kMinRecreateInterval));
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(resolutionChanges.size(), recreations);
        EXPECT_EQ(Pair(resolutionChanges.back().width, resolutionChanges.back().height), Pair(width, 240));
    }

    // Two changes at once, then stillness: the second waits for its repeat. Tried again with new
    // sizes when the machine took the interval over between the two deliveries.
    std::uint32_t first = 1200;
    std::uint32_t second = 1232;
    for (int attempt = 0;; ++attempt, first += 64, second += 64) {
        std::this_thread::sleep_for(CaptureOrchestrator::kMinRecreateInterval + 20ms);
        const std::size_t before = world.encoderCount();
        const int repeatsBefore = capture->repeats();
        ASSERT_TRUE(capture->deliver(first, 240, pattern));
        const auto firstAt = std::chrono::steady_clock::now();
        ASSERT_EQ(world.encoderCount(), before + 1) << "a change after a quiet spell is made at once";
        ASSERT_TRUE(capture->deliver(second, 240, pattern));
        const bool inTime = std::chrono::steady_clock::now() - firstAt < CaptureOrchestrator::kMinRecreateInterval / 2;
        if (!inTime && attempt < 5) {
            ASSERT_TRUE(eventually([&] { return encodedAtWidth(second); }, 2s));
            continue;
        }
        ASSERT_TRUE(inTime) << "the machine never delivered two frames within 50 ms";
        EXPECT_EQ(world.encoderCount(), before + 1) << "the second change waits";
        EXPECT_EQ(resolution(1), Pair(first, 240));
        ASSERT_TRUE(eventually([&] { return encodedAtWidth(second); }, 2s));
        EXPECT_EQ(resolution(1), Pair(second, 240));
        EXPECT_GT(capture->repeats(), repeatsBefore);
        break;
    }
    const auto newest = world.encoder(world.encoderCount() - 1);
    EXPECT_EQ(newest->config.width, second);
    const auto frames = newest->receivedFrames();
    ASSERT_FALSE(frames.empty());
    expectPadded(frames[0], second, 240, pattern);
    EXPECT_FALSE(newest->wrongSize.load());
}

// All captures together hold at most twice the largest picture (in coded
// pixels): starts beyond are refused, and a stream whose window grows beyond
// ends at the next update.
TEST_F(Orchestrator, CapturesTogetherHoldAtMostTwiceTheLargestPicture) {
    ASSERT_TRUE(start(0x100, 1, 8192, 4352));
    ASSERT_TRUE(start(0x200, 2, 8192, 4352));
    world.addWindow(0x300, 16, 16);
    EXPECT_FALSE(orch.startCapture(0x300, 3));
    EXPECT_EQ(world.encoderCount(), 2u);
    EXPECT_EQ(world.liveCaptures.load(), 2);

    // A restart of stream 2 gives its pixels back first.
    EXPECT_TRUE(orch.startCapture(0x300, 2));
    FakeCapture* grower = world.captureOf(0x300);
    ASSERT_TRUE(grower);
    ASSERT_TRUE(start(0x400, 3, 8192, 4336));  // 16 rows short of the largest
    EXPECT_EQ(orch.pixelsUnderCaptureIfResized(0x300, 64, 64), 8192ull * 4352 + 8192ull * 4336 + 64 * 64);
    EXPECT_EQ(orch.pixelsUnderCaptureIfResized(0x400, 8192, 4352), 2 * 8192ull * 4352 + 16 * 16);
    ASSERT_TRUE(grower->deliver(64, 64, pattern));
    EXPECT_EQ(resolution(2), Pair(64, 64)) << "still within";
    ASSERT_TRUE(grower->deliver(512, 512, pattern));
    EXPECT_EQ(resolution(2), Pair(64, 64)) << "beyond: no encoder for it";
    std::vector<std::uint8_t> outgrown;
    EXPECT_EQ(orch.update(&outgrown), std::vector<std::uint8_t>{2});
    EXPECT_EQ(outgrown, std::vector<std::uint8_t>{2});
    EXPECT_TRUE(exists(1));
    EXPECT_TRUE(exists(3));
}

TEST_F(Orchestrator, FailedRecreationDropsFramesUntilTheStreamStops) {
    FakeCapture* capture = start(0x100, 5, 1000, 700);
    world.encoderCreationsLeft = 0;
    ASSERT_TRUE(capture->deliver(1000, 700, pattern));
    ASSERT_TRUE(capture->deliver(1100, 700, pattern));  // re-creation fails
    EXPECT_TRUE(world.encoder(0)->destroyed.load());
    world.encoderCreationsLeft = 10;
    ASSERT_TRUE(capture->deliver(1100, 700, pattern));  // dropped, no new attempt
    EXPECT_EQ(world.encoderCount(), 1u);
    EXPECT_FALSE(orch.getParameterSets(5).isValid);
    EXPECT_EQ(resolution(5), Pair(1000, 700)) << "the stored size changes only with a successful re-creation";
    {
        std::lock_guard lock(mutex);
        EXPECT_TRUE(resolutionChanges.empty());
        EXPECT_EQ(encoded.size(), 1u);
    }
    orch.stopCapture(5);
    EXPECT_FALSE(exists(5));
    EXPECT_EQ(world.liveCaptures.load(), 0);
}

TEST_F(Orchestrator, StopAndRestartReleaseTheOldSession) {
    FakeCapture* capture = start(0x100, 6, 320, 240);
    ASSERT_TRUE(capture->deliver(320, 240, pattern));
    world.addWindow(0x200, 640, 480);
    ASSERT_TRUE(orch.startCapture(0x200, 6));  // the same id again
    EXPECT_TRUE(world.encoder(0)->destroyed.load());
    EXPECT_EQ(world.captureOf(0x100), nullptr) << "the old capture was not released";
    FakeCapture* fresh = world.captureOf(0x200);
    ASSERT_NE(fresh, nullptr);
    ASSERT_TRUE(fresh->deliver(640, 480, pattern));
    EXPECT_EQ(world.encoder(1)->frames.load(), 1);
    EXPECT_EQ(resolution(6), Pair(640, 480));

    orch.stopCapture(6);
    EXPECT_TRUE(world.encoder(1)->destroyed.load());
    EXPECT_EQ(world.liveCaptures.load(), 0);
    EXPECT_EQ(world.liveEncoders.load(), 0);
    orch.stopCapture(6);  // "Stream 6 not found", nothing else
    std::uint32_t w = 1, h = 2;
    EXPECT_FALSE(orch.getStreamResolution(6, w, h));
    EXPECT_EQ(Pair(w, h), Pair(1, 2)) << "outputs written for a missing stream";
}

TEST_F(Orchestrator, FailedStartsLeaveNothingBehind) {
    EXPECT_FALSE(orch.startCapture(0x999, 1));  // no such window
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
    EXPECT_FALSE(exists(1));

    // A failed restart still ends the stream that had that id.
    start(0x100, 1, 320, 240);
    EXPECT_FALSE(orch.startCapture(0x999, 1));
    EXPECT_FALSE(exists(1));
    EXPECT_EQ(world.liveCaptures.load(), 0);
}

TEST_F(Orchestrator, UpdateRemovesEndedSessionsAndReportsThem) {
    FakeCapture* a = start(0x100, 1, 320, 240);
    start(0x200, 2, 320, 240);
    start(0x300, 3, 320, 240);
    EXPECT_TRUE(orch.update().empty());

    a->endByItself();
    world.removeWindow(0x300);
    auto dropped = orch.update();
    std::sort(dropped.begin(), dropped.end());
    EXPECT_EQ(dropped, (std::vector<std::uint8_t>{1, 3}));
    EXPECT_FALSE(exists(1));
    EXPECT_TRUE(exists(2));
    EXPECT_FALSE(exists(3));
    EXPECT_TRUE(orch.update().empty());
    EXPECT_EQ(world.liveCaptures.load(), 1);
}

TEST_F(Orchestrator, PerStreamCommandsAndSettingsForLaterEncoders) {
    FakeCapture* capture = start(0x100, 1, 320, 240);
    start(0x200, 2, 320, 240);
    orch.setStreamBitrate(2, 8000, 12000);
    orch.requestKeyframe(1);
    EXPECT_EQ(world.encoder(1)->bitrate.load(), 8000u);
    EXPECT_EQ(world.encoder(1)->maxBitrate.load(), 12000u);
    EXPECT_EQ(world.encoder(0)->bitrate.load(), 0u);
    // The keyframe comes with the stream's next frame, of stream 1 only.
    ASSERT_TRUE(capture->deliver(320, 240, pattern));
    EXPECT_EQ(world.encoder(0)->frames.load(), 1);
    EXPECT_FALSE(world.encoder(1)->keyframeWanted.load());
    EXPECT_TRUE(orch.getParameterSets(1).isValid);
    orch.requestKeyframe(9);  // unknown streams: nothing happens
    orch.setStreamBitrate(9, 1, 1);
    const auto none = orch.getParameterSets(9);
    EXPECT_FALSE(none.isValid);
    EXPECT_TRUE(none.sps.empty() && none.pps.empty() && none.vps.empty());

    orch.setBitrate(5000, 7000);
    orch.setFrameRate(30);
    orch.setFullRangeColor(true);
    EXPECT_EQ(world.encoder(0)->config.bitrateKbps, 20000u);  // running encoders keep theirs
    ASSERT_TRUE(capture->deliver(400, 240, pattern));          // re-created
    auto enc = world.encoder(2);
    ASSERT_TRUE(enc);
    EXPECT_EQ(enc->config.bitrateKbps, 5000u);
    EXPECT_EQ(enc->config.maxBitrateKbps, 7000u);
    EXPECT_EQ(enc->config.fps, 30u);
    EXPECT_TRUE(enc->config.fullRange);
    EXPECT_EQ(enc->config.gopLength, 60u);
    EXPECT_EQ(enc->config.sliceCount, 4u);
}

TEST_F(Orchestrator, KeyframeRequestsAreCoalescedAndAStillWindowGetsItsLastPictureAgain) {
    FakeCapture* capture = start(0x100, 1, 320, 240);
    ASSERT_TRUE(capture->deliver(320, 240, pattern));
    const auto keyframes = [&] {
        std::lock_guard lock(mutex);
        return std::count_if(encoded.begin(), encoded.end(), [](const Encoded& e) { return e.keyframe; });
    };
    ASSERT_EQ(keyframes(), 1);  // the encoder's first frame

    // Nothing moves: the last picture is encoded again, as a keyframe, soon.
    const auto asked = std::chrono::steady_clock::now();
    orch.requestKeyframe(1);
    ASSERT_TRUE(eventually([&] { return keyframes() == 2; }));
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 200ms);
    EXPECT_EQ(capture->repeats(), 1);
    const auto frames = world.encoder(0)->receivedFrames();
    ASSERT_EQ(frames.size(), 2u);
    expectPadded(frames[1], 320, 240, pattern);

    // A flood of requests among moving frames: at most one forced keyframe per 100 ms.
    std::atomic<bool> flooding{true};
    std::thread flood([&] {
        while (flooding) {
            orch.requestKeyframe(1);
            std::this_thread::sleep_for(1ms);
        }
    });
    const auto started = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - started < 1s) {
        ASSERT_TRUE(capture->deliver(320, 240, pattern));
        std::this_thread::sleep_for(2ms);
    }
    flooding = false;
    flood.join();
    const auto forced = keyframes() - 2;
    EXPECT_GE(forced, 8);
    EXPECT_LE(forced, 11);
}

TEST_F(Orchestrator, WindowsLargerThanH264CarriesAreRefusedAndEndTheirStreamWhenTheyGrow) {
    for (auto [w, h] : {Pair{8193, 100}, Pair{100, 8200}, Pair{8192, 4353}}) {
        world.addWindow(0x500, w, h);
        EXPECT_FALSE(orch.startCapture(0x500, 5)) << w << "x" << h;
    }
    EXPECT_EQ(world.encoderCount(), 0u);
    FakeCapture* big = start(0x100, 1, 320, 240);
    ASSERT_TRUE(big);
    FakeCapture* small = start(0x200, 2, 320, 240);
    ASSERT_TRUE(big->deliver(8200, 16, white));
    EXPECT_EQ(world.encoderCount(), 2u) << "no encoder for the grown size";
    ASSERT_TRUE(small->deliver(320, 240, pattern));
    std::vector<std::uint8_t> outgrown;
    EXPECT_EQ(orch.update(&outgrown), std::vector<std::uint8_t>{1});
    EXPECT_EQ(outgrown, std::vector<std::uint8_t>{1});
    EXPECT_TRUE(exists(2));
}

TEST_F(Orchestrator, StopWaitsForTheFrameInFlightAndWorksFromInsideTheCallback) {
    FakeCapture* slow = start(0x100, 1, 320, 240);
    auto slowEncoder = world.encoder(0);
    slowEncoder->slowEncode = 300ms;
    std::thread deliverer([&] { slow->deliver(320, 240, pattern); });
    ASSERT_TRUE(eventually([&] { return slowEncoder->inEncode.load(); }));
    orch.stopCapture(1);
    EXPECT_FALSE(slowEncoder->inEncode.load()) << "stopCapture returned while the frame was still encoding";
    EXPECT_TRUE(slowEncoder->destroyed.load());
    EXPECT_FALSE(slowEncoder->misuse.load());
    deliverer.join();

    FakeCapture* capture = start(0x200, 2, 320, 240);
    auto enc = world.encoder(1);
    orch.setEncodedFrameCallback([&](std::uint8_t id, const std::uint8_t*, std::uint64_t, bool) { orch.stopCapture(id); });
    ASSERT_TRUE(capture->deliver(320, 240, pattern));
    EXPECT_FALSE(enc->misuse.load()) << "encoder shut down inside its own encodeFrame";
    EXPECT_TRUE(enc->destroyed.load());
    EXPECT_EQ(world.liveCaptures.load(), 0);
}

TEST_F(Orchestrator, ShutdownStopsEverythingOnceAndUninitialisedRefusesStreams) {
    start(0x100, 1, 320, 240);
    start(0x200, 2, 320, 240);
    orch.shutdown();
    orch.shutdown();
    EXPECT_EQ(world.liveCaptures.load(), 0);
    EXPECT_EQ(world.liveEncoders.load(), 0);
    world.addWindow(0x300, 320, 240);
    EXPECT_FALSE(orch.startCapture(0x300, 3));

    CaptureOrchestrator fresh(world.services());
    EXPECT_FALSE(fresh.startCapture(0x300, 1));
    EXPECT_EQ(world.liveCaptures.load(), 0);
    EXPECT_EQ(fresh.getEncoderName(), "");
    ASSERT_TRUE(fresh.initialize());
    EXPECT_EQ(fresh.getEncoderName(), "Fake");  // no hardware encoder: the fallback's name
    EXPECT_TRUE(fresh.initialize());
}

}  // namespace quillane::host::test
