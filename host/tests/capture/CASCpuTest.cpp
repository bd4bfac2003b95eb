#include "capture/CasCpu.h"
#include "capture/PixelWorkers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

using namespace quillane::host;

namespace {

struct Image {
    std::uint32_t width, height, pitch;
    std::vector<std::uint8_t> bytes;
    Image(std::uint32_t w, std::uint32_t h, std::uint8_t grey, std::uint32_t extraPitch = 0)
        : width(w), height(h), pitch(w * 4 + extraPitch), bytes(std::size_t(pitch) * h, 0) {
        for (std::uint32_t y = 0; y < h; ++y)
            for (std::uint32_t x = 0; x < w; ++x) set(x, y, grey, grey, grey);
    }
    void set(std::uint32_t x, std::uint32_t y, std::uint8_t b, std::uint8_t g, std::uint8_t r) {
        auto* p = &bytes[std::size_t(y) * pitch + x * 4];
        p[0] = b, p[1] = g, p[2] = r, p[3] = 0x5a;  // the fourth byte is undefined in captures
    }
    std::uint8_t at(std::uint32_t x, std::uint32_t y, int ch) const { return bytes[std::size_t(y) * pitch + x * 4 + ch]; }
    CasImage view() const { return {bytes.data(), pitch, width, height}; }
};

Image sharpen(const Image& src, float sharpness, PixelWorkers* workers = nullptr) {
    Image out(src.width, src.height, 0);
    casSharpen(src.view(), out.bytes.data(), out.pitch, sharpness, workers);
    return out;
}

void expectGrey(const Image& img, std::uint32_t x, std::uint32_t y, int value) {
    for (int ch = 0; ch < 3; ++ch) EXPECT_EQ(img.at(x, y, ch), value) << "at " << x << "," << y << " channel " << ch;
    EXPECT_EQ(img.at(x, y, 3), 255) << "alpha at " << x << "," << y;
}

// The formula applied directly in double precision, pixel by pixel, with clamped
// edges: the independent check for the vectorised rows.
double formula(const Image& img, int x, int y, int ch, double sharpness) {
    auto px = [&](int dx, int dy) {
        const int cx = std::clamp(x + dx, 0, int(img.width) - 1);
        const int cy = std::clamp(y + dy, 0, int(img.height) - 1);
        return img.at(cx, cy, ch) / 255.0;
    };
    const double a = px(-1, -1), b = px(0, -1), c = px(1, -1), d = px(-1, 0), e = px(0, 0), f = px(1, 0),
                 g = px(-1, 1), h = px(0, 1), i = px(1, 1);
    const double mnCross = std::min({b, d, e, f, h}), mxCross = std::max({b, d, e, f, h});
    const double mn = mnCross + std::min({mnCross, a, c, g, i});
    const double mx = mxCross + std::max({mxCross, a, c, g, i});
    const double amount = mx > 0 ? std::clamp(std::min(mn, 2.0 - mx) / mx, 0.0, 1.0) : 0.0;
    const double w = -std::sqrt(amount) / (8.0 - 3.0 * sharpness);
    return std::clamp((w * (b + d + f + h) + e) / (1 + 4 * w), 0.0, 1.0) * 255.0;
}

}  // namespace

// A grey 100 field with one 160 pixel at sharpness 0 (peak 8): the centre's
// neighbourhood has soft min 200 and soft max 320 (in 0..255 units), so
// amount = 190 / 320 and w = -sqrt(0.59375) / 8 = -0.0963; the centre becomes
// (160 + 4 * 100 w) / (1 + 4w) = 197.6 -> 198. Its four cross neighbours see the
// 160 in their cross (same w): (100 + (160 + 300) w) / (1 + 4w) = 90.6 -> 91. The
// diagonal neighbours see it only outside their cross, so their cross is uniform
// and they keep 100, as does everything further away.
TEST(CASCpu, SinglePeakInGreyFieldAtSharpnessZero) {
    Image src(9, 9, 100);
    src.set(4, 4, 160, 160, 160);
    const Image out = sharpen(src, 0.0f);
    expectGrey(out, 4, 4, 198);
    expectGrey(out, 3, 4, 91);
    expectGrey(out, 5, 4, 91);
    expectGrey(out, 4, 3, 91);
    expectGrey(out, 4, 5, 91);
    for (auto [x, y] : {std::pair{3, 3}, {5, 3}, {3, 5}, {5, 5}, {2, 4}, {4, 2}, {0, 0}, {8, 8}}) expectGrey(out, x, y, 100);
}

// Sharpness 1 gives peak 5: w = -sqrt(0.59375) / 5 = -0.154; the centre overshoots
// past 1.0 and saturates at 255, the cross neighbours go to 75.9 -> 76.
TEST(CASCpu, SinglePeakAtFullSharpness) {
    Image src(9, 9, 100);
    src.set(4, 4, 160, 160, 160);
    const Image out = sharpen(src, 1.0f);
    expectGrey(out, 4, 4, 255);
    expectGrey(out, 4, 3, 76);
    expectGrey(out, 5, 5, 100);
}

// At a corner the clamped neighbourhood repeats the corner pixel: a 160 at (0,0)
// has b = d = e = 160, f = h = 100, so the same w gives
// (160 + 520 w) / (1 + 4w) = 178.8 -> 179; its right neighbour sees the 160 as d
// and as a: 90.6 -> 91.
TEST(CASCpu, EdgesUseClampedNeighbours) {
    Image src(6, 5, 100);
    src.set(0, 0, 160, 160, 160);
    const Image out = sharpen(src, 0.0f);
    expectGrey(out, 0, 0, 179);
    expectGrey(out, 1, 0, 91);
    expectGrey(out, 0, 1, 91);
    expectGrey(out, 1, 1, 100);

    Image last(6, 5, 100);
    last.set(5, 4, 160, 160, 160);
    expectGrey(sharpen(last, 0.0f), 5, 4, 179);
}

