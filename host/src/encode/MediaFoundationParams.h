#pragma once

#include <cstdint>

// What the Media Foundation encoder computes for itself: the H.264 level it
// declares, the sample clock and the BGRA to NV12 conversion. Free of Media
// Foundation so that every platform can check it.
namespace quillane::host {

// The lowest H.264 level (as 10 × level: 31 for 3.1, 52 for 5.2) whose limits on
// frame size, macroblock rate and peak bitrate (Main profile, VCL) hold the stream;
// 62 when none does.
std::uint32_t h264LevelFor(std::uint32_t width, std::uint32_t height, std::uint32_t fps,
                           std::uint32_t maxBitrateKbps);

// Sample time and duration of frame `index` in 100 ns units.
std::uint64_t mfSampleTime(std::uint64_t index, std::uint32_t fps);
std::uint64_t mfSampleDuration(std::uint32_t fps);

// BGRA rows (row y at src + y * rowPitch) to packed NV12 in `dst`: a Y plane of
// width × height bytes, then height / 2 rows of interleaved U and V, BT.601
// limited range. Width and height must be even; dst holds width × height × 3 / 2.
void bgraToNv12(const std::uint8_t* src, std::uint32_t rowPitch, std::uint32_t width, std::uint32_t height,
                std::uint8_t* dst);

}  // namespace quillane::host
