#include "encode/MediaFoundationParams.h"

#include <cmath>
#include <iterator>

namespace quillane::host {
namespace {

// H.264 Table A-1: macroblocks per second, frame size in macroblocks and VCL bitrate
// in kbit/s (the Main profile factor).
struct LevelLimits {
    std::uint32_t level;
    std::uint64_t maxMbps;
    std::uint64_t maxFs;
    std::uint64_t maxKbps;
};
constexpr LevelLimits kLevels[] = {
    {10, 1485, 99, 64},          {11, 3000, 396, 192},         {12, 6000, 396, 384},
    {13, 11880, 396, 768},       {20, 11880, 396, 2000},       {21, 19800, 792, 4000},
    {22, 20250, 1620, 4000},     {30, 40500, 1620, 10000},     {31, 108000, 3600, 14000},
    {32, 216000, 5120, 20000},   {40, 245760, 8192, 20000},    {41, 245760, 8192, 50000},
    {42, 522240, 8704, 50000},   {50, 589824, 22080, 135000},  {51, 983040, 36864, 240000},
    {52, 2073600, 36864, 240000}, {60, 4177920, 139264, 240000}, {61, 8355840, 139264, 480000},
    {62, 16711680, 139264, 800000},
};

constexpr std::uint64_t kHundredNsPerSecond = 10'000'000;

}  // namespace

std::uint32_t h264LevelFor(std::uint32_t width, std::uint32_t height, std::uint32_t fps,
                           std::uint32_t maxBitrateKbps) {
    const std::uint64_t widthMbs = (std::uint64_t{width} + 15) / 16;
    const std::uint64_t heightMbs = (std::uint64_t{height} + 15) / 16;
    const std::uint64_t frameMbs = widthMbs * heightMbs;
    const std::uint64_t mbps = frameMbs * fps;
    for (const LevelLimits& limits : kLevels) {
        // Neither side may exceed sqrt(8 × MaxFS) macroblocks.
        const auto side = static_cast<std::uint64_t>(std::sqrt(8.0 * static_cast<double>(limits.maxFs)));
        if (frameMbs <= limits.maxFs && widthMbs <= side && heightMbs <= side && mbps <= limits.maxMbps &&
            maxBitrateKbps <= limits.maxKbps) {
            return limits.level;
        }
    }
    return kLevels[std::size(kLevels) - 1].level;
}

std::uint64_t mfSampleTime(std::uint64_t index, std::uint32_t fps) {
    return index * kHundredNsPerSecond / (fps == 0 ? 1 : fps);
}

std::uint64_t mfSampleDuration(std::uint32_t fps) { return kHundredNsPerSecond / (fps == 0 ? 1 : fps); }

void bgraToNv12(const std::uint8_t* src, std::uint32_t rowPitch, std::uint32_t width, std::uint32_t height,
                std::uint8_t* dst) {
    std::uint8_t* yPlane = dst;
    std::uint8_t* uvPlane = dst + std::size_t{width} * height;
    for (std::uint32_t y = 0; y < height; ++y) {
        const std::uint8_t* row = src + std::size_t{y} * rowPitch;
        std::uint8_t* yRow = yPlane + std::size_t{y} * width;
        for (std::uint32_t x = 0; x < width; ++x) {
            const int b = row[4 * x];
            const int g = row[4 * x + 1];
            const int r = row[4 * x + 2];
            yRow[x] = static_cast<std::uint8_t>(((66 * r + 129 * g + 25 * b + 128) >> 8) + 16);
        }
        if (y % 2 != 0) {
            continue;
        }
        const std::uint8_t* below = y + 1 < height ? row + rowPitch : nullptr;
        std::uint8_t* uvRow = uvPlane + std::size_t{y / 2} * width;
        for (std::uint32_t x = 0; x < width; x += 2) {
            int sb = 0;
            int sg = 0;
            int sr = 0;
            for (const std::uint8_t* line : {row, below}) {
                if (line == nullptr) {
                    continue;
                }
                for (std::uint32_t dx = 0; dx < 2 && x + dx < width; ++dx) {
                    sb += line[4 * (x + dx)];
                    sg += line[4 * (x + dx) + 1];
                    sr += line[4 * (x + dx) + 2];
                }
            }
            const int b = sb / 4;
            const int g = sg / 4;
            const int r = sr / 4;
            uvRow[x] = static_cast<std::uint8_t>(((112 * b - 74 * g - 38 * r + 128) >> 8) + 128);
            if (x + 1 < width) {
                uvRow[x + 1] = static_cast<std::uint8_t>(((112 * r - 94 * g - 18 * b + 128) >> 8) + 128);
            }
        }
    }
}

}  // namespace quillane::host
