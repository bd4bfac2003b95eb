#pragma once

#include <d3d11.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "encode/EncoderBase.h"
#include "platform/windows/D3D11Textures.h"

namespace quillane::host::test {

// The config the encoder tests run with: small frames at 60 fps.
inline quillane::host::EncoderConfig smallEncoderConfig() {
    quillane::host::EncoderConfig config;
    config.width = 640;
    config.height = 480;
    config.fps = 60;
    config.bitrateKbps = 6000;
    config.maxBitrateKbps = 15000;
    return config;
}

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

    // Caller releases it. With `fill`, every pixel holds that BGRA value
    // (0xAARRGGBB as a little-endian word); otherwise the content is undefined.
    ID3D11Texture2D* makeTexture(UINT width, UINT height, std::optional<std::uint32_t> fill = std::nullopt) const {
        const D3D11_TEXTURE2D_DESC desc = quillane::host::bgraTextureDesc(
            width, height, D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE);
        std::vector<std::uint32_t> pixels(fill ? std::size_t{width} * height : 0, fill.value_or(0));
        const D3D11_SUBRESOURCE_DATA data{pixels.data(), width * 4, 0};
        ID3D11Texture2D* texture = nullptr;
        device->CreateTexture2D(&desc, fill ? &data : nullptr, &texture);
        return texture;
    }
};

// One access unit as the output callback saw it.
struct EncodedUnit {
    std::vector<std::uint8_t> bytes;
    bool isKeyframe;
    std::int64_t timestampUs;
    std::uint32_t frameNumber;
};

// Encodes one frame; the units that came out during the call. `returned`, when
// given, receives encodeFrame's answer.
inline std::vector<EncodedUnit> encodeOne(quillane::host::EncoderBase& encoder, ID3D11Texture2D* texture,
                                          bool* returned = nullptr) {
    std::vector<EncodedUnit> units;
    encoder.setOutputCallback([&](const quillane::host::EncodedFrame& f) {
        units.push_back({{f.data, f.data + f.size}, f.isKeyframe, f.timestampUs, f.frameNumber});
    });
    const bool ok = encoder.encodeFrame(texture);
    if (returned != nullptr) {
        *returned = ok;
    }
    return units;
}

}  // namespace quillane::host::test
