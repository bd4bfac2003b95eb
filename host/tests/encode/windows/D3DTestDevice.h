#pragma once

#include <d3d11.h>

// A Direct3D 11 device and a BGRA texture to hand to encoders, released at the end.
struct D3DTestDevice {
    ID3D11Device* device = nullptr;
    ID3D11DeviceContext* context = nullptr;

    D3DTestDevice() {
        for (D3D_DRIVER_TYPE type : {D3D_DRIVER_TYPE_HARDWARE, D3D_DRIVER_TYPE_WARP}) {
            if (SUCCEEDED(D3D11CreateDevice(nullptr, type, nullptr, D3D11_CREATE_DEVICE_BGRA_SUPPORT, nullptr, 0,
                                            D3D11_SDK_VERSION, &device, nullptr, &context))) {
                return;
            }
        }
    }
    ~D3DTestDevice() {
        if (context != nullptr) {
            context->Release();
        }
        if (device != nullptr) {
            device->Release();
        }
    }
    D3DTestDevice(const D3DTestDevice&) = delete;
    D3DTestDevice& operator=(const D3DTestDevice&) = delete;

    // Caller releases it.
    ID3D11Texture2D* makeTexture(UINT width, UINT height) const {
        D3D11_TEXTURE2D_DESC desc{};
        desc.Width = width;
        desc.Height = height;
        desc.MipLevels = 1;
        desc.ArraySize = 1;
        desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
        desc.SampleDesc.Count = 1;
        desc.Usage = D3D11_USAGE_DEFAULT;
        desc.BindFlags = D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE;
        ID3D11Texture2D* texture = nullptr;
        device->CreateTexture2D(&desc, nullptr, &texture);
        return texture;
    }
};
