#pragma once

#include <cstdint>

namespace quillane::host {

// The encoders here need no device; the pointer exists so that callers pass the
// same arguments on every platform (nullptr is fine).
struct CpuEncoderDevice {};
using EncoderDevice = CpuEncoderDevice*;

// A frame in system memory, 32-bit BGRA (byte order B, G, R, A), rows top down.
struct BgraFrame {
    const std::uint8_t* data = nullptr;
    std::uint32_t rowPitch = 0;  // bytes from one row to the next, at least 4 * width
    std::uint32_t width = 0;
    std::uint32_t height = 0;
};
using EncoderInput = const BgraFrame*;

}  // namespace quillane::host
