#pragma once

#include <d3d11.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "encode/AmfParams.h"
#include "encode/EncoderSupport.h"
#include "encode/ParameterSetCache.h"
#include "encode/windows/AmfRuntime.h"

namespace quillane::host {

// AMD's hardware encoder through the AMF runtime, on the capture device. Each frame
// is copied into a texture of the encoder's own ring, which the runtime may read
// after encodeFrame has returned; output is collected without waiting, so a unit
// may reach the callback during a later encodeFrame.
//
// Threads: as EncoderBase. The runtime tells on its own threads when it lets go of
// a ring texture; that only clears the texture's busy flag.
class AmfEncoder final : public CommonEncoder {
public:
    // `runtimePath` empty: "amfrt64.dll" from the system folder; tests name a stand-in.
    explicit AmfEncoder(std::wstring runtimePath = {});
    ~AmfEncoder() override;
    AmfEncoder(const AmfEncoder&) = delete;
    AmfEncoder& operator=(const AmfEncoder&) = delete;

    const char* getName() const override { return "AMF"; }
    bool initialize(EncoderDevice device, const EncoderConfig& config) override;
    void shutdown() override;
    bool encodeFrame(EncoderInput input) override;
    bool reconfigure(const EncoderConfig& config) override;

private:
    // A ring texture; the observer comes first so that the runtime's callback finds it.
    struct RingSlot {
        amf::SurfaceObserver observer;
        Microsoft::WRL::ComPtr<ID3D11Texture2D> texture;
        std::atomic<bool> busy{false};
    };

    bool loadAmf();
    bool createEncoder();
    void releaseAll();
    void applyPendingBitrate();
    RingSlot* freeSlot();
    bool submit(amf::Object* surface);
    void drainOutput();
    void deliver(amf::Object* buffer);
    void setProperty(amf::Object* object, const AmfProperty& property);
    static void onSurfaceReleased(amf::SurfaceObserver* observer, amf::Object* surface);

    std::wstring runtimePath;
    Microsoft::WRL::ComPtr<ID3D11Device> d3dDevice;
    Microsoft::WRL::ComPtr<ID3D11DeviceContext> d3dContext;
    void* library = nullptr;  // HMODULE
    amf::Factory* factory = nullptr;
    amf::Object* amfContext = nullptr;
    amf::Object* encoder = nullptr;
    bool hevc = false;
    NalRule nalRule = NalRule::H264;
    std::vector<std::unique_ptr<RingSlot>> ring;
    std::uint32_t submitCounter = 0;
};

}  // namespace quillane::host