// A step from 50 to 200 at full sharpness (peak 5): on both sides of it the soft
// minimum is 100 and the soft maximum 400, so amount = 0.25 and w = -0.5 / 5 = -0.1.
// The dark side gives (50 - 0.1 * 350) / 0.6 = 25, the bright side
// (200 - 0.1 * 650) / 0.6 = 225. Each channel is handled on its own.
TEST(CASCpu, ChannelsAreIndependentAndStepsOvershoot) {
    Image src(16, 3, 0);
    for (std::uint32_t y = 0; y < 3; ++y)
        for (std::uint32_t x = 0; x < 16; ++x) src.set(x, y, x < 8 ? 50 : 200, 77, 0);
    const Image out = sharpen(src, 1.0f);
    for (std::uint32_t y = 0; y < 3; ++y) {
        EXPECT_EQ(out.at(7, y, 0), 25);
        EXPECT_EQ(out.at(8, y, 0), 225);
        EXPECT_EQ(out.at(3, y, 0), 50);
        EXPECT_EQ(out.at(12, y, 0), 200);
        for (std::uint32_t x = 0; x < 16; ++x) {
            EXPECT_EQ(out.at(x, y, 1), 77);  // uniform channel: unchanged
            EXPECT_EQ(out.at(x, y, 2), 0);   // all-black channel: unchanged, no 0/0
            EXPECT_EQ(out.at(x, y, 3), 255);
        }
    }
}

TEST(CASCpu, UniformBlackAndWhiteAreUnchanged) {
    for (int grey : {0, 1, 128, 254, 255}) {
        for (float s : {0.0f, 0.7f, 1.0f}) {
            const Image out = sharpen(Image(37, 4, static_cast<std::uint8_t>(grey)), s);
            for (std::uint32_t y = 0; y < 4; ++y)
                for (std::uint32_t x = 0; x < 37; ++x) expectGrey(out, x, y, grey);
        }
    }
}

// Full intensity next to the pixel gives amount 0: no sharpening at all.
TEST(CASCpu, NeighbourhoodTouchingFullIntensityIsUnchanged) {
    Image src(8, 3, 120);
    src.set(4, 1, 255, 255, 255);
    const Image out = sharpen(src, 1.0f);
    expectGrey(out, 4, 1, 255);
    expectGrey(out, 3, 1, 120);
    expectGrey(out, 4, 0, 120);
}

// Random images of awkward widths: every pixel matches the formula evaluated
// directly (the vectorised interior, the scalar tail and the clamped edges).
TEST(CASCpu, MatchesFormulaOnRandomImages) {
    std::mt19937 rng(11);
    for (std::uint32_t width : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 17u, 64u, 101u}) {
        for (std::uint32_t height : {1u, 2u, 7u}) {
            Image src(width, height, 0, 12);
            for (auto& b : src.bytes) b = static_cast<std::uint8_t>(rng());
            for (float s : {0.0f, 0.35f, 1.0f}) {
                const Image out = sharpen(src, s);
                for (std::uint32_t y = 0; y < height; ++y) {
                    for (std::uint32_t x = 0; x < width; ++x) {
                        for (int ch = 0; ch < 3; ++ch) {
                            const double want = formula(src, int(x), int(y), ch, s);
                            EXPECT_LE(std::abs(out.at(x, y, ch) - want), 0.5 + 1e-3)
                                << width << "x" << height << " at " << x << "," << y << " ch " << ch;
                        }
                        EXPECT_EQ(out.at(x, y, 3), 255);
                    }
                }
            }
        }
    }
}

// Split across threads, into a larger (padded) target: the same bytes, and the
// target outside the source's size is not written.
TEST(CASCpu, ThreadsGiveSameResultAndLeaveBorderAlone) {
    std::mt19937 rng(5);
    Image src(333, 97, 0);
    for (auto& b : src.bytes) b = static_cast<std::uint8_t>(rng());
    const Image inline_ = sharpen(src, 0.7f);

    PixelWorkers workers(3);
    const std::uint32_t padW = 336, padH = 112, pitch = padW * 4;
    std::vector<std::uint8_t> padded(std::size_t(pitch) * padH, 0xEE);
    casSharpen(src.view(), padded.data(), pitch, 0.7f, &workers);
    for (std::uint32_t y = 0; y < padH; ++y) {
        for (std::uint32_t x = 0; x < padW; ++x) {
            for (int ch = 0; ch < 4; ++ch) {
                const auto got = padded[std::size_t(y) * pitch + x * 4 + ch];
                if (x < src.width && y < src.height) {
                    ASSERT_EQ(got, inline_.at(x, y, ch)) << x << "," << y;
                } else {
                    ASSERT_EQ(got, 0xEE) << "border written at " << x << "," << y;
                }
            }
        }
    }
}

TEST(CASCpu, WorkersRunEveryPartOnceFromSeveralSubmitters) {
    PixelWorkers workers(2);
    std::vector<std::thread> submitters;
    std::vector<std::vector<int>> counts(4, std::vector<int>(50, 0));
    for (int t = 0; t < 4; ++t) {
        submitters.emplace_back([&, t] {
            for (int round = 0; round < 200; ++round)
                workers.run(50, [&](std::size_t i) { ++counts[t][i]; });
        });
    }
    for (auto& s : submitters) s.join();
    for (auto& c : counts)
        for (int v : c) EXPECT_EQ(v, 200);
}
