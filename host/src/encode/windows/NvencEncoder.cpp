#include "encode/windows/NvencEncoder.h"

#include <windows.h>
#include <d3d11.h>

#include <spdlog/spdlog.h>

#include "encode/windows/D3D11Textures.h"
#include "platform/windows/SystemLibrary.h"

namespace quillane::host {
namespace {

constexpr std::uint32_t kSlotCount = 4;

// Access units delivered by any NVENC encoder in this process.
std::atomic<std::uint64_t> deliveredUnits{0};

using CreateInstanceFunction = NVENCSTATUS(NVENCAPI*)(NV_ENCODE_API_FUNCTION_LIST*);

}  // namespace

NvencEncoder::NvencEncoder() {
    functions_.version = NV_ENCODE_API_FUNCTION_LIST_VER;
}

NvencEncoder::~NvencEncoder() {
    shutdown();
}

bool NvencEncoder::initialize(EncoderDevice device, const EncoderConfig& config) {
    if (const std::optional<bool> refused = refuseInitialize("NVENC", device != nullptr, config)) {
        return *refused;
    }
    releaseAll();
    holdDevice(device, device_, context_);
    config_ = config;
    nalRule_ = nalRuleForCodec(config.codec);
    if (!loadNvenc() || !createEncoder() || !createBuffers()) {
        releaseAll();
        return false;
    }
    initialized_ = true;
    SPDLOG_INFO("NVENC encoder initialized: {}x{} @ {} kbps, {} fps", config_.width, config_.height,
                 config_.bitrateKbps, config_.fps);
    return true;
}

bool NvencEncoder::loadNvenc() {
    HMODULE module = loadSystemLibrary(L"nvEncodeAPI64.dll");
    if (module == nullptr) {
        SPDLOG_ERROR("Failed to load nvEncodeAPI64.dll");
        return false;
    }
    library_ = module;
    auto create = reinterpret_cast<CreateInstanceFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "NvEncodeAPICreateInstance")));
    if (create == nullptr) {
        SPDLOG_ERROR("Failed to get NvEncodeAPICreateInstance");
        FreeLibrary(module);
        library_ = nullptr;
        return false;
    }
    functions_ = NV_ENCODE_API_FUNCTION_LIST{};
    functions_.version = NV_ENCODE_API_FUNCTION_LIST_VER;
    const NVENCSTATUS status = create(&functions_);
    if (status != NV_ENC_SUCCESS) {
        SPDLOG_ERROR("NvEncodeAPICreateInstance failed: {}", static_cast<int>(status));
        FreeLibrary(module);
        library_ = nullptr;
        return false;
    }
    SPDLOG_INFO("NVENC API loaded successfully");
    return true;
}

bool NvencEncoder::createEncoder() {
    NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS open{};
    open.version = NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS_VER;
    open.deviceType = NV_ENC_DEVICE_TYPE_DIRECTX;
    open.device = device_.Get();
    open.apiVersion = kNvencApiVersion;
    NVENCSTATUS status = functions_.nvEncOpenEncodeSessionEx(&open, &encoder_);
    if (status != NV_ENC_SUCCESS) {
        SPDLOG_ERROR("NVENC ERROR: Failed to open encode session (error {}). {}", static_cast<int>(status),
                      nvencOpenSessionHint(status));
        encoder_ = nullptr;
        return false;
    }

    const GUID codec = nvencCodecGuid(config_);
    NV_ENC_PRESET_CONFIG preset{};
    preset.version = NV_ENC_PRESET_CONFIG_VER;
    preset.presetCfg.version = NV_ENC_CONFIG_VER;
    status = functions_.nvEncGetEncodePresetConfigEx(encoder_, codec, kNvencPreset, kNvencTuning, &preset);
    if (status != NV_ENC_SUCCESS) {
        SPDLOG_ERROR("nvEncGetEncodePresetConfigEx failed: {}", static_cast<int>(status));
        functions_.nvEncDestroyEncoder(encoder_);
        encoder_ = nullptr;
        return false;
    }
    encodeConfig_ = preset.presetCfg;
    encodeConfig_.version = NV_ENC_CONFIG_VER;
    applyNvencConfig(encodeConfig_, config_);
    initParams_ = makeNvencInitializeParams(config_, &encodeConfig_);

    status = functions_.nvEncInitializeEncoder(encoder_, &initParams_);
    if (status != NV_ENC_SUCCESS) {
        SPDLOG_ERROR("nvEncInitializeEncoder failed: {}", static_cast<int>(status));
        functions_.nvEncDestroyEncoder(encoder_);
        encoder_ = nullptr;
        return false;
    }
    return true;
}

