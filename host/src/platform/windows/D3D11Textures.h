#pragma once

#include <d3d11.h>
#include <wrl/client.h>

namespace quillane::host {

// A 2D texture of default usage: one mip level, one sample, no CPU access.
inline D3D11_TEXTURE2D_DESC textureDesc(UINT width, UINT height, DXGI_FORMAT format, UINT bindFlags) {
    D3D11_TEXTURE2D_DESC desc{};
    desc.Width = width;
    desc.Height = height;
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.Format = format;
    desc.SampleDesc.Count = 1;
    desc.Usage = D3D11_USAGE_DEFAULT;
    desc.BindFlags = bindFlags;
    return desc;
}

// The same in 32-bit BGRA, the format frames travel in from capture to the encoders.
inline D3D11_TEXTURE2D_DESC bgraTextureDesc(UINT width, UINT height, UINT bindFlags) {
    return textureDesc(width, height, DXGI_FORMAT_B8G8R8A8_UNORM, bindFlags);
}

// An encoder's own references to the capture device and its immediate context; released with the encoder.
inline void holdDevice(ID3D11Device* device, Microsoft::WRL::ComPtr<ID3D11Device>& held,
                       Microsoft::WRL::ComPtr<ID3D11DeviceContext>& context) {
    held = device;  // assignment from a plain pointer adds the encoder's reference
    held->GetImmediateContext(context.ReleaseAndGetAddressOf());
}

}  // namespace quillane::host
