#include "encode/windows/QuickSyncEncoder.h"

#include <windows.h>
// mfapi.h must come before the other Media Foundation headers.
#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mftransform.h>
#include <codecapi.h>
#include <strmif.h>
#include <d3d11.h>
#include <wrl/client.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <utility>

#include <spdlog/spdlog.h>

#include "common/LineSource.h"
#include "encode/MediaFoundationParams.h"
#include "platform/windows/D3D11Textures.h"
#include "platform/windows/ComObject.h"

namespace quillane::host {
namespace {

constexpr ULONG kMfVersion = 0x20070;
constexpr UINT32 kProgressive = 2;  // MFVideoInterlace_Progressive
constexpr UINT32 kProfileMain = 77;  // eAVEncH264VProfile_Main
constexpr std::size_t kOutputReserve = 1 << 20;
// A transform that has taken this many inputs without giving anything back is broken.
constexpr std::uint32_t kMaxInputsWithoutOutput = 30;
// Bound on units taken in one drain, against transforms that never say they are empty.
constexpr int kMaxUnitsPerDrain = 64;
// How long shutdown waits for a hardware transform to hand back what it still holds.
constexpr auto kAsyncDrainWait = std::chrono::milliseconds(250);

std::uint32_t hr32(HRESULT hr) { return static_cast<std::uint32_t>(hr); }

std::string utf8(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
    return out;
}

bool failed(HRESULT hr, const char* what) {
    if (FAILED(hr)) {
        SPDLOG_ERROR("{}: {:#x}", what, hr32(hr));
        return true;
    }
    return false;
}

}  // namespace

MftCandidate findSystemMft(std::uint32_t enumFlags) {
    MftCandidate candidate;
    MFT_REGISTER_TYPE_INFO input{MFMediaType_Video, MFVideoFormat_NV12};
    MFT_REGISTER_TYPE_INFO output{MFMediaType_Video, MFVideoFormat_H264};
    IMFActivate** activates = nullptr;
    UINT32 count = 0;
    const HRESULT hr = MFTEnumEx(MFT_CATEGORY_VIDEO_ENCODER, enumFlags, &input, &output, &activates, &count);
    if (SUCCEEDED(hr) && count > 0) {
        candidate.found = true;
        candidate.activateResult =
            activates[0]->ActivateObject(__uuidof(IMFTransform), reinterpret_cast<void**>(&candidate.transform));
        wchar_t name[256] = {};
        if (SUCCEEDED(activates[0]->GetString(MFT_FRIENDLY_NAME_Attribute, name, 256, nullptr))) {
            candidate.friendlyName = name;
        }
    }
    for (UINT32 i = 0; i < count; ++i) {
        adoptComObject(activates[i]);  // held for this statement only
    }
    CoTaskMemFree(activates);
    return candidate;
}

QuickSyncEncoder::QuickSyncEncoder(MftFinder finder) : finder(std::move(finder)) {
    outputBuffer.reserve(kOutputReserve);
}

QuickSyncEncoder::~QuickSyncEncoder() {
    shutdown();
    releaseAll();
}

bool QuickSyncEncoder::initialize(EncoderDevice device, const EncoderConfig& config) {
    if (const std::optional<bool> refused = refuseInitialize("QuickSync", device != nullptr, config)) {
        return *refused;
    }
    releaseAll();
    holdDevice(device, d3dDevice, d3dContext);
    encoderConfig = config;
    bool ok = initializeMF() && createDeviceManager();
    if (ok && !createEncoder()) {
        SPDLOG_ERROR("Failed to create MFT encoder");
        ok = false;
    }
    if (ok) {
        configureEncoder();
    }
    if (ok && !setMediaTypes()) {
        SPDLOG_ERROR("Failed to set media types");
        ok = false;
    }
    ok = ok && !failed(transform->ProcessMessage(MFT_MESSAGE_NOTIFY_BEGIN_STREAMING, 0),
                       "MFT_MESSAGE_NOTIFY_BEGIN_STREAMING failed");
    ok = ok && !failed(transform->ProcessMessage(MFT_MESSAGE_NOTIFY_START_OF_STREAM, 0),
                       "MFT_MESSAGE_NOTIFY_START_OF_STREAM failed");
    if (!ok) {
        releaseAll();
        return false;
    }
    initialized = true;
    if (std::size_t held = 0; StreamLineScope::allow(held)) {
        SPDLOG_INFO("QuickSync encoder initialized: {}x{} @ {} kbps, {} fps{}", encoderConfig.width,
                    encoderConfig.height, encoderConfig.bitrateKbps, encoderConfig.fps, heldNote(held));
    }
    return true;
}

bool QuickSyncEncoder::initializeMF() {
    if (!mfStarted) {
        const HRESULT hr = MFStartup(kMfVersion, MFSTARTUP_LITE);
        if (FAILED(hr)) {
            SPDLOG_ERROR("MFStartup failed: {:#x}", hr32(hr));
            SPDLOG_ERROR("Failed to initialize Media Foundation");
            return false;
        }
        mfStarted = true;
    }
    return true;
}

bool QuickSyncEncoder::createDeviceManager() {
    UINT token = 0;
    if (failed(MFCreateDXGIDeviceManager(&token, deviceManager.ReleaseAndGetAddressOf()),
               "MFCreateDXGIDeviceManager failed")) {
        return false;
    }
    resetToken = token;
    return !failed(deviceManager->ResetDevice(d3dDevice.Get(), token), "ResetDevice failed");
}

bool QuickSyncEncoder::createEncoder() {
    MftCandidate candidate = finder(MFT_ENUM_FLAG_HARDWARE | MFT_ENUM_FLAG_SORTANDFILTER);
    if (!candidate.found) {
        SPDLOG_WARN("No hardware H.264 encoder found, trying software");
        candidate = finder(MFT_ENUM_FLAG_SYNCMFT | MFT_ENUM_FLAG_SORTANDFILTER);
        if (!candidate.found) {
            SPDLOG_ERROR("No H.264 encoder found");
            return false;
        }
    }
    if (std::size_t held = 0; !candidate.friendlyName.empty() && StreamLineScope::allow(held)) {
        SPDLOG_INFO("Using encoder: {}{}", utf8(candidate.friendlyName), heldNote(held));
    }
    const Microsoft::WRL::ComPtr<IMFTransform> activated = adoptComObject(candidate.transform);
    if (FAILED(candidate.activateResult) || !activated) {
        SPDLOG_ERROR("{}: {:#x}", "Failed to activate encoder", hr32(candidate.activateResult));
        return false;
    }
    transform = activated;

    Microsoft::WRL::ComPtr<IMFAttributes> attributes;
    if (SUCCEEDED(transform->GetAttributes(attributes.GetAddressOf())) && attributes) {
        async = MFGetAttributeUINT32(attributes.Get(), MF_TRANSFORM_ASYNC, FALSE) != FALSE;
        attributes->SetUINT32(MF_TRANSFORM_ASYNC_UNLOCK, TRUE);
        const HRESULT hr = transform->ProcessMessage(MFT_MESSAGE_SET_D3D_MANAGER,
                                                      reinterpret_cast<ULONG_PTR>(deviceManager.Get()));
        if (FAILED(hr)) {
            SPDLOG_WARN("Failed to set D3D manager on encoder: {:#x} - will use CPU path", hr32(hr));
        }
    }
    if (async &&
        failed(transform->QueryInterface(__uuidof(IMFMediaEventGenerator),
                                          reinterpret_cast<void**>(eventGenerator.ReleaseAndGetAddressOf())),
               "Asynchronous encoder has no event generator")) {
        return false;
    }

    DWORD inputs = 0;
    DWORD outputs = 0;
    if (SUCCEEDED(transform->GetStreamCount(&inputs, &outputs)) && inputs >= 1 && outputs >= 1) {
        DWORD inputId = 0;
        DWORD outputId = 0;
        if (SUCCEEDED(transform->GetStreamIDs(1, &inputId, 1, &outputId))) {
            inputStreamId = inputId;
            outputStreamId = outputId;
        }
    }
    return true;
}

void QuickSyncEncoder::setCodecValue(const GUID& api, std::uint32_t value) {
    VARIANT variant{};
    variant.vt = VT_UI4;
    variant.ulVal = value;
    codecApi->SetValue(&api, &variant);
}

void QuickSyncEncoder::configureEncoder() {
    if (FAILED(
            transform->QueryInterface(IID_ICodecAPI, reinterpret_cast<void**>(codecApi.ReleaseAndGetAddressOf())))) {
        codecApi.Reset();
        SPDLOG_WARN("ICodecAPI not available, using default settings");
        return;
    }
    VARIANT lowLatency{};
    lowLatency.vt = VT_BOOL;
    lowLatency.boolVal = VARIANT_TRUE;
    codecApi->SetValue(&CODECAPI_AVLowLatencyMode, &lowLatency);
    setCodecValue(CODECAPI_AVEncCommonRateControlMode, eAVEncCommonRateControlMode_CBR);
    setCodecValue(CODECAPI_AVEncCommonMeanBitRate, bitsPerSecond(encoderConfig.bitrateKbps));
    setCodecValue(CODECAPI_AVEncCommonMaxBitRate, bitsPerSecond(encoderConfig.maxBitrateKbps));
    setCodecValue(CODECAPI_AVEncMPVGOPSize, encoderConfig.gopLength);
    setCodecValue(CODECAPI_AVEncMPVDefaultBPictureCount, 0);
}

bool QuickSyncEncoder::setMediaTypes() {
    Microsoft::WRL::ComPtr<IMFMediaType> output;
    if (failed(MFCreateMediaType(output.GetAddressOf()), "MFCreateMediaType for output failed")) {
        return false;
    }
    output->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    output->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_H264);
    output->SetUINT32(MF_MT_AVG_BITRATE, bitsPerSecond(encoderConfig.bitrateKbps));
    output->SetUINT32(MF_MT_INTERLACE_MODE, kProgressive);
    MFSetAttributeSize(output.Get(), MF_MT_FRAME_SIZE, encoderConfig.width, encoderConfig.height);
    MFSetAttributeRatio(output.Get(), MF_MT_FRAME_RATE, encoderConfig.fps, 1);
    MFSetAttributeRatio(output.Get(), MF_MT_PIXEL_ASPECT_RATIO, 1, 1);
    output->SetUINT32(MF_MT_MPEG2_PROFILE, kProfileMain);
    output->SetUINT32(MF_MT_MPEG2_LEVEL,
                      h264LevelFor(encoderConfig.width, encoderConfig.height, encoderConfig.fps, encoderConfig.maxBitrateKbps));
    const HRESULT outputSet = transform->SetOutputType(outputStreamId, output.Get(), 0);
    if (failed(outputSet, "SetOutputType failed")) {
        return false;
    }

