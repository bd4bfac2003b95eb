#include "encode/windows/NvencEncoder.h"

#include <windows.h>
#include <d3d11.h>

#include <spdlog/spdlog.h>

#include "common/LineSource.h"
#include "platform/windows/D3D11Textures.h"
#include "platform/windows/SystemLibrary.h"

namespace quillane::host {
namespace {

constexpr std::uint32_t kSlotCount = 4;

// Access units delivered by any NVENC encoder in this process.
std::atomic<std::uint64_t> deliveredUnits{0};

using CreateInstanceFunction = NVENCSTATUS(NVENCAPI*)(NV_ENCODE_API_FUNCTION_LIST*);

}  // namespace

NvencEncoder::NvencEncoder() {
    functions.version = NV_ENCODE_API_FUNCTION_LIST_VER;
}

NvencEncoder::~NvencEncoder() {
    shutdown();
}

bool NvencEncoder::initialize(EncoderDevice device, const EncoderConfig& config) {
    if (const std::optional<bool> refused = refuseInitialize("NVENC", device != nullptr, config)) {
        return *refused;
    }
    releaseAll();
    holdDevice(device, d3dDevice, d3dContext);
    encoderConfig = config;
    nalRule = nalRuleForCodec(config.codec);
    if (!loadNvenc() || !createEncoder() || !createBuffers()) {
        releaseAll();
        return false;
    }
    initialized = true;
    if (std::size_t held = 0; StreamLineScope::allow(held)) {
        SPDLOG_INFO("NVENC encoder initialized: {}x{} @ {} kbps, {} fps{}", encoderConfig.width, encoderConfig.height,
                    encoderConfig.bitrateKbps, encoderConfig.fps, heldNote(held));
    }
    return true;
}

bool NvencEncoder::loadNvenc() {
    HMODULE module = loadSystemLibrary(L"nvEncodeAPI64.dll");
    if (module == nullptr) {
        SPDLOG_ERROR("Failed to load nvEncodeAPI64.dll");
        return false;
    }
    library = module;
    auto create = reinterpret_cast<CreateInstanceFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "NvEncodeAPICreateInstance")));
    if (create == nullptr) {
        SPDLOG_ERROR("Failed to get NvEncodeAPICreateInstance");
        FreeLibrary(module);
        library = nullptr;
        return false;
    }
    functions = NV_ENCODE_API_FUNCTION_LIST{};
    functions.version = NV_ENCODE_API_FUNCTION_LIST_VER;
    const NVENCSTATUS status = create(&functions);
    if (status != NV_ENC_SUCCESS) {
        SPDLOG_ERROR("NvEncodeAPICreateInstance failed: {}", static_cast<int>(status));
        FreeLibrary(module);
        library = nullptr;
        return false;
    }
    if (std::size_t held = 0; StreamLineScope::allow(held)) {
        SPDLOG_INFO("NVENC API loaded successfully{}", heldNote(held));
    }
    return true;
}

bool NvencEncoder::createEncoder() {
    NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS open{};
    open.version = NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS_VER;
    open.deviceType = NV_ENC_DEVICE_TYPE_DIRECTX;
    open.device = d3dDevice.Get();
    open.apiVersion = kNvencApiVersion;
    NVENCSTATUS status = functions.nvEncOpenEncodeSessionEx(&open, &encoder);
    if (status != NV_ENC_SUCCESS) {
        SPDLOG_ERROR("NVENC ERROR: Failed to open encode session (error {}). {}", static_cast<int>(status),
                      nvencOpenSessionHint(status));
        encoder = nullptr;
        return false;
    }

    const GUID codec = nvencCodecGuid(encoderConfig);
    NV_ENC_PRESET_CONFIG preset{};
    preset.version = NV_ENC_PRESET_CONFIG_VER;
    preset.presetCfg.version = NV_ENC_CONFIG_VER;
    status = functions.nvEncGetEncodePresetConfigEx(encoder, codec, kNvencPreset, kNvencTuning, &preset);
    if (status != NV_ENC_SUCCESS) {
        SPDLOG_ERROR("nvEncGetEncodePresetConfigEx failed: {}", static_cast<int>(status));
        functions.nvEncDestroyEncoder(encoder);
        encoder = nullptr;
        return false;
    }
    nvencConfig = preset.presetCfg;
    nvencConfig.version = NV_ENC_CONFIG_VER;
    applyNvencConfig(nvencConfig, encoderConfig);
    initParams = makeNvencInitializeParams(encoderConfig, &nvencConfig);

    status = functions.nvEncInitializeEncoder(encoder, &initParams);
    if (status != NV_ENC_SUCCESS) {
        SPDLOG_ERROR("nvEncInitializeEncoder failed: {}", static_cast<int>(status));
        functions.nvEncDestroyEncoder(encoder);
        encoder = nullptr;
        return false;
    }
    return true;
}

