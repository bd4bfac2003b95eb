#include "capture/linux/NetWmIcon.h"

#include <algorithm>

namespace quillane::host {
namespace {

constexpr std::uint32_t kPreferredMin = 32;
constexpr std::uint32_t kPreferredMax = 48;

std::uint32_t distanceToPreferred(const NetWmIconImage& image) {
    const std::uint32_t side = std::max(image.width, image.height);
    if (side < kPreferredMin) return kPreferredMin - side;
    if (side > kPreferredMax) return side - kPreferredMax;
    return 0;
}

}  // namespace

std::vector<NetWmIconImage> parseNetWmIcon(std::span<const std::uint32_t> cardinals) {
    std::vector<NetWmIconImage> images;
    std::size_t at = 0;
    while (cardinals.size() - at >= 2) {
        const std::uint32_t width = cardinals[at];
        const std::uint32_t height = cardinals[at + 1];
        const std::uint64_t pixels = std::uint64_t{width} * height;
        const std::size_t remaining = cardinals.size() - at - 2;
        if (pixels == 0 || pixels > remaining) break;
        images.push_back({width, height, at + 2});
        at += 2 + static_cast<std::size_t>(pixels);
    }
    return images;
}

std::optional<std::size_t> chooseNetWmIcon(const std::vector<NetWmIconImage>& images) {
    std::optional<std::size_t> best;
    for (std::size_t i = 0; i < images.size(); ++i) {
        if (!best) {
            best = i;
            continue;
        }
        const auto& a = images[i];
        const auto& b = images[*best];
        const auto da = distanceToPreferred(a);
        const auto db = distanceToPreferred(b);
        if (da < db || (da == db && std::max(a.width, a.height) > std::max(b.width, b.height))) best = i;
    }
    return best;
}

RgbaImage netWmIconToRgba(std::span<const std::uint32_t> cardinals, const NetWmIconImage& image) {
    RgbaImage out;
    const std::uint64_t count = std::uint64_t{image.width} * image.height;
    if (count == 0 || image.offset > cardinals.size() || count > cardinals.size() - image.offset) return out;
    out.width = image.width;
    out.height = image.height;
    out.pixels.resize(static_cast<std::size_t>(count) * 4);
    const std::uint32_t* src = cardinals.data() + image.offset;
    std::uint8_t* dst = out.pixels.data();
    for (std::size_t i = 0; i < count; ++i, dst += 4) {
        const std::uint32_t argb = src[i];
        dst[0] = static_cast<std::uint8_t>(argb >> 16);
        dst[1] = static_cast<std::uint8_t>(argb >> 8);
        dst[2] = static_cast<std::uint8_t>(argb);
        dst[3] = static_cast<std::uint8_t>(argb >> 24);
    }
    return out;
}

}  // namespace quillane::host
