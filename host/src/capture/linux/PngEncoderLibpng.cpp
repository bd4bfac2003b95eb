#include "capture/PngEncoder.h"

#include <png.h>

#include <cstring>

namespace quillane::host {

std::vector<std::uint8_t> encodePng(const RgbaImage& image) {
    if (image.width == 0 || image.height == 0) return {};
    if (image.width > 0x7FFFFFFFu / 4) return {};  // the row stride must fit png_int_32
    const std::size_t stride = std::size_t{image.width} * 4;
    if (image.pixels.size() / stride < image.height) return {};

    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    png.width = image.width;
    png.height = image.height;
    png.format = PNG_FORMAT_RGBA;
    png.flags = PNG_IMAGE_FLAG_FAST;  // icons are small; the list is rebuilt on every request

    // The first call measures, the second writes.
    png_alloc_size_t size = 0;
    if (!png_image_write_get_memory_size(png, size, 0, image.pixels.data(), 0, nullptr)) {
        png_image_free(&png);
        return {};
    }
    std::vector<std::uint8_t> out(size);
    if (!png_image_write_to_memory(&png, out.data(), &size, 0, image.pixels.data(), 0, nullptr)) {
        png_image_free(&png);
        return {};
    }
    out.resize(size);
    return out;
}

}  // namespace quillane::host
