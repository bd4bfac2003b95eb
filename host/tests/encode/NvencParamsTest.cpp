#include "encode/NvencParams.h"

#include <cstring>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "EncodeLog.h"

namespace quillane::host::test {
namespace {

bool sameGuid(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

// What the runtime's P1 preset might hand back: fields the encoder must leave
// alone are marked, and some it must clear are set.
NV_ENC_CONFIG presetStandIn() {
    NV_ENC_CONFIG config{};
    config.version = NV_ENC_CONFIG_VER;
    config.profileGUID = NV_ENC_H264_PROFILE_HIGH_GUID;
    config.rcParams.constQP.qpIntra = 23;
    config.rcParams.lookaheadDepth = 0;
    config.encodeCodecConfig.h264Config.entropyCodingMode = NV_ENC_H264_ENTROPY_CODING_MODE_CABAC;
    config.encodeCodecConfig.h264Config.level = 51;
    config.encodeCodecConfig.h264Config.outputAUD = 1;
    config.encodeCodecConfig.h264Config.outputBufferingPeriodSEI = 1;
    config.encodeCodecConfig.h264Config.outputPictureTimingSEI = 1;
    config.encodeCodecConfig.h264Config.enableIntraRefresh = 1;
    return config;
}

TEST(NvencParams, DefaultConfigForLowLatencyH264) {
    NV_ENC_CONFIG config = presetStandIn();
    applyNvencConfig(config, EncoderConfig{});
    EXPECT_EQ(config.gopLength, 60u);
    EXPECT_EQ(config.frameIntervalP, 1);
    EXPECT_EQ(config.rcParams.rateControlMode, NV_ENC_PARAMS_RC_CBR);
    EXPECT_EQ(config.rcParams.enableAQ, 1u);
    EXPECT_EQ(config.rcParams.aqStrength, 8u);
    EXPECT_EQ(config.rcParams.zeroReorderDelay, 1u);

    const NV_ENC_CONFIG_H264& h264 = config.encodeCodecConfig.h264Config;
    EXPECT_EQ(h264.level, 0u);
    EXPECT_EQ(h264.idrPeriod, 60u);
    EXPECT_EQ(h264.repeatSPSPPS, 1u);
    EXPECT_EQ(h264.outputBufferingPeriodSEI, 0u);
    EXPECT_EQ(h264.outputPictureTimingSEI, 0u);
    EXPECT_EQ(h264.outputAUD, 0u);
    EXPECT_EQ(h264.disableSPSPPS, 0u);
    EXPECT_EQ(h264.outputFramePackingSEI, 0u);
    EXPECT_EQ(h264.enableIntraRefresh, 0u);
    EXPECT_EQ(h264.maxNumRefFrames, 1u);
    EXPECT_EQ(h264.sliceMode, 3u);
    EXPECT_EQ(h264.sliceModeData, 4u);
    EXPECT_EQ(h264.h264VUIParameters.videoSignalTypePresentFlag, 0u);
    EXPECT_EQ(h264.h264VUIParameters.videoFullRangeFlag, 0u);

    // The preset's own choices stand.
    EXPECT_TRUE(sameGuid(config.profileGUID, NV_ENC_H264_PROFILE_HIGH_GUID));
    EXPECT_EQ(config.rcParams.constQP.qpIntra, 23u);
    EXPECT_EQ(h264.entropyCodingMode, NV_ENC_H264_ENTROPY_CODING_MODE_CABAC);
}

TEST(NvencParams, VbvIsOneFrameAtThePeakRateWithoutOverflow) {
    struct Case {
        std::uint32_t kbps, peakKbps, fps, vbv;
    };
    for (const Case& c : {Case{20000, 50000, 30, 1666666}, Case{4294967, 4294967, 1, 4294967000u}}) {
        EncoderConfig settings;
        settings.bitrateKbps = c.kbps;
        settings.maxBitrateKbps = c.peakKbps;
        settings.fps = c.fps;
        NV_ENC_CONFIG config = presetStandIn();
        applyNvencConfig(config, settings);
        EXPECT_EQ(config.rcParams.averageBitRate, c.kbps * 1000u);
        EXPECT_EQ(config.rcParams.maxBitRate, c.peakKbps * 1000u);
        EXPECT_EQ(config.rcParams.vbvBufferSize, c.vbv);
        EXPECT_EQ(config.rcParams.vbvInitialDelay, c.vbv);
    }
}

TEST(NvencParams, FullRangeSetsBt709VuiAndBaselineOnlyTheVideoFormat) {
    test::EncodeLog log;
    EncoderConfig settings;
    settings.fullRange = true;
    NV_ENC_CONFIG config = presetStandIn();
    applyNvencConfig(config, settings);
    const NV_ENC_CONFIG_H264_VUI_PARAMETERS& vui = config.encodeCodecConfig.h264Config.h264VUIParameters;
    EXPECT_EQ(vui.videoSignalTypePresentFlag, 1u);
    EXPECT_EQ(vui.videoFullRangeFlag, 1u);
    EXPECT_EQ(vui.colourDescriptionPresentFlag, 1u);
    EXPECT_EQ(vui.colourPrimaries, 1u);
    EXPECT_EQ(vui.transferCharacteristics, 1u);
    EXPECT_EQ(vui.colourMatrix, 1u);
    EXPECT_TRUE(log.has(spdlog::level::info, "NVENC H.264: Full range color (0-255) enabled"));

    EncoderConfig baseline;
    baseline.profile = "baseline";
    NV_ENC_CONFIG marked = presetStandIn();
    applyNvencConfig(marked, baseline);
    EXPECT_EQ(marked.encodeCodecConfig.h264Config.h264VUIParameters.videoFormat, 5u);
    EXPECT_EQ(marked.encodeCodecConfig.h264Config.h264VUIParameters.videoSignalTypePresentFlag, 0u);
    EXPECT_TRUE(sameGuid(marked.profileGUID, NV_ENC_H264_PROFILE_HIGH_GUID));
}

TEST(NvencParams, HevcConfig) {
    for (const char* codec : {"hevc", "h265"}) {
        test::EncodeLog log;
        EncoderConfig settings;
        settings.codec = codec;
        settings.gopLength = 120;
        settings.sliceCount = 2;
        settings.fullRange = true;
        NV_ENC_CONFIG config{};
        applyNvencConfig(config, settings);
        const NV_ENC_CONFIG_HEVC& hevc = config.encodeCodecConfig.hevcConfig;
        EXPECT_EQ(hevc.repeatSPSPPS, 1u);
        EXPECT_EQ(hevc.idrPeriod, 120u);
        EXPECT_EQ(hevc.maxNumRefFramesInDPB, 1u);
        EXPECT_EQ(hevc.sliceMode, 3u);
        EXPECT_EQ(hevc.sliceModeData, 2u);
        EXPECT_EQ(hevc.hevcVUIParameters.videoFullRangeFlag, 1u);
        EXPECT_EQ(hevc.hevcVUIParameters.colourMatrix, 1u);
        EXPECT_TRUE(log.has(spdlog::level::info, "NVENC HEVC: Full range color (0-255) enabled"));
        EXPECT_TRUE(sameGuid(nvencCodecGuid(settings), NV_ENC_CODEC_HEVC_GUID));
    }
    EncoderConfig upper;
    upper.codec = "H265";
    EXPECT_TRUE(sameGuid(nvencCodecGuid(upper), NV_ENC_CODEC_H264_GUID));
}

TEST(NvencParams, InitializeParams) {
    EncoderConfig settings;
    settings.width = 2560;
    settings.height = 1440;
    settings.fps = 90;
    NV_ENC_CONFIG config{};
    const NV_ENC_INITIALIZE_PARAMS params = makeNvencInitializeParams(settings, &config);
    EXPECT_EQ(params.version, NV_ENC_INITIALIZE_PARAMS_VER);
    EXPECT_TRUE(sameGuid(params.encodeGUID, NV_ENC_CODEC_H264_GUID));
    EXPECT_TRUE(sameGuid(params.presetGUID, NV_ENC_PRESET_P1_GUID));
    EXPECT_EQ(params.encodeWidth, 2560u);
    EXPECT_EQ(params.encodeHeight, 1440u);
    EXPECT_EQ(params.darWidth, 2560u);
    EXPECT_EQ(params.darHeight, 1440u);
    EXPECT_EQ(params.maxEncodeWidth, 2560u);
    EXPECT_EQ(params.maxEncodeHeight, 1440u);
    EXPECT_EQ(params.frameRateNum, 90u);
    EXPECT_EQ(params.frameRateDen, 1u);
    EXPECT_EQ(params.enableEncodeAsync, 0u);
    EXPECT_EQ(params.enablePTD, 1u);
    EXPECT_EQ(params.reportSliceOffsets, 0u);
    EXPECT_EQ(params.enableSubFrameWrite, 0u);
    EXPECT_EQ(params.enableWeightedPrediction, 0u);
    EXPECT_EQ(params.encodeConfig, &config);
    EXPECT_EQ(params.tuningInfo, NV_ENC_TUNING_INFO_ULTRA_LOW_LATENCY);
}

TEST(NvencParams, OpenSessionHintsAndFirstNalNames) {
    const std::pair<int, const char*> hints[] = {
        {8, "Invalid parameter - check resolution/settings"},
        {10, "GPU memory exhausted - close other apps using NVENC"},
        {15, "NVIDIA driver too old! Update to driver 550+ (2024 or newer)"},
        {20, "GPU doesn't support NVENC - need GTX 600 series or newer"},
        {1, "Try updating NVIDIA drivers to latest version"},
    };
    for (const auto& [status, hint] : hints) {
        EXPECT_STREQ(nvencOpenSessionHint(status), hint) << status;
    }
    const std::pair<std::vector<std::uint8_t>, const char*> units[] = {
        {{0, 0, 0, 1, 0x67, 0x42}, "SPS"}, {{0, 0, 1, 0x65, 0x88}, "IDR slice"}, {{0, 0, 1, 0x09, 0xF0}, "AUD"},
        {{0, 0, 1, 0x0C, 0xFF}, "Other"},  {{1, 0, 0, 1, 0x67, 0x42}, "Unknown"}, {{0, 0, 1, 0x67}, "Unknown"},
    };
    for (const auto& [unit, name] : units) {
        EXPECT_STREQ(h264FirstNalName(unit.data(), unit.size()), name) << name;
    }
    EXPECT_STREQ(h264FirstNalName(nullptr, 10), "Unknown");
}

}  // namespace
}  // namespace quillane::host::test
