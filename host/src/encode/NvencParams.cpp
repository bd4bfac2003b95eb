#include "encode/NvencParams.h"

#include <algorithm>

#include <spdlog/spdlog.h>

#include "common/LineSource.h"
#include "encode/EncoderSupport.h"
#include "encode/ParameterSetCache.h"

namespace quillane::host {
namespace {

constexpr std::uint32_t kSliceModeCount = 3;  // sliceModeData = number of slices per picture
constexpr std::uint32_t kBt709 = 1;
constexpr std::uint32_t kVideoFormatUnspecified = 5;
constexpr std::uint32_t kAqStrength = 8;

void setFullRange(NV_ENC_CONFIG_H264_VUI_PARAMETERS& vui) {
    vui.videoSignalTypePresentFlag = 1;
    vui.videoFullRangeFlag = 1;
    vui.colourDescriptionPresentFlag = 1;
    vui.colourPrimaries = kBt709;
    vui.transferCharacteristics = kBt709;
    vui.colourMatrix = kBt709;
}

// What both codecs set alike: parameter sets with every IDR, the IDR period, a
// fixed number of slices, and full range where asked. `name` is the codec's, as logged.
template <typename CodecConfig>
void applyCodecCommon(CodecConfig& codec, NV_ENC_CONFIG_H264_VUI_PARAMETERS& vui, const EncoderConfig& config,
                      const char* name) {
    codec.repeatSPSPPS = 1;
    codec.idrPeriod = config.gopLength;
    codec.sliceMode = kSliceModeCount;
    codec.sliceModeData = config.sliceCount;
    if (config.fullRange) {
        setFullRange(vui);
        if (std::size_t held = 0; StreamLineScope::allow(held)) {
            SPDLOG_INFO("NVENC {}: Full range color (0-255) enabled{}", name, heldNote(held));
        }
    }
}

}  // namespace

const GUID kNvencPreset = NV_ENC_PRESET_P1_GUID;

GUID nvencCodecGuid(const EncoderConfig& config) {
    return nalRuleForCodec(config.codec) == NalRule::HEVC ? NV_ENC_CODEC_HEVC_GUID : NV_ENC_CODEC_H264_GUID;
}

void applyNvencBitrate(NV_ENC_RC_PARAMS& rc, std::uint32_t bitrateKbps, std::uint32_t maxBitrateKbps,
                       std::uint32_t fps) {
    rc.averageBitRate = bitrateKbps * 1000;
    rc.maxBitRate = maxBitrateKbps * 1000;
    rc.vbvBufferSize = oneFrameAtPeak(maxBitrateKbps, fps, 1000);
    rc.vbvInitialDelay = std::min(rc.vbvInitialDelay, rc.vbvBufferSize);
}

void applyNvencConfig(NV_ENC_CONFIG& encodeConfig, const EncoderConfig& config) {
    encodeConfig.gopLength = config.gopLength;
    encodeConfig.frameIntervalP = 1;
    NV_ENC_RC_PARAMS& rc = encodeConfig.rcParams;
    rc.rateControlMode = NV_ENC_PARAMS_RC_CBR;
    applyNvencBitrate(rc, config.bitrateKbps, config.maxBitrateKbps, config.fps);
    rc.vbvInitialDelay = rc.vbvBufferSize;
    rc.enableAQ = 1;
    rc.aqStrength = kAqStrength;
    rc.zeroReorderDelay = 1;

    if (nalRuleForCodec(config.codec) == NalRule::HEVC) {
        NV_ENC_CONFIG_HEVC& hevc = encodeConfig.encodeCodecConfig.hevcConfig;
        hevc.maxNumRefFramesInDPB = 1;
        applyCodecCommon(hevc, hevc.hevcVUIParameters, config, "HEVC");
        return;
    }
    NV_ENC_CONFIG_H264& h264 = encodeConfig.encodeCodecConfig.h264Config;
    h264.level = 0;  // chosen by the encoder
    // No SEI, AUD or intra refresh the preset may have chosen; parameter sets stay on.
    h264.outputBufferingPeriodSEI = 0;
    h264.outputPictureTimingSEI = 0;
    h264.outputAUD = 0;
    h264.disableSPSPPS = 0;
    h264.outputFramePackingSEI = 0;
    h264.enableIntraRefresh = 0;
    h264.maxNumRefFrames = 1;
    if (config.profile == "baseline") {
        h264.h264VUIParameters.videoFormat = kVideoFormatUnspecified;
    }
    applyCodecCommon(h264, h264.h264VUIParameters, config, "H.264");
}

NV_ENC_INITIALIZE_PARAMS makeNvencInitializeParams(const EncoderConfig& config, NV_ENC_CONFIG* encodeConfig) {
    NV_ENC_INITIALIZE_PARAMS params{};
    params.version = NV_ENC_INITIALIZE_PARAMS_VER;
    params.encodeGUID = nvencCodecGuid(config);
    params.presetGUID = kNvencPreset;
    params.encodeWidth = config.width;
    params.encodeHeight = config.height;
    params.darWidth = config.width;
    params.darHeight = config.height;
    params.maxEncodeWidth = config.width;
    params.maxEncodeHeight = config.height;
    params.frameRateNum = config.fps;
    params.frameRateDen = 1;
    params.enableEncodeAsync = 0;
    params.enablePTD = 1;
    params.reportSliceOffsets = 0;
    params.enableSubFrameWrite = 0;
    params.enableWeightedPrediction = 0;
    params.encodeConfig = encodeConfig;
    params.tuningInfo = kNvencTuning;
    return params;
}

NV_ENC_RECONFIGURE_PARAMS makeNvencReconfigureParams(const NV_ENC_INITIALIZE_PARAMS& initParams,
                                                     NV_ENC_CONFIG* encodeConfig) {
    NV_ENC_RECONFIGURE_PARAMS params{};
    params.version = NV_ENC_RECONFIGURE_PARAMS_VER;
    params.reInitEncodeParams = initParams;
    params.reInitEncodeParams.encodeConfig = encodeConfig;
    params.resetEncoder = 0;
    params.forceIDR = 1;
    return params;
}

const char* nvencOpenSessionHint(int status) {
    switch (status) {
    case NV_ENC_ERR_INVALID_PARAM: return "Invalid parameter - check resolution/settings";
    case NV_ENC_ERR_OUT_OF_MEMORY: return "GPU memory exhausted - close other apps using NVENC";
    case NV_ENC_ERR_INVALID_VERSION: return "NVIDIA driver too old! Update to driver 550+ (2024 or newer)";
    case NV_ENC_ERR_GENERIC: return "GPU doesn't support NVENC - need GTX 600 series or newer";
    default: return "Try updating NVIDIA drivers to latest version";
    }
}

const char* h264FirstNalName(const std::uint8_t* data, std::size_t size) {
    if (data == nullptr || size < 5 || data[0] != 0 || data[1] != 0) {
        return "Unknown";
    }
    std::size_t header = 0;
    if (data[2] == 1) {
        header = 3;
    } else if (data[2] == 0 && data[3] == 1) {
        header = 4;
    } else {
        return "Unknown";
    }
    switch (data[header] & 0x1F) {
    case 1: return "Non-IDR slice";
    case 5: return "IDR slice";
    case 6: return "SEI";
    case 7: return "SPS";
    case 8: return "PPS";
    case 9: return "AUD";
    default: return "Other";
    }
}

}  // namespace quillane::host
