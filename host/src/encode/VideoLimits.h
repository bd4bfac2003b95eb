#pragma once

#include <cstdint>

namespace quillane::host {

// The largest picture H.264 carries (level 6.2): 8192 pixels a side and
// 35,651,584 pixels (139,264 macroblocks) in all. Larger windows are neither
// resized to nor captured, so no one can make the host allocate frames no
// encoder accepts.
inline constexpr std::uint32_t kMaxVideoSide = 8192;
inline constexpr std::uint64_t kMaxVideoPixels = 35'651'584;

// What all captures together may hold, in coded pixels: twice the largest
// picture. Each stream's image, buffers and encoder grow with its size, so many
// large streams would otherwise exhaust memory.
inline constexpr std::uint64_t kMaxCapturedPixels = 2 * kMaxVideoPixels;

// Largest kbit/s value whose bit/s value still fits 32 bits: the encoders' ceiling.
inline constexpr std::uint32_t kMaxBitrateKbps = 0xFFFFFFFFu / 1000u;

// The stream's defaults: the settings file starts with them, and an encoder
// configured with nothing else runs at them.
inline constexpr std::uint32_t kDefaultBitrateKbps = 20000;
inline constexpr std::uint32_t kDefaultMaxBitrateKbps = 50000;
inline constexpr std::uint32_t kDefaultFps = 72;

// The pixels a picture of this size is coded with, in whole 16 x 16 macroblocks.
constexpr std::uint64_t codedPixels(std::uint32_t width, std::uint32_t height) {
    return (std::uint64_t{width} + 15) / 16 * 16 * ((std::uint64_t{height} + 15) / 16 * 16);
}

// For a picture of this size, coded in whole 16 x 16 macroblocks.
constexpr bool fitsVideoLimits(std::uint32_t width, std::uint32_t height) {
    const std::uint64_t codedWidth = (std::uint64_t{width} + 15) / 16 * 16;
    const std::uint64_t codedHeight = (std::uint64_t{height} + 15) / 16 * 16;
    return width >= 1 && height >= 1 && codedWidth <= kMaxVideoSide && codedHeight <= kMaxVideoSide &&
           codedWidth * codedHeight <= kMaxVideoPixels;
}

}  // namespace quillane::host