bool NvencEncoder::createBuffers() {
    inputSlots.assign(kSlotCount, InputSlot{});
    outputSlots.assign(kSlotCount, OutputSlot{});
    for (std::uint32_t i = 0; i < kSlotCount; ++i) {
        D3D11_TEXTURE2D_DESC desc = bgraTextureDesc(encoderConfig.width, encoderConfig.height, D3D11_BIND_RENDER_TARGET);
        desc.MiscFlags = D3D11_RESOURCE_MISC_SHARED;
        const HRESULT hr = d3dDevice->CreateTexture2D(&desc, nullptr, inputSlots[i].texture.ReleaseAndGetAddressOf());
        if (FAILED(hr)) {
            SPDLOG_ERROR("Failed to create input texture: {:#x}", static_cast<std::uint32_t>(hr));
            return false;
        }

        NV_ENC_REGISTER_RESOURCE reg{};
        reg.version = NV_ENC_REGISTER_RESOURCE_VER;
        reg.resourceType = NV_ENC_INPUT_RESOURCE_TYPE_DIRECTX;
        reg.width = encoderConfig.width;
        reg.height = encoderConfig.height;
        reg.pitch = 0;
        reg.subResourceIndex = 0;
        reg.resourceToRegister = inputSlots[i].texture.Get();
        reg.bufferFormat = NV_ENC_BUFFER_FORMAT_ARGB;
        reg.bufferUsage = NV_ENC_INPUT_IMAGE;
        NVENCSTATUS status = functions.nvEncRegisterResource(encoder, &reg);
        if (status != NV_ENC_SUCCESS) {
            SPDLOG_ERROR("nvEncRegisterResource failed: {}", static_cast<int>(status));
            return false;
        }
        inputSlots[i].registered = reg.registeredResource;

        NV_ENC_CREATE_BITSTREAM_BUFFER bitstream{};
        bitstream.version = NV_ENC_CREATE_BITSTREAM_BUFFER_VER;
        status = functions.nvEncCreateBitstreamBuffer(encoder, &bitstream);
        if (status != NV_ENC_SUCCESS) {
            SPDLOG_ERROR("nvEncCreateBitstreamBuffer failed: {}", static_cast<int>(status));
            return false;
        }
        outputSlots[i].bitstream = bitstream.bitstreamBuffer;
        outputSlots[i].data.reserve(std::size_t{encoderConfig.width} * encoderConfig.height);
    }
    return true;
}

void NvencEncoder::releaseAll() {
    for (InputSlot& slot : inputSlots) {
        if (encoder != nullptr) {
            unmapInput(slot);
        }
        if (slot.registered != nullptr && encoder != nullptr) {
            functions.nvEncUnregisterResource(encoder, slot.registered);
        }
        slot.texture.Reset();
    }
    inputSlots.clear();
    for (OutputSlot& slot : outputSlots) {
        if (slot.bitstream != nullptr && encoder != nullptr) {
            functions.nvEncDestroyBitstreamBuffer(encoder, slot.bitstream);
        }
    }
    outputSlots.clear();
    if (encoder != nullptr) {
        functions.nvEncDestroyEncoder(encoder);
        encoder = nullptr;
    }
    if (library != nullptr) {
        FreeLibrary(static_cast<HMODULE>(library));
        library = nullptr;
    }
    d3dContext.Reset();
    d3dDevice.Reset();
    currentSlot = 0;
}

void NvencEncoder::shutdown() {
    if (!initialized) {
        return;
    }
    if (std::size_t held = 0; StreamLineScope::allow(held)) {
        SPDLOG_INFO("Shutting down NVENC encoder...{}", heldNote(held));
    }
    releaseAll();
    initialized = false;
}

void NvencEncoder::applyPendingBitrate() {
    const std::optional<PendingBitrate::Rates> rates = pendingBitrate.take();
    if (!rates) {
        return;
    }
    // Only the rate-control fields change; everything else is what the session was
    // initialised with.
    NV_ENC_CONFIG changed = nvencConfig;
    applyNvencBitrate(changed.rcParams, rates->bitrateKbps, rates->maxBitrateKbps, encoderConfig.fps);
    NV_ENC_RECONFIGURE_PARAMS params = makeNvencReconfigureParams(initParams, &changed);
    const NVENCSTATUS status = functions.nvEncReconfigureEncoder(encoder, &params);
    if (status != NV_ENC_SUCCESS) {
        SPDLOG_WARN("Failed to reconfigure bitrate: {}", static_cast<int>(status));
        return;
    }
    nvencConfig = changed;
    encoderConfig.bitrateKbps = rates->bitrateKbps;
    encoderConfig.maxBitrateKbps = rates->maxBitrateKbps;
    SPDLOG_INFO("Bitrate updated to {} / {} kbps", rates->bitrateKbps, rates->maxBitrateKbps);
}

