#pragma once

#include <wrl/client.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "encode/EncoderSupport.h"
#include "encode/ParameterSetCache.h"

struct _GUID;
struct ICodecAPI;
struct ID3D11DeviceContext;
struct IMFDXGIDeviceManager;
struct IMFMediaEventGenerator;
struct IMFSample;
struct IMFTransform;

namespace quillane::host {

// The first H.264 encoder transform that Media Foundation lists, activated.
struct MftCandidate {
    bool found = false;                 // the enumeration listed at least one
    long activateResult = 0;            // HRESULT of activating it
    IMFTransform* transform = nullptr;  // the caller's reference on success
    std::wstring friendlyName;          // empty when the transform has none
};

// Lists the encoder transforms for NV12 in and H.264 out with these MFTEnumEx
// flags and activates the first. Tests hand in their own transforms this way.
using MftFinder = std::function<MftCandidate(std::uint32_t enumFlags)>;
MftCandidate findSystemMft(std::uint32_t enumFlags);

// An H.264 encoder transform of Media Foundation, hardware first, software as the
// fallback. Frames are converted to NV12 on the CPU and handed over as memory
// samples. A hardware (asynchronous) transform is driven by its events, read
// without waiting on the encoding thread: inputs go in when it asks for them, and
// its output is collected on the same or a later encodeFrame. Shutdown drains the
// transform: its last units reach the callback on the thread that shuts it down.
//
// Threads: as EncoderBase; everything that touches the transform runs on the
// encoding thread (and in initialize and shutdown).
class QuickSyncEncoder final : public CommonEncoder {
public:
    explicit QuickSyncEncoder(MftFinder finder = findSystemMft);
    ~QuickSyncEncoder() override;
    QuickSyncEncoder(const QuickSyncEncoder&) = delete;
    QuickSyncEncoder& operator=(const QuickSyncEncoder&) = delete;

    const char* getName() const override { return "QuickSync"; }
    bool initialize(EncoderDevice device, const EncoderConfig& config) override;
    void shutdown() override;
    bool encodeFrame(EncoderInput input) override;
    bool reconfigure(const EncoderConfig& config) override;

private:
    enum class Output { Delivered, Empty, NeedMoreInput, Failed };
    // What reading the waiting events of an asynchronous transform came to.
    enum class Events { Handled, Drained, Failed };

    bool initializeMF();
    bool createDeviceManager();
    bool createEncoder();
    void configureEncoder();
    bool setMediaTypes();
    void releaseAll();
    void applyPendingBitrate();
    void setCodecValue(const _GUID& api, std::uint32_t value);
    Microsoft::WRL::ComPtr<IMFSample> createInputSample(EncoderInput texture);
    bool submit(IMFSample* sample);
    bool processInput(IMFSample* sample);
    Events pumpEvents();
    // At shutdown: hands what the transform still holds to the callback.
    void awaitAsyncDrain();
    void drainOutput();
    Output processOutput();

    MftFinder finder;
    Microsoft::WRL::ComPtr<ID3D11Device> d3dDevice;
    Microsoft::WRL::ComPtr<ID3D11DeviceContext> d3dContext;
    Microsoft::WRL::ComPtr<IMFTransform> transform;
    Microsoft::WRL::ComPtr<ICodecAPI> codecApi;
    Microsoft::WRL::ComPtr<IMFMediaEventGenerator> eventGenerator;  // asynchronous transforms only
    Microsoft::WRL::ComPtr<IMFDXGIDeviceManager> deviceManager;
    std::uint32_t resetToken = 0;
    Microsoft::WRL::ComPtr<ID3D11Texture2D> staging;  // CPU-readable copy of the frame, kept between frames
    bool mfStarted = false;
    bool async = false;
    std::uint32_t inputStreamId = 0;
    std::uint32_t outputStreamId = 0;
    std::uint32_t inputRequests = 0;  // inputs the asynchronous transform asked for and has not got
    Microsoft::WRL::ComPtr<IMFSample> waitingSample;  // the newest frame, held until the transform asks for input
    std::uint32_t inputCount = 0;
    std::uint32_t inputsWithoutOutput = 0;
    std::vector<std::uint8_t> outputBuffer;
};

}  // namespace quillane::host
