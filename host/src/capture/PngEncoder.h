#pragma once

#include <cstdint>
#include <vector>

namespace quillane::host {

// Rows top-down, four bytes per pixel in the order R, G, B, A, alpha not premultiplied.
struct RgbaImage {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint8_t> pixels;
};

// A complete PNG file of the image (8-bit RGBA); empty when the image is empty,
// its pixel buffer is too short, or the platform's encoder fails.
std::vector<std::uint8_t> encodePng(const RgbaImage& image);

}  // namespace quillane::host
