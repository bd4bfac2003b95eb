#pragma once

#include <cstdint>

// The test window's picture and icon, shared with the tests that check them.
namespace quillane::host::test {

inline constexpr int kIconSize = 32;
inline constexpr const char* kWindowClass = "QuillaneTestWindow";

// ARGB icon: opaque quadrants in four colours with a diagonal line.
inline std::uint32_t iconPixel(int x, int y) {
    if (x == y) return 0xFFFFFFFFu;
    const bool right = x >= kIconSize / 2;
    const bool bottom = y >= kIconSize / 2;
    if (!right && !bottom) return 0xFFE02020u;
    if (right && !bottom) return 0xFF20C040u;
    if (!right && bottom) return 0xFF2040E0u;
    return 0xFFF0C000u;
}

// 0 .. 255 .. 0 over 512 steps, so the gradients have no hard edges.
inline std::uint32_t triangle(std::uint32_t v) {
    v %= 512;
    return v < 256 ? v : 511 - v;
}

// 0x00RRGGBB pixels: smooth gradients that scroll with the frame number and a
// light block that moves across, so every frame differs but compresses well.
inline void drawPattern(std::uint32_t* pixels, int width, int height, std::uint32_t frame) {
    const int blockX = static_cast<int>((frame * 7) % static_cast<std::uint32_t>(width > 64 ? width - 64 : 1));
    const int blockY = height / 3;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const auto ux = static_cast<std::uint32_t>(x);
            const auto uy = static_cast<std::uint32_t>(y);
            const std::uint32_t r = triangle(ux + frame * 3);
            const std::uint32_t g = triangle(uy * 2);
            const std::uint32_t b = triangle((ux + uy) / 2 + frame);
            std::uint32_t p = (r << 16) | (g << 8) | b;
            if (x >= blockX && x < blockX + 64 && y >= blockY && y < blockY + 64) p = 0xC8C8C8u;
            pixels[static_cast<std::size_t>(y) * width + x] = p;
        }
    }
}

}  // namespace quillane::host::test
