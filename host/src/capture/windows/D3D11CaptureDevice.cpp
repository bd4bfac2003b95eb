#include "capture/windows/D3D11CaptureDevice.h"

#include "capture/windows/FrameBuffer.h"
#include "common/Utf8.h"

#include <spdlog/spdlog.h>

#include <d3d10.h>
#include <d3d11.h>
#include <dxgi.h>
#include <wrl/client.h>

using Microsoft::WRL::ComPtr;

namespace quillane::host {

std::unique_ptr<CaptureDevice> createCaptureDevice() { return std::make_unique<D3D11CaptureDevice>(); }

bool D3D11CaptureDevice::initialize() {
    release();
    const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_1, D3D_FEATURE_LEVEL_11_0};
    D3D_FEATURE_LEVEL obtained{};
    HRESULT hr = E_FAIL;
    for (int attempt = 0; attempt < 2 && FAILED(hr); ++attempt) {
        d3dDevice.Reset();
        immediateContext.Reset();
        hr = D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, D3D11_CREATE_DEVICE_BGRA_SUPPORT, levels, 2,
                               D3D11_SDK_VERSION, &d3dDevice, &obtained, &immediateContext);
    }
    if (FAILED(hr)) {
        d3dDevice.Reset();
        immediateContext.Reset();
        SPDLOG_ERROR("Failed to create D3D11 device: {:#x}", static_cast<std::uint32_t>(hr));
        return false;
    }
    SPDLOG_INFO("D3D11 device created with feature level {:#x}", static_cast<unsigned>(obtained));

    ComPtr<IDXGIDevice> dxgiDevice;
    if (SUCCEEDED(d3dDevice.As(&dxgiDevice))) {
        ComPtr<IDXGIAdapter> adapter;
        DXGI_ADAPTER_DESC desc{};
        if (SUCCEEDED(dxgiDevice->GetAdapter(&adapter)) && SUCCEEDED(adapter->GetDesc(&desc))) {
            adapterName = wideToUtf8(desc.Description);
            if (adapterName.size() > 255) adapterName.resize(255);
            adapterVramMB = static_cast<std::uint64_t>(desc.DedicatedVideoMemory) >> 20;
            SPDLOG_INFO("GPU: {} (VRAM: {} MB)", adapterName, adapterVramMB);
        }
    }
    ComPtr<IDXGIDevice1> dxgiDevice1;
    if (SUCCEEDED(d3dDevice.As(&dxgiDevice1))) {
        const HRESULT latency = dxgiDevice1->SetMaximumFrameLatency(1);
        if (SUCCEEDED(latency)) {
            SPDLOG_INFO("GPU MaximumFrameLatency set to 1 (reduced from default 3)");
        } else {
            SPDLOG_WARN("Failed to set GPU MaximumFrameLatency: {:#x}", static_cast<std::uint32_t>(latency));
        }
    }
    if (dxgiDevice && SUCCEEDED(dxgiDevice->SetGPUThreadPriority(7))) {
        SPDLOG_INFO("GPU thread priority set to 7 (maximum)");
    }
    ComPtr<ID3D10Multithread> multithread;
    if (SUCCEEDED(immediateContext.As(&multithread))) {
        multithread->SetMultithreadProtected(TRUE);
        SPDLOG_INFO("D3D11 multithread protection enabled");
    } else {
        SPDLOG_WARN("Failed to enable D3D11 multithread protection");
    }
    return true;
}

void D3D11CaptureDevice::release() {
    immediateContext.Reset();
    d3dDevice.Reset();
}

const char* CaptureDevice::captureApi() { return "Windows.Graphics.Capture"; }

D3D11_TEXTURE2D_DESC frameBufferDescription(const D3D11_TEXTURE2D_DESC& like, UINT width, UINT height) {
    D3D11_TEXTURE2D_DESC desc{};
    desc.Width = width;
    desc.Height = height;
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.Format = like.Format;
    desc.SampleDesc.Count = 1;
    desc.Usage = D3D11_USAGE_DEFAULT;
    desc.BindFlags = D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_RENDER_TARGET;
    return desc;
}

std::shared_ptr<FrameBuffer> D3D11CaptureDevice::createFrameBuffer(EncoderInput like, std::uint32_t width,
                                                                   std::uint32_t height) {
    if (!like || !d3dDevice || width == 0 || height == 0) return nullptr;
    D3D11_TEXTURE2D_DESC likeDesc{};
    like->GetDesc(&likeDesc);
    const D3D11_TEXTURE2D_DESC desc = frameBufferDescription(likeDesc, width, height);
    ComPtr<ID3D11Texture2D> texture;
    if (FAILED(d3dDevice->CreateTexture2D(&desc, nullptr, &texture))) return nullptr;
    auto buffer = std::make_shared<FrameBuffer>(texture);
    clearFrameBuffer(*buffer);
    return buffer;
}

void D3D11CaptureDevice::clearFrameBuffer(FrameBuffer& buffer) {
    ComPtr<ID3D11RenderTargetView> view;
    if (FAILED(d3dDevice->CreateRenderTargetView(buffer.get(), nullptr, &view))) return;
    const float opaqueBlack[4] = {0.0f, 0.0f, 0.0f, 1.0f};
    immediateContext->ClearRenderTargetView(view.Get(), opaqueBlack);
}

void D3D11CaptureDevice::copyRegion(EncoderInput source, FrameBuffer& target, std::uint32_t width,
                                    std::uint32_t height) {
    if (!source) return;
    const D3D11_BOX box{0, 0, 0, width, height, 1};
    immediateContext->CopySubresourceRegion(target.get(), 0, 0, 0, 0, source, 0, &box);
}

EncoderInput CaptureDevice::frameInput(const FrameBuffer& buffer) { return buffer.get(); }

}  // namespace quillane::host