    Microsoft::WRL::ComPtr<IMFMediaType> input;
    if (failed(MFCreateMediaType(input.GetAddressOf()), "MFCreateMediaType for input failed")) {
        return false;
    }
    input->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    input->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_NV12);
    input->SetUINT32(MF_MT_INTERLACE_MODE, kProgressive);
    MFSetAttributeSize(input.Get(), MF_MT_FRAME_SIZE, encoderConfig.width, encoderConfig.height);
    MFSetAttributeRatio(input.Get(), MF_MT_FRAME_RATE, encoderConfig.fps, 1);
    MFSetAttributeRatio(input.Get(), MF_MT_PIXEL_ASPECT_RATIO, 1, 1);
    const HRESULT inputSet = transform->SetInputType(inputStreamId, input.Get(), 0);
    return !failed(inputSet, "SetInputType failed");
}

void QuickSyncEncoder::releaseAll() {
    waitingSample.Reset();
    if (transform && async) {
        Microsoft::WRL::ComPtr<IMFShutdown> shutdown;
        if (SUCCEEDED(
                transform->QueryInterface(__uuidof(IMFShutdown), reinterpret_cast<void**>(shutdown.GetAddressOf())))) {
            shutdown->Shutdown();
        }
    }
    eventGenerator.Reset();
    codecApi.Reset();
    transform.Reset();
    staging.Reset();
    deviceManager.Reset();
    d3dContext.Reset();
    d3dDevice.Reset();
    if (mfStarted) {
        MFShutdown();
        mfStarted = false;
    }
    async = false;
    inputRequests = 0;
    inputsWithoutOutput = 0;
    inputStreamId = 0;
    outputStreamId = 0;
}

