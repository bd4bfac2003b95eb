#pragma once

#include "encode/EncoderBase.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace quillane::host {

// A BGRA image the encoder reads, created opaque black. It either shows its own
// pixels (what sharpening writes) or, after showSource, the top-left of a captured
// image with black beyond it; the latter copies nothing, so it is only valid while
// the captured image is.
class FrameBuffer {
public:
    FrameBuffer(std::uint32_t width, std::uint32_t height) : frame{nullptr, width * 4, width, height} {}

    void clear() { std::fill(pixels.begin(), pixels.end(), opaqueBlack); }
    // The buffer's own pixels, made on first use; from now on the buffer shows them.
    std::uint8_t* data() {
        if (pixels.empty()) pixels.assign(std::size_t(frame.width) * frame.height, opaqueBlack);
        frame = BgraFrame{bytes(), frame.width * 4, frame.width, frame.height};
        return bytes();
    }
    void showSource(const BgraFrame& source, std::uint32_t contentWidth, std::uint32_t contentHeight) {
        frame = BgraFrame{source.data, source.rowPitch, frame.width, frame.height,
                          std::min({contentWidth, source.storedWidth(), frame.width}),
                          std::min({contentHeight, source.storedHeight(), frame.height})};
    }
    std::uint32_t rowPitch() const { return frame.width * 4; }
    std::uint32_t width() const { return frame.width; }
    std::uint32_t height() const { return frame.height; }
    const BgraFrame* input() const { return frame.data ? &frame : &black; }

private:
    static constexpr std::uint32_t opaqueBlack = 0xFF000000u;  // bytes B, G, R = 0, A = 255
    std::uint8_t* bytes() { return reinterpret_cast<std::uint8_t*>(pixels.data()); }

    std::vector<std::uint32_t> pixels;
    BgraFrame frame;
    // Nothing shown yet: all black, with no stored pixels at all.
    BgraFrame black{reinterpret_cast<const std::uint8_t*>(&opaqueBlack), 4, frame.width, frame.height, 1, 1};
};

}  // namespace quillane::host
