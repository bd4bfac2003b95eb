#include "WindowsTestHelpers.h"

#include <wrl/client.h>

#include <cstring>

using Microsoft::WRL::ComPtr;

namespace quillane::host::test {

std::uint32_t TexturePixels::at(UINT x, UINT y) const {
    std::uint32_t pixel = 0;
    std::memcpy(&pixel, &bytes[(std::size_t{y} * width + x) * 4], 4);
    return pixel;
}

TexturePixels readTexture(ID3D11Texture2D* texture) {
    TexturePixels read;
    ComPtr<ID3D11Device> device;
    texture->GetDevice(&device);
    ComPtr<ID3D11DeviceContext> context;
    device->GetImmediateContext(&context);
    D3D11_TEXTURE2D_DESC desc{};
    texture->GetDesc(&desc);
    desc.Usage = D3D11_USAGE_STAGING;
    desc.BindFlags = 0;
    desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    desc.MiscFlags = 0;
    ComPtr<ID3D11Texture2D> staging;
    if (FAILED(device->CreateTexture2D(&desc, nullptr, &staging))) return read;
    context->CopyResource(staging.Get(), texture);
    D3D11_MAPPED_SUBRESOURCE mapped{};
    if (FAILED(context->Map(staging.Get(), 0, D3D11_MAP_READ, 0, &mapped))) return read;
    read.width = desc.Width;
    read.height = desc.Height;
    read.bytes.resize(std::size_t{desc.Width} * desc.Height * 4);
    for (UINT y = 0; y < desc.Height; ++y)
        std::memcpy(&read.bytes[std::size_t{y} * desc.Width * 4],
                    static_cast<const std::uint8_t*>(mapped.pData) + std::size_t{y} * mapped.RowPitch, desc.Width * 4);
    context->Unmap(staging.Get(), 0);
    return read;
}

HWND createPopupWindow(const wchar_t* title, int width, int height) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"QuillaneTestPopup";
    RegisterClassW(&wc);  // fails harmlessly when already registered
    return CreateWindowExW(0, wc.lpszClassName, title, WS_POPUP, 0, 0, width, height, nullptr, nullptr, wc.hInstance,
                           nullptr);
}

}  // namespace quillane::host::test
