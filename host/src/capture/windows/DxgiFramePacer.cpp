#include "capture/windows/DxgiFramePacer.h"

#include <spdlog/spdlog.h>

#include <chrono>
#include <vector>

#include <d3d11.h>
#include <dxgi1_2.h>
#include <wrl/client.h>

using Microsoft::WRL::ComPtr;

namespace quillane::host {

std::unique_ptr<FramePacer> createFramePacer() { return std::make_unique<DxgiFramePacer>(); }

bool DxgiFramePacer::initialize(EncoderDevice device) {
    if (!device) {
        SPDLOG_WARN("FramePacer: No device provided");
        return false;
    }
    ComPtr<IDXGIDevice> dxgiDevice;
    ComPtr<IDXGIAdapter> adapter;
    output.Reset();
    if (SUCCEEDED(device->QueryInterface(__uuidof(IDXGIDevice), &dxgiDevice)) &&
        SUCCEEDED(dxgiDevice->GetAdapter(&adapter)) && SUCCEEDED(adapter->EnumOutputs(0, &output))) {
        vsyncAvailable = true;
        DXGI_OUTPUT_DESC desc{};
        output->GetDesc(&desc);
        ComPtr<IDXGIOutput1> output1;
        UINT count = 0;
        if (SUCCEEDED(output.As(&output1)) &&
            SUCCEEDED(output1->GetDisplayModeList1(DXGI_FORMAT_B8G8R8A8_UNORM, 0, &count, nullptr)) && count > 0) {
            std::vector<DXGI_MODE_DESC1> modes(count);
            if (SUCCEEDED(output1->GetDisplayModeList1(DXGI_FORMAT_B8G8R8A8_UNORM, 0, &count, modes.data())) &&
                count > 0 && modes[0].RefreshRate.Denominator != 0 && modes[0].RefreshRate.Numerator != 0) {
                // A mode without a rate (0 / n) keeps 60.0 rather than reporting 0 Hz.
                refreshRate = static_cast<float>(modes[0].RefreshRate.Numerator) /
                              static_cast<float>(modes[0].RefreshRate.Denominator);
            }
        }
        SPDLOG_INFO("FramePacer: VSync synchronization available (refresh rate: {:.1f}Hz)", refreshRate);
    }
    if (!vsyncAvailable) SPDLOG_WARN("FramePacer: VSync not available, using timer-based pacing");
    lastFrameTime = std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count();
    return vsyncAvailable;
}

}  // namespace quillane::host
