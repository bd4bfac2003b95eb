#include "encode/EncoderSupport.h"

#include <gtest/gtest.h>

#include "EncodeLog.h"

namespace quillane::host::test {
namespace {

TEST(EncoderConfigCheck, RefusesWhatWouldBreakAnEncoder) {
    const std::pair<const char*, void (*)(EncoderConfig&)> cases[] = {
        {"fps 0", [](EncoderConfig& c) { c.fps = 0; }},
        {"width 0", [](EncoderConfig& c) { c.width = 0; }},
        {"height 0", [](EncoderConfig& c) { c.height = 0; }},
        {"odd width", [](EncoderConfig& c) { c.width = 1921; }},
        {"odd height", [](EncoderConfig& c) { c.height = 1081; }},
        {"bitrate 0", [](EncoderConfig& c) { c.bitrateKbps = 0; }},
        {"peak 0", [](EncoderConfig& c) { c.maxBitrateKbps = 0; }},
        {"bitrate overflows", [](EncoderConfig& c) { c.bitrateKbps = 4294968; }},
        {"peak overflows", [](EncoderConfig& c) { c.maxBitrateKbps = 4294968; }},
    };
    for (const auto& [what, change] : cases) {
        test::EncodeLog log;
        EncoderConfig config;
        change(config);
        EXPECT_FALSE(validateEncoderConfig("Test", config)) << what;
        EXPECT_EQ(log.countPrefix(spdlog::level::err, "Test encoder: invalid config: "), 1) << what;
    }
    EncoderConfig largest;
    largest.bitrateKbps = largest.maxBitrateKbps = 4294967;
    largest.fps = 1;
    EXPECT_TRUE(validateEncoderConfig("Test", largest));
}

TEST(EncoderSupport, RatesAndStatistics) {
    EXPECT_EQ(oneFrameAtPeak(50000, 72, 1), 694u);
    EXPECT_EQ(oneFrameAtPeak(50, 240, 1), 1u);  // never an empty buffer

    // Requests between two frames: the newest wins, once.
    PendingBitrate pending;
    EXPECT_FALSE(pending.take());
    pending.request(8000, 16000);
    pending.request(2000, 4000);
    const auto rates = pending.take();
    ASSERT_TRUE(rates);
    EXPECT_EQ(rates->bitrateKbps, 2000u);
    EXPECT_EQ(rates->maxBitrateKbps, 4000u);
    EXPECT_FALSE(pending.take());

    EncoderStatsRecorder stats;
    stats.addFrame(100);
    stats.addFrame(50);
    stats.addFrameSubmitted();
    stats.addBytes(7);
    EXPECT_EQ(stats.get().framesEncoded, 3u);
    EXPECT_EQ(stats.get().bytesEncoded, 157u);
    EXPECT_EQ(stats.get().avgEncodeTimeMs, 0.0);
    // The average moves a twentieth of the way to each new time.
    stats.addEncodeTime(std::chrono::steady_clock::now() - std::chrono::milliseconds(100));
    EXPECT_GE(stats.get().avgEncodeTimeMs, 0.05 * 100);
    EXPECT_LT(stats.get().avgEncodeTimeMs, 0.05 * 200);
}

}  // namespace
}  // namespace quillane::host::test
