#include "encode/linux/SoftwareEncoder.h"

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "EncodeLog.h"
#include "TestFrames.h"

namespace quillane::host::test {
namespace {

// Congestion control and keyframe requests arrive on network threads while the
// capture thread encodes; they must only leave requests for the encoding thread.
TEST(SoftwareEncoderThreads, RequestsFromOtherThreadsDuringEncoding) {
    test::EncodeLog log;
    EncoderConfig config;
    config.width = 320;
    config.height = 240;
    config.bitrateKbps = 2000;
    config.maxBitrateKbps = 4000;
    config.fps = 60;
    config.gopLength = 1000;
    config.sliceCount = 2;
    SoftwareEncoder encoder;
    ASSERT_TRUE(encoder.initialize(nullptr, config));
    std::atomic<int> keyframes{0};
    std::atomic<int> callbacksWithParameterSets{0};
    encoder.setOutputCallback([&](const EncodedFrame& frame) {
        keyframes += frame.isKeyframe;
        callbacksWithParameterSets += encoder.getParameterSets().isValid;
    });

    std::atomic<bool> running{true};
    std::thread network([&] {
        for (std::uint32_t i = 0; running; ++i) {
            encoder.setBitrate(1000 + (i % 7) * 500, 3000 + (i % 5) * 500);
            if (i % 50 == 0) {
                encoder.requestKeyframe();
            }
            std::this_thread::yield();
        }
    });
    std::thread reader([&] {
        while (running) {
            EXPECT_LE(encoder.getStats().framesEncoded, 200u);
            (void)encoder.getParameterSets();
            std::this_thread::yield();
        }
    });
    test::BgraImage image(320, 240);
    int encoded = 0;
    for (int t = 0; t < 200; ++t) {
        image.drawMovingPattern(t);
        const BgraFrame frame = image.frame();
        encoded += encoder.encodeFrame(&frame);
    }
    running = false;
    network.join();
    reader.join();
    EXPECT_EQ(encoded, 200);
    EXPECT_EQ(encoder.getStats().framesEncoded, 200u);
    EXPECT_EQ(callbacksWithParameterSets.load(), 200);
    EXPECT_GE(log.countPrefix(spdlog::level::info, "Bitrate updated to "), 1);

    // Once the requests stop, the last one is what the encoder runs at.
    log.clear();
    const int keyframesBefore = keyframes.load();
    encoder.setBitrate(1234, 2468);
    encoder.requestKeyframe();
    const BgraFrame frame = image.frame();
    ASSERT_TRUE(encoder.encodeFrame(&frame));
    EXPECT_TRUE(log.has(spdlog::level::info, "Bitrate updated to 1234 / 2468 kbps"));
    EXPECT_EQ(keyframes.load(), keyframesBefore + 1);
}

}  // namespace
}  // namespace quillane::host::test