void QuickSyncEncoder::shutdown() {
    if (!initialized) {
        return;
    }
    initialized = false;
    if (std::size_t held = 0; StreamLineScope::allow(held)) {
        SPDLOG_INFO("Shutting down QuickSync encoder...{}", heldNote(held));
    }
    // The units still inside the transform reach the callback on this thread; a
    // frame the transform has not taken yet is not encoded any more.
    waitingSample.Reset();
    transform->ProcessMessage(MFT_MESSAGE_NOTIFY_END_OF_STREAM, 0);
    transform->ProcessMessage(MFT_MESSAGE_COMMAND_DRAIN, 0);
    if (async) {
        awaitAsyncDrain();
    } else {
        drainOutput();
    }
    releaseAll();
    if (std::size_t held = 0; StreamLineScope::allow(held)) {
        SPDLOG_INFO("QuickSync encoder shutdown complete{}", heldNote(held));
    }
}

bool QuickSyncEncoder::reconfigure(const EncoderConfig& config) {
    if (!initialized) {
        return false;
    }
    const Microsoft::WRL::ComPtr<ID3D11Device> device = d3dDevice;  // shutdown lets go of the encoder's reference
    return reconfigureOrReopen("QuickSync", device.Get(), config);
}

void QuickSyncEncoder::applyPendingBitrate() {
    const std::optional<PendingBitrate::Rates> rates = pendingBitrate.take();
    if (!rates || !codecApi) {
        return;
    }
    setCodecValue(CODECAPI_AVEncCommonMeanBitRate, bitsPerSecond(rates->bitrateKbps));
    setCodecValue(CODECAPI_AVEncCommonMaxBitRate, bitsPerSecond(rates->maxBitrateKbps));
    encoderConfig.bitrateKbps = rates->bitrateKbps;
    encoderConfig.maxBitrateKbps = rates->maxBitrateKbps;
    SPDLOG_INFO("QuickSync bitrate updated to {} / {} kbps", rates->bitrateKbps, rates->maxBitrateKbps);
}

