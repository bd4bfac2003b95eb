#include "FakeNvencRuntime.h"

#include <cstring>
#include <map>

namespace quillane::host::test {

namespace {

FakeNvencControl control;

struct Bitstream {
    std::vector<std::uint8_t> bytes;
    NV_ENC_PIC_TYPE type = NV_ENC_PIC_TYPE_P;
};
std::map<void*, Bitstream> bitstreams;
std::uintptr_t nextHandle = 0x1000;
int sessionTag = 0;

void* newHandle() {
    nextHandle += 0x10;
    return reinterpret_cast<void*>(nextHandle);
}

NVENCSTATUS NVENCAPI openSession(NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS* params, void** encoder) {
    control.openApiVersion = params->apiVersion;
    control.openDeviceType = params->deviceType;
    control.openDevice = params->device;
    if (control.openStatus != NV_ENC_SUCCESS) {
        return control.openStatus;
    }
    *encoder = &sessionTag;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI presetConfig(void*, GUID codec, GUID, NV_ENC_TUNING_INFO tuning, NV_ENC_PRESET_CONFIG* preset) {
    control.presetCodecHevc = std::memcmp(&codec, &NV_ENC_CODEC_HEVC_GUID, sizeof codec) == 0;
    control.presetTuning = tuning;
    preset->presetCfg.profileGUID = NV_ENC_H264_PROFILE_HIGH_GUID;
    preset->presetCfg.rcParams.rateControlMode = NV_ENC_PARAMS_RC_CONSTQP;
    preset->presetCfg.rcParams.lookaheadDepth = 3;
    preset->presetCfg.encodeCodecConfig.h264Config.outputAUD = 1;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI initialize(void*, NV_ENC_INITIALIZE_PARAMS* params) {
    ++control.initializeCalls;
    control.initParams = *params;
    if (params->encodeConfig != nullptr) {
        control.initConfig = *params->encodeConfig;
    }
    return control.initializeStatus;
}

NVENCSTATUS NVENCAPI registerResource(void*, NV_ENC_REGISTER_RESOURCE* params) {
    ++control.registered;
    control.registeredFormat = params->bufferFormat;
    control.registeredWidth = params->width;
    control.registeredHeight = params->height;
    params->registeredResource = newHandle();
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI unregisterResource(void*, NV_ENC_REGISTERED_PTR) {
    ++control.unregistered;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI createBitstream(void*, NV_ENC_CREATE_BITSTREAM_BUFFER* params) {
    ++control.bitstreamsCreated;
    params->bitstreamBuffer = newHandle();
    bitstreams[params->bitstreamBuffer] = {};
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI destroyBitstream(void*, NV_ENC_OUTPUT_PTR buffer) {
    ++control.bitstreamsDestroyed;
    bitstreams.erase(buffer);
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI mapResource(void*, NV_ENC_MAP_INPUT_RESOURCE* params) {
    ++control.maps;
    control.frameCalls += 'M';
    if (control.failMaps > 0) {
        --control.failMaps;
        return NV_ENC_ERR_MAP_FAILED;
    }
    params->mappedResource = params->registeredResource;
    params->mappedBufferFmt = NV_ENC_BUFFER_FORMAT_ARGB;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI unmapResource(void*, NV_ENC_INPUT_PTR) {
    ++control.unmaps;
    control.frameCalls += 'U';
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI encodePicture(void*, NV_ENC_PIC_PARAMS* params) {
    control.frameCalls += 'E';
    control.pictureFlags.push_back(params->encodePicFlags);
    control.pictureBitstreams.push_back(reinterpret_cast<std::uintptr_t>(params->outputBitstream));
    if (control.failEncodes > 0) {
        --control.failEncodes;
        return NV_ENC_ERR_GENERIC;
    }
    Bitstream& out = bitstreams[params->outputBitstream];
    const bool idr = control.idrNext || (params->encodePicFlags & NV_ENC_PIC_FLAG_FORCEIDR) != 0;
    control.idrNext = false;
    if (idr) {
        out.bytes = {0, 0, 0, 1, 0x67, 0x64, 0x00, 0x28, 0xAC, 0, 0, 0, 1, 0x68, 0xEE, 0x3C, 0xB0,
                     0, 0, 1, 0x65, 0x88, 0x80, 0x10, 0x00};
        out.type = NV_ENC_PIC_TYPE_IDR;
    } else {
        out.bytes = {0, 0, 0, 1, 0x41, 0x9A, 0x02, 0x04, static_cast<std::uint8_t>(params->inputTimeStamp)};
        out.type = NV_ENC_PIC_TYPE_P;
    }
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI lockBitstream(void*, NV_ENC_LOCK_BITSTREAM* params) {
    control.frameCalls += 'L';
    if (control.failLocks > 0) {
        --control.failLocks;
        return NV_ENC_ERR_LOCK_BUSY;
    }
    Bitstream& out = bitstreams[params->outputBitstream];
    params->bitstreamBufferPtr = out.bytes.data();
    params->bitstreamSizeInBytes = static_cast<std::uint32_t>(out.bytes.size());
    params->pictureType = out.type;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI unlockBitstream(void*, NV_ENC_OUTPUT_PTR) {
    ++control.unlocks;
    control.frameCalls += 'u';
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI reconfigure(void*, NV_ENC_RECONFIGURE_PARAMS* params) {
    ++control.reconfigureCalls;
    control.reconfigureParams = *params;
    if (params->reInitEncodeParams.encodeConfig != nullptr) {
        control.reconfigureConfig = *params->reInitEncodeParams.encodeConfig;
    }
    if (control.reconfigureStatus != NV_ENC_SUCCESS) {
        return control.reconfigureStatus;
    }
    if (params->forceIDR) {
        control.idrNext = true;
    }
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI destroyEncoder(void*) {
    ++control.sessionsDestroyed;
    return NV_ENC_SUCCESS;
}

}  // namespace

extern "C" {

__declspec(dllexport) NVENCSTATUS NVENCAPI NvEncodeAPICreateInstance(NV_ENCODE_API_FUNCTION_LIST* list) {
    if (list == nullptr || list->version != NV_ENCODE_API_FUNCTION_LIST_VER) {
        return NV_ENC_ERR_INVALID_VERSION;
    }
    ++control.instancesCreated;
    list->nvEncOpenEncodeSessionEx = openSession;
    list->nvEncGetEncodePresetConfigEx = presetConfig;
    list->nvEncInitializeEncoder = initialize;
    list->nvEncRegisterResource = registerResource;
    list->nvEncUnregisterResource = unregisterResource;
    list->nvEncCreateBitstreamBuffer = createBitstream;
    list->nvEncDestroyBitstreamBuffer = destroyBitstream;
    list->nvEncMapInputResource = mapResource;
    list->nvEncUnmapInputResource = unmapResource;
    list->nvEncEncodePicture = encodePicture;
    list->nvEncLockBitstream = lockBitstream;
    list->nvEncUnlockBitstream = unlockBitstream;
    list->nvEncReconfigureEncoder = reconfigure;
    list->nvEncDestroyEncoder = destroyEncoder;
    return NV_ENC_SUCCESS;
}

__declspec(dllexport) FakeNvencControl* FakeNvencControlState() {
    return &control;
}

}

}  // namespace quillane::host::test
