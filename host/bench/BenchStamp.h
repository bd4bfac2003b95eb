#pragma once

#include <cstdint>

// The frame number as 32 blocks of 16 x 16 pixels along the top edge, most
// significant bit first: white for 1, black for 0. Survives encoding well.
namespace qhbench {

inline constexpr int kStampBlock = 16;
inline constexpr int kStampBits = 32;

inline void stampFrameNumber(std::uint32_t* pixels, int stride, std::uint32_t frame) {
    for (int bit = 0; bit < kStampBits; ++bit) {
        const std::uint32_t colour = (frame >> (kStampBits - 1 - bit)) & 1 ? 0xFFFFFFu : 0u;
        for (int y = 0; y < kStampBlock; ++y)
            for (int x = 0; x < kStampBlock; ++x) pixels[y * stride + bit * kStampBlock + x] = colour;
    }
}

// Reads the number back from a luma plane.
inline std::uint32_t readFrameNumber(const std::uint8_t* luma, int stride) {
    std::uint32_t frame = 0;
    for (int bit = 0; bit < kStampBits; ++bit) {
        const int x = bit * kStampBlock + kStampBlock / 2;
        const int y = kStampBlock / 2;
        frame = (frame << 1) | (luma[y * stride + x] > 128 ? 1u : 0u);
    }
    return frame;
}

}  // namespace qhbench
