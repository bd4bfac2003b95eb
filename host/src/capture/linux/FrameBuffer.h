#pragma once

#include "encode/EncoderBase.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace quillane::host {

// A BGRA image in memory, created opaque black.
class FrameBuffer {
public:
    FrameBuffer(std::uint32_t width, std::uint32_t height)
        : pixels(std::size_t(width) * height, opaqueBlack), frame{nullptr, width * 4, width, height} {
        frame.data = data();
    }
    void clear() { std::fill(pixels.begin(), pixels.end(), opaqueBlack); }
    std::uint8_t* data() { return reinterpret_cast<std::uint8_t*>(pixels.data()); }
    std::uint32_t rowPitch() const { return frame.rowPitch; }
    std::uint32_t width() const { return frame.width; }
    std::uint32_t height() const { return frame.height; }
    const BgraFrame* input() const { return &frame; }

private:
    static constexpr std::uint32_t opaqueBlack = 0xFF000000u;  // bytes B, G, R = 0, A = 255
    std::vector<std::uint32_t> pixels;
    BgraFrame frame;
};

}  // namespace quillane::host
