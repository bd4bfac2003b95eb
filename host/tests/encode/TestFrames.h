#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "encode/EncoderBase.h"

namespace quillane::host::test {

// A BGRA picture in memory with the frame record that points at it.
struct BgraImage {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t pitch = 0;
    std::vector<std::uint8_t> pixels;

    BgraImage(std::uint32_t w, std::uint32_t h, std::uint32_t rowPadding = 0)
        : width(w), height(h), pitch(w * 4 + rowPadding), pixels(std::size_t(pitch) * h, 0) {}

    std::uint8_t* pixel(std::uint32_t x, std::uint32_t y) { return pixels.data() + std::size_t(y) * pitch + x * 4; }
    const std::uint8_t* pixel(std::uint32_t x, std::uint32_t y) const {
        return pixels.data() + std::size_t(y) * pitch + x * 4;
    }
    BgraFrame frame() const { return BgraFrame{pixels.data(), pitch, width, height}; }

    void fill(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
        for (std::uint32_t y = 0; y < height; ++y) {
            for (std::uint32_t x = 0; x < width; ++x) {
                std::uint8_t* p = pixel(x, y);
                p[0] = b;
                p[1] = g;
                p[2] = r;
                p[3] = 255;
            }
        }
    }

    // Smooth colour waves drifting with t, and a white box with hard edges
    // crossing the picture: motion everywhere, some detail.
    void drawMovingPattern(int t) {
        std::vector<std::uint8_t> waveX(width), waveY(height), waveXY(width + height);
        for (std::uint32_t x = 0; x < width; ++x) {
            waveX[x] = static_cast<std::uint8_t>(128 + 100 * std::sin((x + 4.0 * t) / 60.0));
        }
        for (std::uint32_t y = 0; y < height; ++y) {
            waveY[y] = static_cast<std::uint8_t>(128 + 100 * std::sin((y + 3.0 * t) / 45.0));
        }
        for (std::uint32_t i = 0; i < width + height; ++i) {
            waveXY[i] = static_cast<std::uint8_t>(128 + 90 * std::sin((i + 5.0 * t) / 90.0));
        }
        const std::uint32_t box = height / 5;
        const std::uint32_t boxX = (std::uint32_t(t) * 13) % (width - box);
        const std::uint32_t boxY = (std::uint32_t(t) * 7) % (height - box);
        for (std::uint32_t y = 0; y < height; ++y) {
            for (std::uint32_t x = 0; x < width; ++x) {
                std::uint8_t* p = pixel(x, y);
                const bool inBox = x >= boxX && x < boxX + box && y >= boxY && y < boxY + box;
                p[0] = inBox ? 250 : waveXY[x + y];
                p[1] = inBox ? 250 : waveY[y];
                p[2] = inBox ? 250 : waveX[x];
                p[3] = 255;
            }
        }
    }

    void drawNoise(std::mt19937_64& random) {
        std::size_t i = 0;
        for (; i + 8 <= pixels.size(); i += 8) {
            const std::uint64_t bits = random();
            std::memcpy(pixels.data() + i, &bits, 8);
        }
        for (; i < pixels.size(); ++i) {
            pixels[i] = static_cast<std::uint8_t>(random());
        }
    }
};

// BT.601 limited-range conversion of one pixel, the reference the decoded
// picture is compared with.
inline double referenceY(double r, double g, double b) {
    return 16.0 + (65.481 * r + 128.553 * g + 24.966 * b) / 255.0;
}
inline double referenceU(double r, double g, double b) {
    return 128.0 + (-37.797 * r - 74.203 * g + 112.0 * b) / 255.0;
}
inline double referenceV(double r, double g, double b) {
    return 128.0 + (112.0 * r - 93.786 * g - 18.214 * b) / 255.0;
}

inline double psnrFromSquaredError(double sumSquared, std::size_t samples) {
    const double mse = sumSquared / double(samples);
    return mse <= 1e-10 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

}  // namespace quillane::host::test