bool NvencEncoder::createBuffers() {
    inputSlots_.assign(kSlotCount, InputSlot{});
    outputSlots_.assign(kSlotCount, OutputSlot{});
    for (std::uint32_t i = 0; i < kSlotCount; ++i) {
        D3D11_TEXTURE2D_DESC desc{};
        desc.Width = config_.width;
        desc.Height = config_.height;
        desc.MipLevels = 1;
        desc.ArraySize = 1;
        desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
        desc.SampleDesc.Count = 1;
        desc.Usage = D3D11_USAGE_DEFAULT;
        desc.BindFlags = D3D11_BIND_RENDER_TARGET;
        desc.MiscFlags = D3D11_RESOURCE_MISC_SHARED;
        const HRESULT hr = device_->CreateTexture2D(&desc, nullptr, inputSlots_[i].texture.ReleaseAndGetAddressOf());
        if (FAILED(hr)) {
            SPDLOG_ERROR("Failed to create input texture: {:#x}", static_cast<std::uint32_t>(hr));
            return false;
        }

        NV_ENC_REGISTER_RESOURCE reg{};
        reg.version = NV_ENC_REGISTER_RESOURCE_VER;
        reg.resourceType = NV_ENC_INPUT_RESOURCE_TYPE_DIRECTX;
        reg.width = config_.width;
        reg.height = config_.height;
        reg.pitch = 0;
        reg.subResourceIndex = 0;
        reg.resourceToRegister = inputSlots_[i].texture.Get();
        reg.bufferFormat = NV_ENC_BUFFER_FORMAT_ARGB;
        reg.bufferUsage = NV_ENC_INPUT_IMAGE;
        NVENCSTATUS status = functions_.nvEncRegisterResource(encoder_, &reg);
        if (status != NV_ENC_SUCCESS) {
            SPDLOG_ERROR("nvEncRegisterResource failed: {}", static_cast<int>(status));
            return false;
        }
        inputSlots_[i].registered = reg.registeredResource;

        NV_ENC_CREATE_BITSTREAM_BUFFER bitstream{};
        bitstream.version = NV_ENC_CREATE_BITSTREAM_BUFFER_VER;
        status = functions_.nvEncCreateBitstreamBuffer(encoder_, &bitstream);
        if (status != NV_ENC_SUCCESS) {
            SPDLOG_ERROR("nvEncCreateBitstreamBuffer failed: {}", static_cast<int>(status));
            return false;
        }
        outputSlots_[i].bitstream = bitstream.bitstreamBuffer;
        outputSlots_[i].data.reserve(std::size_t{config_.width} * config_.height);
    }
    return true;
}

void NvencEncoder::releaseAll() {
    for (InputSlot& slot : inputSlots_) {
        if (encoder_ != nullptr) {
            unmapInput(slot);
        }
        if (slot.registered != nullptr && encoder_ != nullptr) {
            functions_.nvEncUnregisterResource(encoder_, slot.registered);
        }
        slot.texture.Reset();
    }
    inputSlots_.clear();
    for (OutputSlot& slot : outputSlots_) {
        if (slot.bitstream != nullptr && encoder_ != nullptr) {
            functions_.nvEncDestroyBitstreamBuffer(encoder_, slot.bitstream);
        }
    }
    outputSlots_.clear();
    if (encoder_ != nullptr) {
        functions_.nvEncDestroyEncoder(encoder_);
        encoder_ = nullptr;
    }
    if (library_ != nullptr) {
        FreeLibrary(static_cast<HMODULE>(library_));
        library_ = nullptr;
    }
    context_.Reset();
    device_.Reset();
    currentSlot_ = 0;
}

void NvencEncoder::shutdown() {
    if (!initialized_) {
        return;
    }
    SPDLOG_INFO("Shutting down NVENC encoder...");
    releaseAll();
    initialized_ = false;
}

void NvencEncoder::applyPendingBitrate() {
    const std::optional<PendingBitrate::Rates> rates = pendingBitrate_.take();
    if (!rates) {
        return;
    }
    // Only the rate-control fields change; everything else is what the session was
    // initialised with.
    NV_ENC_CONFIG changed = encodeConfig_;
    applyNvencBitrate(changed.rcParams, rates->bitrateKbps, rates->maxBitrateKbps, config_.fps);
    NV_ENC_RECONFIGURE_PARAMS params = makeNvencReconfigureParams(initParams_, &changed);
    const NVENCSTATUS status = functions_.nvEncReconfigureEncoder(encoder_, &params);
    if (status != NV_ENC_SUCCESS) {
        SPDLOG_WARN("Failed to reconfigure bitrate: {}", static_cast<int>(status));
        return;
    }
    encodeConfig_ = changed;
    config_.bitrateKbps = rates->bitrateKbps;
    config_.maxBitrateKbps = rates->maxBitrateKbps;
    SPDLOG_INFO("Bitrate updated to {} / {} kbps", rates->bitrateKbps, rates->maxBitrateKbps);
}

