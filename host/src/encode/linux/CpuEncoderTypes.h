#pragma once

#include <cstdint>

namespace quillane::host {

// The encoders here need no device; the pointer exists so that callers pass the
// same arguments on every platform (nullptr is fine).
struct CpuEncoderDevice {};
using EncoderDevice = CpuEncoderDevice*;

// A frame in system memory, 32-bit BGRA (byte order B, G, R, A), rows top down.
// Only its top-left content rectangle is stored; the rest is opaque black, so
// padding a captured image to the encoder's size needs no copy.
struct BgraFrame {
    const std::uint8_t* data = nullptr;
    std::uint32_t rowPitch = 0;  // bytes from one stored row to the next, at least 4 * stored width
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t contentWidth = 0;   // 0: all of width
    std::uint32_t contentHeight = 0;  // 0: all of height

    std::uint32_t storedWidth() const { return contentWidth == 0 || contentWidth > width ? width : contentWidth; }
    std::uint32_t storedHeight() const {
        return contentHeight == 0 || contentHeight > height ? height : contentHeight;
    }
};
using EncoderInput = const BgraFrame*;

}  // namespace quillane::host
