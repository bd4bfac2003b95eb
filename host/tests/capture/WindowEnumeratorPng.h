#pragma once

#include "capture/PngEncoder.h"

#include <png.h>

#include <cstring>
#include <optional>
#include <vector>

namespace quillane::host::test {

// Decodes a PNG file to straight RGBA with libpng, independently of the encoder under test.
inline std::optional<RgbaImage> decodePng(const std::vector<std::uint8_t>& file) {
    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&png, file.data(), file.size())) return std::nullopt;
    png.format = PNG_FORMAT_RGBA;
    RgbaImage image;
    image.width = png.width;
    image.height = png.height;
    image.pixels.resize(PNG_IMAGE_SIZE(png));
    if (!png_image_finish_read(&png, nullptr, image.pixels.data(), 0, nullptr)) {
        png_image_free(&png);
        return std::nullopt;
    }
    return image;
}

}  // namespace quillane::host::test