bool NvencEncoder::encodeFrame(EncoderInput input) {
    if (!initialized_ || input == nullptr) {
        return false;
    }
    const auto start = std::chrono::steady_clock::now();
    applyPendingBitrate();
    const std::uint32_t slot = currentSlot_;
    InputSlot& in = inputSlots_[slot];
    context_->CopyResource(in.texture.Get(), input);

    NV_ENC_MAP_INPUT_RESOURCE map{};
    map.version = NV_ENC_MAP_INPUT_RESOURCE_VER;
    map.registeredResource = in.registered;
    NVENCSTATUS status = functions_.nvEncMapInputResource(encoder_, &map);
    if (status != NV_ENC_SUCCESS) {
        SPDLOG_ERROR("nvEncMapInputResource failed: {}", static_cast<int>(status));
        return false;
    }
    in.mapped = map.mappedResource;
    in.isMapped = true;

    NV_ENC_PIC_PARAMS picture{};
    picture.version = NV_ENC_PIC_PARAMS_VER;
    picture.inputWidth = config_.width;
    picture.inputHeight = config_.height;
    picture.inputBuffer = map.mappedResource;
    picture.bufferFmt = map.mappedBufferFmt;
    picture.outputBitstream = outputSlots_[slot].bitstream;
    picture.inputTimeStamp = frameCounter_;
    picture.pictureStruct = NV_ENC_PIC_STRUCT_FRAME;
    const bool keyframeWanted = takeKeyframeRequest();
    if (keyframeWanted) {
        picture.encodePicFlags = NV_ENC_PIC_FLAG_FORCEIDR | NV_ENC_PIC_FLAG_OUTPUT_SPSPPS;
    }
    status = functions_.nvEncEncodePicture(encoder_, &picture);
    if (status != NV_ENC_SUCCESS) {
        unmapInput(in);
        SPDLOG_ERROR("nvEncEncodePicture failed: {}", static_cast<int>(status));
        if (keyframeWanted) {
            restoreKeyframeRequest();  // the next frame carries the request
        }
        return false;
    }
    processOutput(slot);
    stats_.addFrameSubmitted();
    stats_.addEncodeTime(start);
    currentSlot_ = (slot + 1) % kSlotCount;
    ++frameCounter_;
    return true;
}

void NvencEncoder::unmapInput(InputSlot& slot) {
    if (slot.isMapped) {
        functions_.nvEncUnmapInputResource(encoder_, slot.mapped);
        slot.isMapped = false;
        slot.mapped = nullptr;
    }
}

void NvencEncoder::processOutput(std::uint32_t slot) {
    OutputSlot& out = outputSlots_[slot];
    NV_ENC_LOCK_BITSTREAM lock{};
    lock.version = NV_ENC_LOCK_BITSTREAM_VER;
    lock.outputBitstream = out.bitstream;
    lock.doNotWait = 0;
    const NVENCSTATUS status = functions_.nvEncLockBitstream(encoder_, &lock);
    // The input stays mapped until its picture's output is locked.
    unmapInput(inputSlots_[slot]);
    if (status != NV_ENC_SUCCESS) {
        SPDLOG_ERROR("nvEncLockBitstream failed: {}", static_cast<int>(status));
        return;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(lock.bitstreamBufferPtr);
    out.data.assign(bytes, bytes + lock.bitstreamSizeInBytes);
    const bool keyframe = lock.pictureType == NV_ENC_PIC_TYPE_I || lock.pictureType == NV_ENC_PIC_TYPE_IDR;
    functions_.nvEncUnlockBitstream(encoder_, out.bitstream);
    if (keyframe) {
        parameterSets_.scan(out.data.data(), out.data.size(), nalRule_);
    }
    stats_.addBytes(out.data.size());
    if (deliveredUnits.fetch_add(1) == 0) {
        SPDLOG_INFO("First encoded frame: {} bytes, keyframe={}, NAL={}", out.data.size(), keyframe,
                     h264FirstNalName(out.data.data(), out.data.size()));
    }
    if (outputCallback_) {
        EncodedFrame frame;
        frame.data = out.data.data();
        frame.size = out.data.size();
        frame.timestampUs = steadyMicros();
        frame.isKeyframe = keyframe;
        frame.frameNumber = frameCounter_;
        outputCallback_(frame);
    }
}

}  // namespace quillane::host
