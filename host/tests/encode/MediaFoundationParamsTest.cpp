#include "encode/MediaFoundationParams.h"

#include <vector>

#include <gtest/gtest.h>

#include "encode/EncoderSupport.h"

namespace quillane::host::test {
namespace {

// Levels against H.264 Table A-1: the frame size and macroblock rate pick the
// level unless the peak bitrate needs a higher one.
TEST(MediaFoundationParams, H264LevelFromSizeRateAndPeak) {
    struct Case {
        std::uint32_t width, height, fps, peakKbps, level;
    };
    const Case cases[] = {
        {1280, 720, 30, 10000, 31},   // 108000 macroblocks/s is exactly 3.1's limit
        {1280, 720, 30, 20000, 32},   // the bitrate is above 3.1's 14 Mbit/s
        {1280, 720, 31, 10000, 32},
        {1920, 1088, 72, 50000, 50},  // 587520 macroblocks/s: beyond 4.2
        {1920, 1080, 30, 50000, 41},
        {2560, 1440, 90, 50000, 52},  // 1296000 macroblocks/s
        {3840, 2160, 60, 50000, 52},  // 1944000 macroblocks/s, 32400 per frame
        {3840, 2160, 60, 300000, 61},
        {7680, 4320, 240, 900000, 62},  // beyond every level: the highest
        {8192, 16, 1, 64, 51},          // 512 macroblocks wide: beyond 5.0's sqrt(8 x MaxFS) of 420
        {9216, 16, 1, 64, 60},          // 576: beyond 5.2's 543
        {176, 144, 15, 64, 10},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(h264LevelFor(c.width, c.height, c.fps, c.peakKbps), c.level)
            << c.width << "x" << c.height << "@" << c.fps << " " << c.peakKbps;
    }
}

TEST(MediaFoundationParams, SampleClockIn100Nanoseconds) {
    EXPECT_EQ(mfSampleTime(0, 72), 0u);
    EXPECT_EQ(mfSampleDuration(72), 138888u);
    EXPECT_EQ(mfSampleTime(9, 72), 1250000u);
    EXPECT_EQ(mfSampleTime(0xFFFFFFFFu, 240), 0xFFFFFFFFull * 10'000'000 / 240);  // no 32-bit wrap
    EXPECT_EQ(bitsPerSecond(6000), 6'000'000u);
    EXPECT_EQ(bitsPerSecond(4'294'967), 4'294'967'000u);
    EXPECT_EQ(bitsPerSecond(4'294'968), 0xFFFFFFFFu);  // held, not wrapped
}

std::vector<std::uint8_t> convert(const std::vector<std::uint8_t>& bgra, std::uint32_t pitch, std::uint32_t width,
                                  std::uint32_t height) {
    std::vector<std::uint8_t> nv12(std::size_t{width} * height * 3 / 2, 0xEE);
    bgraToNv12(bgra.data(), pitch, width, height, nv12.data());
    return nv12;
}

TEST(MediaFoundationParams, SolidColoursToLimitedRangeNv12) {
    struct Case {
        std::uint8_t b, g, r, y, u, v;
    };
    const Case cases[] = {
        {255, 255, 255, 235, 128, 128},
        {0, 0, 0, 16, 128, 128},
        {0, 0, 255, 82, 90, 240},
    };
    for (const Case& c : cases) {
        std::vector<std::uint8_t> bgra;
        for (int i = 0; i < 4 * 2; ++i) {
            bgra.insert(bgra.end(), {c.b, c.g, c.r, 0xFF});
        }
        const std::vector<std::uint8_t> nv12 = convert(bgra, 16, 4, 2);
        EXPECT_EQ(nv12, (std::vector<std::uint8_t>{c.y, c.y, c.y, c.y, c.y, c.y, c.y, c.y, c.u, c.v, c.u, c.v}));
    }
}

// Chroma comes from the 2 x 2 average, rows start at the pitch, alpha is ignored.
TEST(MediaFoundationParams, ChromaFromTheBlockAverage) {
    const std::uint32_t pitch = 12;  // two pixels and four bytes of row padding
    std::vector<std::uint8_t> bgra(pitch * 2, 0x55);
    const std::uint8_t pixels[2][8] = {{0, 0, 255, 0, 0, 0, 0, 7}, {0, 0, 0, 9, 0, 0, 0, 0}};
    for (int row = 0; row < 2; ++row) {
        std::copy(pixels[row], pixels[row] + 8, bgra.begin() + row * pitch);
    }
    const std::vector<std::uint8_t> nv12 = convert(bgra, pitch, 2, 2);
    // One red pixel and three black ones average to R 63: U 119 and V 156, not red's 90 and 240.
    EXPECT_EQ(nv12, (std::vector<std::uint8_t>{82, 16, 16, 16, 119, 156}));
}

}  // namespace
}  // namespace quillane::host::test
