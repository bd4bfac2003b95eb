#pragma once

#include <cstdint>

namespace quillane::host {

class PixelWorkers;

// A 32-bit BGRA image in memory (the fourth byte is ignored on input).
struct CasImage {
    const std::uint8_t* data = nullptr;
    std::uint32_t rowPitch = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
};

// Contrast-adaptive sharpening on the CPU, the same formula as the GPU pass: per
// colour channel over the 3x3 neighbourhood (edges clamped), soft minimum and
// maximum of cross plus square, w = -sqrt(saturate(min(mn, 2 - mx) / mx)) / (8 - 3 *
// sharpness) and result = (w * (b + d + f + h) + e) / (1 + 4w). An all-black
// neighbourhood (mx = 0) is left as it is. Alpha is written as 255. Writes the
// source's width x height into target (which may be larger: the rest is untouched).
// It is also the reference that the GPU pass is tested against.
void casSharpenRows(const CasImage& source, std::uint8_t* target, std::uint32_t targetPitch,
                    float sharpness, std::uint32_t firstRow, std::uint32_t endRow);

// The whole image, split into bands of rows across the workers (inline when null).
void casSharpen(const CasImage& source, std::uint8_t* target, std::uint32_t targetPitch,
                float sharpness, PixelWorkers* workers);

}  // namespace quillane::host
