#include "capture/CasCpu.h"
#include "capture/PixelWorkers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>


namespace quillane::host::test {

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

Image sharpen(const Image& src, float sharpness) {
    Image out(src.width, src.height, 0);
    casSharpen(src.view(), out.bytes.data(), out.pitch, sharpness, nullptr);
    return out;
}

// The formula in double precision with clamped edges: the independent check for the vectorised rows.
double formula(const Image& img, int x, int y, int ch, double sharpness) {
    auto px = [&](int dx, int dy) {
        return img.at(std::clamp(x + dx, 0, int(img.width) - 1), std::clamp(y + dy, 0, int(img.height) - 1), ch) / 255.0;
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

// Values worked out by hand: one bright pixel in a grey field.
TEST(CASCpu, SinglePeakGivesTheHandComputedValues) {
    struct Point {
        std::uint32_t x, y;
        int grey;
    };
    struct Case {
        const char* what;
        std::uint32_t w, h;
        std::uint8_t field;
        std::uint32_t px, py;
        std::uint8_t peak;
        float sharpness;
        std::vector<Point> expect;
    };
    const Case cases[] = {
        // amount 190/320, w = -0.0963: centre 197.6, cross 90.6; diagonals see a uniform cross.
        {"centre, sharpness 0", 9, 9, 100, 4, 4, 160, 0.0f,
         {{4, 4, 198}, {3, 4, 91}, {5, 4, 91}, {4, 3, 91}, {4, 5, 91}, {3, 3, 100}, {5, 3, 100}, {3, 5, 100},
          {5, 5, 100}, {2, 4, 100}, {4, 2, 100}, {0, 0, 100}, {8, 8, 100}}},
        // peak 5, w = -0.154: the centre saturates, the cross goes to 75.9.
        {"centre, sharpness 1", 9, 9, 100, 4, 4, 160, 1.0f, {{4, 4, 255}, {4, 3, 76}, {5, 5, 100}}},
        // Clamped corner: b = d = e = 160, so (160 + 520w) / (1 + 4w) = 178.8.
        {"top-left corner", 6, 5, 100, 0, 0, 160, 0.0f, {{0, 0, 179}, {1, 0, 91}, {0, 1, 91}, {1, 1, 100}}},
        {"bottom-right corner", 6, 5, 100, 5, 4, 160, 0.0f, {{5, 4, 179}}},
        // Full intensity in the neighbourhood gives amount 0: nothing changes.
        {"full intensity", 8, 3, 120, 4, 1, 255, 1.0f, {{4, 1, 255}, {3, 1, 120}, {4, 0, 120}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Image src(c.w, c.h, c.field);
        src.set(c.px, c.py, c.peak, c.peak, c.peak);
        const Image out = sharpen(src, c.sharpness);
        for (const auto& p : c.expect) {
            for (int ch = 0; ch < 3; ++ch) EXPECT_EQ(out.at(p.x, p.y, ch), p.grey) << p.x << "," << p.y << " ch " << ch;
            EXPECT_EQ(out.at(p.x, p.y, 3), 255) << "alpha at " << p.x << "," << p.y;
        }
    }
}

// Uniform fields, all-black ones included (no 0/0), are left as they are.
TEST(CASCpu, UniformFieldsAreUnchanged) {
    for (int grey : {0, 1, 128, 254, 255}) {
        for (float s : {0.0f, 0.7f, 1.0f}) {
            const Image flat = sharpen(Image(37, 4, static_cast<std::uint8_t>(grey)), s);
            for (std::size_t i = 0; i < flat.bytes.size(); ++i)
                ASSERT_EQ(flat.bytes[i], i % 4 == 3 ? 255 : grey) << "uniform " << grey << " at sharpness " << s;
        }
    }
}

// Awkward widths cover the vectorised interior, the scalar tail and the clamped edges.
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
                            EXPECT_LE(std::abs(out.at(x, y, ch) - formula(src, int(x), int(y), ch, s)), 0.5 + 1e-3)
                                << width << "x" << height << " at " << x << "," << y << " ch " << ch;
                        }
                        EXPECT_EQ(out.at(x, y, 3), 255);
                    }
                }
            }
        }
    }
}

// Split across threads into a larger (padded) target: the same bytes, and the border is not written.
TEST(CASCpu, ThreadsGiveSameResultAndLeaveBorderAlone) {
    std::mt19937 rng(5);
    Image src(333, 97, 0);
    for (auto& b : src.bytes) b = static_cast<std::uint8_t>(rng());
    const Image single = sharpen(src, 0.7f);

    PixelWorkers workers(3);
    const std::uint32_t padW = 336, padH = 112, pitch = padW * 4;
    std::vector<std::uint8_t> padded(std::size_t(pitch) * padH, 0xEE);
    casSharpen(src.view(), padded.data(), pitch, 0.7f, &workers);
    for (std::uint32_t y = 0; y < padH; ++y) {
        for (std::uint32_t x = 0; x < padW; ++x) {
            const bool inside = x < src.width && y < src.height;
            for (int ch = 0; ch < 4; ++ch)
                ASSERT_EQ(padded[std::size_t(y) * pitch + x * 4 + ch], inside ? single.at(x, y, ch) : 0xEE)
                    << x << "," << y << (inside ? "" : " (border)");
        }
    }
}

TEST(CASCpu, WorkersRunEveryPartOnceFromSeveralSubmitters) {
    PixelWorkers workers(2);
    std::vector<std::thread> submitters;
    std::vector<std::vector<int>> counts(4, std::vector<int>(50, 0));
    for (int t = 0; t < 4; ++t) {
        submitters.emplace_back([&, t] {
            for (int round = 0; round < 200; ++round) workers.run(50, [&](std::size_t i) { ++counts[t][i]; });
        });
    }
    for (auto& s : submitters) s.join();
    for (auto& c : counts)
        for (int v : c) EXPECT_EQ(v, 200);
}

}  // namespace quillane::host::test