bool QuickSyncEncoder::encodeFrame(EncoderInput input) {
    if (!initialized || input == nullptr) {
        return false;
    }
    const auto start = std::chrono::steady_clock::now();
    applyPendingBitrate();
    if (async) {
        pumpEvents();
    }
    if (takeKeyframeRequest() && codecApi) {
        setCodecValue(CODECAPI_AVEncVideoForceKeyFrame, 1);
    }
    const Microsoft::WRL::ComPtr<IMFSample> sample = createInputSample(input);
    if (!sample) {
        SPDLOG_ERROR("Failed to create input sample");
        return false;
    }
    const bool submitted = submit(sample.Get());
    if (!submitted) {
        return false;
    }
    ++inputCount;
    ++inputsWithoutOutput;
    if (async) {
        pumpEvents();
    } else {
        drainOutput();
    }
    stats.addEncodeTime(start);
    if (inputsWithoutOutput >= kMaxInputsWithoutOutput) {
        if (inputsWithoutOutput % kMaxInputsWithoutOutput == 0) {
            SPDLOG_ERROR("QuickSync encoder gave no output for {} frames", inputsWithoutOutput);
        }
        return false;
    }
    return true;
}

bool QuickSyncEncoder::submit(IMFSample* sample) {
    if (!async) {
        return processInput(sample);
    }
    if (inputRequests == 0) {
        // Not asked for input yet: this frame waits for the request, replacing an
        // older waiting one, so the capture thread never waits for the transform.
        waitingSample = sample;
        return true;
    }
    --inputRequests;
    return processInput(sample);
}

