#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nvEncodeAPI.h>

namespace quillane::host::test {

// A stand-in for nvEncodeAPI64.dll, built under that name beside the test: it records
// the encoder's calls and answers with small Annex B units; its state is exported.
struct FakeNvencControl {
    // Answers the next calls give.
    NVENCSTATUS openStatus = NV_ENC_SUCCESS;
    NVENCSTATUS initializeStatus = NV_ENC_SUCCESS;
    NVENCSTATUS reconfigureStatus = NV_ENC_SUCCESS;
    int failMaps = 0;      // that many maps fail with NV_ENC_ERR_MAP_FAILED
    int failEncodes = 0;   // that many encodes fail with NV_ENC_ERR_GENERIC
    int failLocks = 0;     // that many bitstream locks fail with NV_ENC_ERR_LOCK_BUSY

    // What the encoder did.
    int instancesCreated = 0;
    std::uint32_t openApiVersion = 0;
    NV_ENC_DEVICE_TYPE openDeviceType = NV_ENC_DEVICE_TYPE_CUDA;
    void* openDevice = nullptr;
    bool presetCodecHevc = false;
    NV_ENC_TUNING_INFO presetTuning = NV_ENC_TUNING_INFO_UNDEFINED;
    int initializeCalls = 0;
    NV_ENC_INITIALIZE_PARAMS initParams{};
    NV_ENC_CONFIG initConfig{};
    int registered = 0;
    int unregistered = 0;
    int bitstreamsCreated = 0;
    int bitstreamsDestroyed = 0;
    int sessionsDestroyed = 0;
    NV_ENC_BUFFER_FORMAT registeredFormat = NV_ENC_BUFFER_FORMAT_UNDEFINED;
    std::uint32_t registeredWidth = 0;
    std::uint32_t registeredHeight = 0;
    int maps = 0;
    int unmaps = 0;
    int unlocks = 0;
    // The per-frame calls in order: 'M'ap, 'E'ncode, 'L'ock, 'U'nmap, 'u'nlock.
    std::string frameCalls;
    std::vector<std::uint32_t> pictureFlags;         // encodePicFlags of each submission
    std::vector<std::uintptr_t> pictureBitstreams;   // output buffer of each submission
    int reconfigureCalls = 0;
    NV_ENC_RECONFIGURE_PARAMS reconfigureParams{};
    NV_ENC_CONFIG reconfigureConfig{};

    // The next picture is an IDR (the first one, a forced one, or after a reconfigure with forceIDR).
    bool idrNext = true;
};

extern "C" {
using FakeNvencControlFunction = FakeNvencControl* (*)();
}

}  // namespace quillane::host::test
