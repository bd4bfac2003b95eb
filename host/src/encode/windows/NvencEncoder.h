#pragma once

#include <d3d11.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "encode/EncoderBase.h"
#include "encode/EncoderSupport.h"
#include "encode/NvencParams.h"
#include "encode/ParameterSetCache.h"

namespace quillane::host {

// NVIDIA's hardware encoder through the NVENC interface, on the capture device.
// Each frame is copied into one of four registered textures, encoded
// synchronously and delivered before encodeFrame returns.
class NvencEncoder final : public CommonEncoder {
public:
    NvencEncoder();
    ~NvencEncoder() override;
    NvencEncoder(const NvencEncoder&) = delete;
    NvencEncoder& operator=(const NvencEncoder&) = delete;

    const char* getName() const override { return "NVENC"; }
    bool initialize(EncoderDevice device, const EncoderConfig& config) override;
    void shutdown() override;
    bool encodeFrame(EncoderInput input) override;

private:
    struct InputSlot {
        NV_ENC_INPUT_PTR mapped = nullptr;
        NV_ENC_REGISTERED_PTR registered = nullptr;
        Microsoft::WRL::ComPtr<ID3D11Texture2D> texture;
        bool isMapped = false;
    };
    struct OutputSlot {
        NV_ENC_OUTPUT_PTR bitstream = nullptr;
        std::vector<std::uint8_t> data;  // copy of the last access unit made through this slot
    };

    bool loadNvenc();
    bool createEncoder();
    bool createBuffers();
    void releaseAll();
    void applyPendingBitrate();
    void unmapInput(InputSlot& slot);
    // Locks the slot's output, unmaps its input, then delivers the access unit.
    void processOutput(std::uint32_t slot);

    Microsoft::WRL::ComPtr<ID3D11Device> d3dDevice;
    Microsoft::WRL::ComPtr<ID3D11DeviceContext> d3dContext;
    void* library = nullptr;  // HMODULE of nvEncodeAPI64.dll
    NV_ENCODE_API_FUNCTION_LIST functions{};
    void* encoder = nullptr;
    NV_ENC_CONFIG nvencConfig{};
    NV_ENC_INITIALIZE_PARAMS initParams{};
    NalRule nalRule = NalRule::H264;
    std::vector<InputSlot> inputSlots;
    std::vector<OutputSlot> outputSlots;
    std::uint32_t currentSlot = 0;
    std::uint32_t frameCounter = 0;
};

}  // namespace quillane::host