bool QuickSyncEncoder::processInput(IMFSample* sample) {
    HRESULT hr = transform->ProcessInput(inputStreamId, sample, 0);
    if (hr == MF_E_NOTACCEPTING && !async) {
        drainOutput();
        hr = transform->ProcessInput(inputStreamId, sample, 0);
    }
    if (FAILED(hr)) {
        SPDLOG_ERROR("ProcessInput failed: {:#x}", hr32(hr));
        return false;
    }
    return true;
}

QuickSyncEncoder::Events QuickSyncEncoder::pumpEvents() {
    for (;;) {
        Microsoft::WRL::ComPtr<IMFMediaEvent> event;
        const HRESULT hr = eventGenerator->GetEvent(MF_EVENT_FLAG_NO_WAIT, event.GetAddressOf());
        if (hr == MF_E_NO_EVENTS_AVAILABLE) {
            return Events::Handled;
        }
        if (FAILED(hr)) {
            SPDLOG_ERROR("GetEvent failed: {:#x}", hr32(hr));
            return Events::Failed;
        }
        MediaEventType type = MEUnknown;
        event->GetType(&type);
        if (type == METransformNeedInput) {
            if (waitingSample) {
                const Microsoft::WRL::ComPtr<IMFSample> sample = std::move(waitingSample);
                processInput(sample.Get());
            } else {
                ++inputRequests;
            }
        } else if (type == METransformHaveOutput) {
            processOutput();
        } else if (type == METransformDrainComplete) {
            return Events::Drained;
        }
    }
}