bool NvencEncoder::encodeFrame(EncoderInput input) {
    if (!initialized || input == nullptr) {
        return false;
    }
    const auto start = std::chrono::steady_clock::now();
    applyPendingBitrate();
    const std::uint32_t slot = currentSlot;
    InputSlot& in = inputSlots[slot];
    d3dContext->CopyResource(in.texture.Get(), input);

    NV_ENC_MAP_INPUT_RESOURCE map{};
    map.version = NV_ENC_MAP_INPUT_RESOURCE_VER;
    map.registeredResource = in.registered;
    NVENCSTATUS status = functions.nvEncMapInputResource(encoder, &map);
    if (status != NV_ENC_SUCCESS) {
        SPDLOG_ERROR("nvEncMapInputResource failed: {}", static_cast<int>(status));
        return false;
    }
    in.mapped = map.mappedResource;
    in.isMapped = true;

    NV_ENC_PIC_PARAMS picture{};
    picture.version = NV_ENC_PIC_PARAMS_VER;
    picture.inputWidth = encoderConfig.width;
    picture.inputHeight = encoderConfig.height;
    picture.inputBuffer = map.mappedResource;
    picture.bufferFmt = map.mappedBufferFmt;
    picture.outputBitstream = outputSlots[slot].bitstream;
    picture.inputTimeStamp = frameCounter;
    picture.pictureStruct = NV_ENC_PIC_STRUCT_FRAME;
    const bool keyframeWanted = takeKeyframeRequest();
    if (keyframeWanted) {
        picture.encodePicFlags = NV_ENC_PIC_FLAG_FORCEIDR | NV_ENC_PIC_FLAG_OUTPUT_SPSPPS;
    }
    status = functions.nvEncEncodePicture(encoder, &picture);
    if (status != NV_ENC_SUCCESS) {
        unmapInput(in);
        SPDLOG_ERROR("nvEncEncodePicture failed: {}", static_cast<int>(status));
        if (keyframeWanted) {
            restoreKeyframeRequest();  // the next frame carries the request
        }
        return false;
    }
    processOutput(slot);
    stats.addFrameSubmitted();
    stats.addEncodeTime(start);
    currentSlot = (slot + 1) % kSlotCount;
    ++frameCounter;
    return true;
}

void NvencEncoder::unmapInput(InputSlot& slot) {
    if (slot.isMapped) {
        functions.nvEncUnmapInputResource(encoder, slot.mapped);
        slot.isMapped = false;
        slot.mapped = nullptr;
    }
}

void NvencEncoder::processOutput(std::uint32_t slot) {
    OutputSlot& out = outputSlots[slot];
    NV_ENC_LOCK_BITSTREAM lock{};
    lock.version = NV_ENC_LOCK_BITSTREAM_VER;
    lock.outputBitstream = out.bitstream;
    lock.doNotWait = 0;
    const NVENCSTATUS status = functions.nvEncLockBitstream(encoder, &lock);
    // The input stays mapped until its picture's output is locked.
    unmapInput(inputSlots[slot]);
    if (status != NV_ENC_SUCCESS) {
        SPDLOG_ERROR("nvEncLockBitstream failed: {}", static_cast<int>(status));
        return;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(lock.bitstreamBufferPtr);
    out.data.assign(bytes, bytes + lock.bitstreamSizeInBytes);
    const bool keyframe = lock.pictureType == NV_ENC_PIC_TYPE_I || lock.pictureType == NV_ENC_PIC_TYPE_IDR;
    functions.nvEncUnlockBitstream(encoder, out.bitstream);
    if (keyframe) {
        parameterSets.scan(out.data.data(), out.data.size(), nalRule);
    }
    stats.addBytes(out.data.size());
    if (std::size_t held = 0; deliveredUnits.fetch_add(1) == 0 && StreamLineScope::allow(held)) {
        SPDLOG_INFO("First encoded frame: {} bytes, keyframe={}, NAL={}{}", out.data.size(), keyframe,
                    h264FirstNalName(out.data.data(), out.data.size()), heldNote(held));
    }
    if (outputCallback) {
        EncodedFrame frame;
        frame.data = out.data.data();
        frame.size = out.data.size();
        frame.timestampUs = steadyMicros();
        frame.isKeyframe = keyframe;
        frame.frameNumber = frameCounter;
        outputCallback(frame);
    }
}

}  // namespace quillane::host
