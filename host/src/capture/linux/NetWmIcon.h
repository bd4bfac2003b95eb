#pragma once

#include "capture/PngEncoder.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quillane::host {

// One image of a _NET_WM_ICON property: width, height, then width × height
// ARGB cardinals, rows top-down, alpha not premultiplied.
struct NetWmIconImage {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::size_t offset = 0;  // index of the first pixel in the property's cardinals
};

// The images whose declared size fits in what the property holds. Parsing stops
// at the first image with a zero side or more pixels than remain, since nothing
// after it can be located reliably.
std::vector<NetWmIconImage> parseNetWmIcon(std::span<const std::uint32_t> cardinals);

// The image to show: a longer side between 32 and 48 pixels if one exists (the
// largest of those), else the one whose longer side is nearest that range, the
// larger one on a tie. nullopt for an empty list.
std::optional<std::size_t> chooseNetWmIcon(const std::vector<NetWmIconImage>& images);

RgbaImage netWmIconToRgba(std::span<const std::uint32_t> cardinals, const NetWmIconImage& image);

}  // namespace quillane::host