void QuickSyncEncoder::awaitAsyncDrain() {
    // The transform answers on its own threads: its events are polled for a while.
    const auto deadline = std::chrono::steady_clock::now() + kAsyncDrainWait;
    for (Events events = pumpEvents(); events == Events::Handled; events = pumpEvents()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            SPDLOG_WARN("QuickSync encoder did not drain within {} ms; its last frames are lost",
                        kAsyncDrainWait.count());
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void QuickSyncEncoder::drainOutput() {
    for (int i = 0; i < kMaxUnitsPerDrain; ++i) {
        const Output result = processOutput();
        if (result == Output::NeedMoreInput || result == Output::Failed) {
            return;
        }
    }
}

QuickSyncEncoder::Output QuickSyncEncoder::processOutput() {
    MFT_OUTPUT_STREAM_INFO info{};
    if (FAILED(transform->GetOutputStreamInfo(outputStreamId, &info))) {
        return Output::Failed;
    }
    Microsoft::WRL::ComPtr<IMFSample> provided;
    if ((info.dwFlags & MFT_OUTPUT_STREAM_PROVIDES_SAMPLES) == 0) {
        const DWORD size = info.cbSize != 0 ? info.cbSize : encoderConfig.width * encoderConfig.height;
        Microsoft::WRL::ComPtr<IMFMediaBuffer> buffer;
        if (FAILED(MFCreateSample(provided.GetAddressOf())) ||
            FAILED(MFCreateMemoryBuffer(size, buffer.GetAddressOf()))) {
            return Output::Failed;
        }
        provided->AddBuffer(buffer.Get());
    }
    MFT_OUTPUT_DATA_BUFFER out{};
    out.dwStreamID = outputStreamId;
    out.pSample = provided.Get();
    DWORD status = 0;
    const HRESULT hr = transform->ProcessOutput(0, 1, &out, &status);
    adoptComObject(out.pEvents);  // none wanted: let go of them at once
    // Ours, or one the transform gave with a reference of its own.
    const Microsoft::WRL::ComPtr<IMFSample> produced = out.pSample == provided.Get() ? provided
                                                                                      : adoptComObject(out.pSample);
    provided.Reset();
    if (FAILED(hr)) {
        return hr == MF_E_TRANSFORM_NEED_MORE_INPUT ? Output::NeedMoreInput : Output::Failed;
    }
    if (!produced) {
        return Output::Empty;
    }
    Microsoft::WRL::ComPtr<IMFMediaBuffer> contiguous;
    BYTE* data = nullptr;
    DWORD length = 0;
    EncodedFrame frame;
    if (SUCCEEDED(produced->ConvertToContiguousBuffer(contiguous.GetAddressOf())) &&
        SUCCEEDED(contiguous->Lock(&data, nullptr, &length))) {
        if (data != nullptr && length > 0) {
            frame.isKeyframe = MFGetAttributeUINT32(produced.Get(), MFSampleExtension_CleanPoint, 0) != 0;
            if (frame.isKeyframe) {
                parameterSets.scan(data, length, NalRule::H264);
            }
            outputBuffer.assign(data, data + length);
            frame.data = outputBuffer.data();
            frame.size = outputBuffer.size();
        }
        contiguous->Unlock();
    }
    if (frame.size == 0) {
        return Output::Empty;
    }
    inputsWithoutOutput = 0;
    stats.addFrame(frame.size);
    if (outputCallback) {
        frame.timestampUs = steadyMicros();
        frame.frameNumber = inputCount - 1;
        outputCallback(frame);
    }
    return Output::Delivered;
}

Microsoft::WRL::ComPtr<IMFSample> QuickSyncEncoder::createInputSample(EncoderInput texture) {
    const std::uint32_t width = encoderConfig.width;
    const std::uint32_t height = encoderConfig.height;
    const DWORD size = width * height * 3 / 2;
    D3D11_TEXTURE2D_DESC desc{};
    texture->GetDesc(&desc);
    if (desc.Width < width || desc.Height < height) {
        SPDLOG_ERROR("Input texture {}x{} is smaller than the encoder's {}x{}", desc.Width, desc.Height, width,
                      height);
        return nullptr;
    }
    if (!staging) {
        desc.Usage = D3D11_USAGE_STAGING;
        desc.BindFlags = 0;
        desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
        desc.MiscFlags = 0;
        const HRESULT hr = d3dDevice->CreateTexture2D(&desc, nullptr, staging.ReleaseAndGetAddressOf());
        if (FAILED(hr)) {
            SPDLOG_ERROR("Failed to create staging texture: {:#x}", hr32(hr));
            staging.Reset();
            return nullptr;
        }
    }
    Microsoft::WRL::ComPtr<IMFMediaBuffer> buffer;
    HRESULT hr = MFCreateMemoryBuffer(size, buffer.GetAddressOf());
    if (FAILED(hr)) {
        SPDLOG_ERROR("MFCreateMemoryBuffer failed: {:#x}", hr32(hr));
        return nullptr;
    }
    d3dContext->CopyResource(staging.Get(), texture);
    D3D11_MAPPED_SUBRESOURCE mapped{};
    hr = d3dContext->Map(staging.Get(), 0, D3D11_MAP_READ, 0, &mapped);
    if (FAILED(hr)) {
        SPDLOG_ERROR("Failed to map staging texture: {:#x}", hr32(hr));
        return nullptr;
    }
    BYTE* dst = nullptr;
    hr = buffer->Lock(&dst, nullptr, nullptr);
    if (FAILED(hr)) {
        d3dContext->Unmap(staging.Get(), 0);
        SPDLOG_ERROR("Failed to lock buffer: {:#x}", hr32(hr));
        return nullptr;
    }
    bgraToNv12(static_cast<const std::uint8_t*>(mapped.pData), mapped.RowPitch, width, height, dst);
    buffer->Unlock();
    buffer->SetCurrentLength(size);
    d3dContext->Unmap(staging.Get(), 0);

    Microsoft::WRL::ComPtr<IMFSample> sample;
    hr = MFCreateSample(sample.GetAddressOf());
    if (FAILED(hr)) {
        SPDLOG_ERROR("MFCreateSample failed: {:#x}", hr32(hr));
        return nullptr;
    }
    hr = sample->AddBuffer(buffer.Get());
    if (FAILED(hr)) {
        SPDLOG_ERROR("AddBuffer failed: {:#x}", hr32(hr));
        return nullptr;
    }
    sample->SetSampleTime(static_cast<LONGLONG>(mfSampleTime(inputCount, encoderConfig.fps)));
    sample->SetSampleDuration(static_cast<LONGLONG>(mfSampleDuration(encoderConfig.fps)));
    return sample;
}

}  // namespace quillane::host
