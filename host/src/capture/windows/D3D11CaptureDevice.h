#pragma once

#include "capture/CaptureDevice.h"

#include <d3d11.h>
#include <wrl/client.h>

#include <cstdint>
#include <memory>
#include <string>

namespace quillane::host {

// A hardware Direct3D 11 device with BGRA support and multithread protection;
// frame buffers are its textures and image work runs on its immediate context.
class D3D11CaptureDevice final : public CaptureDevice {
public:
    bool initialize() override;
    void release() override;

    EncoderDevice device() const override { return d3dDevice.Get(); }
    CaptureContext context() const override { return immediateContext.Get(); }
    const std::string& gpuName() const override { return adapterName; }
    std::uint64_t vramMB() const override { return adapterVramMB; }

    std::shared_ptr<FrameBuffer> createFrameBuffer(EncoderInput like, std::uint32_t width,
                                                   std::uint32_t height) override;
    void clearFrameBuffer(FrameBuffer& buffer) override;
    void copyRegion(EncoderInput source, FrameBuffer& target, std::uint32_t width, std::uint32_t height) override;

private:
    Microsoft::WRL::ComPtr<ID3D11Device> d3dDevice;
    Microsoft::WRL::ComPtr<ID3D11DeviceContext> immediateContext;
    std::string adapterName;
    std::uint64_t adapterVramMB = 0;
};

}  // namespace quillane::host
