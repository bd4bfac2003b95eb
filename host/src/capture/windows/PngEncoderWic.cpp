#include "capture/PngEncoder.h"

#include "capture/windows/WicPng.h"

namespace quillane::host {

std::vector<std::uint8_t> encodePng(const RgbaImage& image) {
    if (image.width == 0 || image.height == 0 || image.width > 0x3FFFFFFFu) return {};
    const std::size_t stride = std::size_t{image.width} * 4;
    if (image.pixels.size() / stride < image.height || stride * image.height > 0xFFFFFFFFu) return {};
    std::vector<std::uint8_t> bgra(image.pixels.begin(), image.pixels.begin() + stride * image.height);
    for (std::size_t i = 0; i < bgra.size(); i += 4) std::swap(bgra[i], bgra[i + 2]);

    ComApartment com;
    Microsoft::WRL::ComPtr<IWICImagingFactory> factory;
    if (FAILED(createWicFactory(factory))) return {};
    Microsoft::WRL::ComPtr<IWICBitmap> bitmap;
    if (FAILED(factory->CreateBitmapFromMemory(image.width, image.height, GUID_WICPixelFormat32bppBGRA,
                                               static_cast<UINT>(stride), static_cast<UINT>(bgra.size()),
                                               bgra.data(), bitmap.GetAddressOf())))
        return {};
    return encodeWicPng(factory.Get(), bitmap.Get(), image.width, image.height).png;
}

}  // namespace quillane::host
