#include "encode/AmfParams.h"

#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "encode/ParameterSetCache.h"

namespace quillane::host::test {
namespace {

using Kind = AmfProperty::Kind;

std::vector<std::wstring> names(const EncoderConfig& config) {
    std::vector<std::wstring> out;
    for (const AmfProperty& p : amfEncoderProperties(config)) {
        out.emplace_back(p.name);
    }
    return out;
}

bool setsSlices(const EncoderConfig& config) {
    const std::vector<std::wstring> all = names(config);
    return std::find(all.begin(), all.end(), L"SlicesPerFrame") != all.end();
}

EncoderConfig config30fps() {
    EncoderConfig config;
    config.fps = 30;
    config.bitrateKbps = 8000;
    config.maxBitrateKbps = 50000;
    config.gopLength = 120;
    return config;
}

TEST(AmfParams, H264TableInOrder) {
    const std::vector<AmfProperty> expected = {
        {L"Usage", Kind::Int64, 2, 0},
        {L"QualityPreset", Kind::Int64, 1, 0},
        {L"Profile", Kind::Int64, 77, 0},
        {L"RateControlMethod", Kind::Int64, 1, 0},
        {L"TargetBitrate", Kind::Int64, 8'000'000, 0},
        {L"PeakBitrate", Kind::Int64, 50'000'000, 0},
        {L"FrameRate", Kind::Rate, 30, 1},
        {L"IDRPeriod", Kind::Int64, 120, 0},
        {L"BPicturesPattern", Kind::Int64, 0, 0},
        {L"HeaderInsertionSpacing", Kind::Int64, 0, 0},
        {L"VBVBufferSize", Kind::Int64, 1'666'666, 0},
        {L"InitialVBVBufferFullness", Kind::Int64, 64, 0},
        {L"LowLatencyInternal", Kind::Bool, 1, 0},
        {L"SlicesPerFrame", Kind::Int64, 4, 0},
        {L"EnableVBAQ", Kind::Bool, 1, 0},
    };
    EXPECT_EQ(amfEncoderProperties(config30fps()), expected);
    EXPECT_STREQ(amfComponentId(false), L"AMFVideoEncoderVCE_AVC");
}

TEST(AmfParams, SlicesOnlyWhenWantedAndMoreThanOne) {
    EncoderConfig config = config30fps();
    config.sliceCount = 1;
    EXPECT_FALSE(setsSlices(config));
    config.sliceCount = 4;
    config.slicesEnabled = false;
    EXPECT_FALSE(setsSlices(config));
    config.fullRange = true;
    EXPECT_EQ(amfEncoderProperties(config).back(), (AmfProperty{L"FullRangeColor", Kind::Bool, 1, 0}));
}

TEST(AmfParams, HevcTableInOrder) {
    EncoderConfig config = config30fps();
    config.codec = "h265";
    config.fullRange = true;
    EXPECT_EQ(names(config),
              (std::vector<std::wstring>{L"HevcUsage", L"HevcQualityPreset", L"HevcProfile", L"HevcTier",
                                         L"HevcRateControlMethod", L"HevcTargetBitrate", L"HevcPeakBitrate",
                                         L"HevcFrameRate", L"HevcGOPSize", L"HevcGOPSPerIDR",
                                         L"HevcHeaderInsertionMode", L"HevcVBVBufferSize",
                                         L"HevcInitialVBVBufferFullness", L"LowLatencyInternal", L"HevcEnableVBAQ",
                                         L"HevcNominalRange"}));
    const std::vector<AmfProperty> p = amfEncoderProperties(config);
    EXPECT_EQ(p[1].value, 10);  // speed preset
    EXPECT_EQ(p[4].value, 3);   // CBR
    EXPECT_EQ(p[8].value, 120);
    EXPECT_EQ(p[10].value, 2);  // headers with every IDR
    EXPECT_EQ(p[15].value, 1);
    EXPECT_STREQ(amfComponentId(true), L"AMFVideoEncoderHW_HEVC");
    EXPECT_EQ(amfForceIdrProperty(true), (AmfProperty{L"HevcForcePictureType", Kind::Int64, 2, 0}));
    EXPECT_STREQ(amfOutputDataTypeName(true), L"HevcOutputDataType");
    EXPECT_STREQ(amfOutputDataTypeName(false), L"OutputDataType");
}

// Products in 64 bits: the largest kbit/s values neither wrap nor go negative.
TEST(AmfParams, BitratesAtTheTopOfTheRange) {
    const std::vector<AmfProperty> rates = amfBitrateProperties(false, 4'294'967, 4'294'967);
    EXPECT_EQ(rates[0], (AmfProperty{L"TargetBitrate", Kind::Int64, 4'294'967'000, 0}));
    EXPECT_EQ(rates[1], (AmfProperty{L"PeakBitrate", Kind::Int64, 4'294'967'000, 0}));
    EXPECT_STREQ(amfBitrateProperties(true, 1, 1)[1].name, L"HevcPeakBitrate");
    EncoderConfig config = config30fps();
    config.maxBitrateKbps = 4'294'967;
    config.fps = 1;
    EXPECT_EQ(amfEncoderProperties(config)[10].value, 4'294'967'000);
}

TEST(AmfParams, InitHints) {
    EXPECT_STREQ(amfInitHint(5), "Resolution may be too small (min ~64x64) or too large");
    EXPECT_STREQ(amfInitHint(6), "GPU memory exhausted - close other apps using GPU");
    EXPECT_STREQ(amfInitHint(10), "This resolution/format not supported by GPU");
    EXPECT_STREQ(amfInitHint(13), "AMF library not properly initialized - reinstall AMD drivers");
    EXPECT_STREQ(amfInitHint(1), "Try updating AMD drivers");
}

TEST(AmfParams, IdrSlicesAreFoundByTheirNalType) {
    const std::vector<std::uint8_t> h264Idr = {0, 0, 0, 1, 0x67, 0x42, 0, 0, 1, 0x65, 0x88};
    const std::vector<std::uint8_t> h264P = {0, 0, 0, 1, 0x41, 0x9A, 0x05};
    const std::vector<std::uint8_t> hevcIdr = {0, 0, 1, 0x26, 0x01, 0xAF};  // type 19
    const std::vector<std::uint8_t> hevcCra = {0, 0, 1, 0x2A, 0x01, 0xAF};  // type 21
    EXPECT_TRUE(containsIdr(h264Idr.data(), h264Idr.size(), NalRule::H264));
    EXPECT_FALSE(containsIdr(h264P.data(), h264P.size(), NalRule::H264));
    EXPECT_FALSE(containsIdr(h264Idr.data(), h264Idr.size() - 2, NalRule::H264));  // header byte cut off
    EXPECT_TRUE(containsIdr(hevcIdr.data(), hevcIdr.size(), NalRule::HEVC));
    EXPECT_FALSE(containsIdr(hevcCra.data(), hevcCra.size(), NalRule::HEVC));
    EXPECT_FALSE(containsIdr(h264Idr.data(), h264Idr.size(), NalRule::HEVC));
    EXPECT_FALSE(containsIdr(nullptr, 10, NalRule::H264));
}

}  // namespace
}  // namespace quillane::host::test
