#include "encode/AmfParams.h"

#include <cwchar>

#include "encode/EncoderSupport.h"
#include "encode/ParameterSetCache.h"

namespace quillane::host {
namespace {

constexpr std::int64_t kUsageLowLatency = 2;
constexpr std::int64_t kH264PresetSpeed = 1;
constexpr std::int64_t kHevcPresetSpeed = 10;
constexpr std::int64_t kH264ProfileMain = 77;
constexpr std::int64_t kHevcProfileMain = 1;
constexpr std::int64_t kHevcTierMain = 0;
constexpr std::int64_t kH264RateControlCbr = 1;
constexpr std::int64_t kHevcRateControlCbr = 3;
constexpr std::int64_t kHevcHeadersWithIdr = 2;
constexpr std::int64_t kInitialVbvFullness = 64;
constexpr std::int64_t kPictureTypeIdr = 2;
constexpr std::int64_t kHevcNominalRangeFull = 1;

AmfProperty integer(const wchar_t* name, std::int64_t value) { return {name, AmfProperty::Kind::Int64, value, 0}; }
AmfProperty flag(const wchar_t* name, bool value) { return {name, AmfProperty::Kind::Bool, value ? 1 : 0, 0}; }
AmfProperty rate(const wchar_t* name, std::uint32_t fps) { return {name, AmfProperty::Kind::Rate, fps, 1}; }

std::int64_t bits(std::uint32_t kbps) { return std::int64_t{kbps} * 1000; }

}  // namespace

bool AmfProperty::operator==(const AmfProperty& other) const {
    return std::wcscmp(name, other.name) == 0 && kind == other.kind && value == other.value &&
           denominator == other.denominator;
}

bool amfIsHevc(const EncoderConfig& config) { return nalRuleForCodec(config.codec) == NalRule::HEVC; }

const wchar_t* amfComponentId(bool hevc) { return hevc ? L"AMFVideoEncoderHW_HEVC" : L"AMFVideoEncoderVCE_AVC"; }

std::vector<AmfProperty> amfEncoderProperties(const EncoderConfig& c) {
    const std::int64_t vbv = oneFrameAtPeak(c.maxBitrateKbps, c.fps, 1000);
    std::vector<AmfProperty> p;
    if (amfIsHevc(c)) {
        p = {integer(L"HevcUsage", kUsageLowLatency),
             integer(L"HevcQualityPreset", kHevcPresetSpeed),
             integer(L"HevcProfile", kHevcProfileMain),
             integer(L"HevcTier", kHevcTierMain),
             integer(L"HevcRateControlMethod", kHevcRateControlCbr),
             integer(L"HevcTargetBitrate", bits(c.bitrateKbps)),
             integer(L"HevcPeakBitrate", bits(c.maxBitrateKbps)),
             rate(L"HevcFrameRate", c.fps),
             integer(L"HevcGOPSize", c.gopLength),
             integer(L"HevcGOPSPerIDR", 1),
             integer(L"HevcHeaderInsertionMode", kHevcHeadersWithIdr),
             integer(L"HevcVBVBufferSize", vbv),
             integer(L"HevcInitialVBVBufferFullness", kInitialVbvFullness),
             flag(L"LowLatencyInternal", true),
             flag(L"HevcEnableVBAQ", true)};
        if (c.fullRange) {
            p.push_back(integer(L"HevcNominalRange", kHevcNominalRangeFull));
        }
        return p;
    }
    p = {integer(L"Usage", kUsageLowLatency),
         integer(L"QualityPreset", kH264PresetSpeed),
         integer(L"Profile", kH264ProfileMain),
         integer(L"RateControlMethod", kH264RateControlCbr),
         integer(L"TargetBitrate", bits(c.bitrateKbps)),
         integer(L"PeakBitrate", bits(c.maxBitrateKbps)),
         rate(L"FrameRate", c.fps),
         integer(L"IDRPeriod", c.gopLength),
         integer(L"BPicturesPattern", 0),
         integer(L"HeaderInsertionSpacing", 0),
         integer(L"VBVBufferSize", vbv),
         integer(L"InitialVBVBufferFullness", kInitialVbvFullness),
         flag(L"LowLatencyInternal", true)};
    if (c.slicesEnabled && c.sliceCount > 1) {
        p.push_back(integer(L"SlicesPerFrame", c.sliceCount));
    }
    p.push_back(flag(L"EnableVBAQ", true));
    if (c.fullRange) {
        p.push_back(flag(L"FullRangeColor", true));
    }
    return p;
}

std::vector<AmfProperty> amfBitrateProperties(bool hevc, std::uint32_t bitrateKbps, std::uint32_t maxBitrateKbps) {
    return {integer(hevc ? L"HevcTargetBitrate" : L"TargetBitrate", bits(bitrateKbps)),
            integer(hevc ? L"HevcPeakBitrate" : L"PeakBitrate", bits(maxBitrateKbps))};
}

AmfProperty amfForceIdrProperty(bool hevc) {
    return integer(hevc ? L"HevcForcePictureType" : L"ForcePictureType", kPictureTypeIdr);
}

const wchar_t* amfOutputDataTypeName(bool hevc) { return hevc ? L"HevcOutputDataType" : L"OutputDataType"; }

const char* amfInitHint(int result) {
    switch (result) {
    case 5: return "Resolution may be too small (min ~64x64) or too large";
    case 6: return "GPU memory exhausted - close other apps using GPU";
    case 10: return "This resolution/format not supported by GPU";
    case 13: return "AMF library not properly initialized - reinstall AMD drivers";
    default: return "Try updating AMD drivers";
    }
}

}  // namespace quillane::host
