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

// The same setting under each component's own property name, and the values
// that differ between them.
struct AmfCodecTable {
    const wchar_t *usage, *qualityPreset, *profile, *rateControl, *targetBitrate, *peakBitrate, *frameRate;
    const wchar_t *vbvBufferSize, *initialVbvFullness, *enableVbaq, *forcePictureType, *outputDataType;
    std::int64_t presetSpeed, profileMain, rateControlCbr;
};
constexpr AmfCodecTable kH264Table{
    L"Usage", L"QualityPreset", L"Profile", L"RateControlMethod", L"TargetBitrate", L"PeakBitrate", L"FrameRate",
    L"VBVBufferSize", L"InitialVBVBufferFullness", L"EnableVBAQ", L"ForcePictureType", L"OutputDataType",
    kH264PresetSpeed, kH264ProfileMain, kH264RateControlCbr};
constexpr AmfCodecTable kHevcTable{
    L"HevcUsage", L"HevcQualityPreset", L"HevcProfile", L"HevcRateControlMethod", L"HevcTargetBitrate",
    L"HevcPeakBitrate", L"HevcFrameRate", L"HevcVBVBufferSize", L"HevcInitialVBVBufferFullness", L"HevcEnableVBAQ",
    L"HevcForcePictureType", L"HevcOutputDataType", kHevcPresetSpeed, kHevcProfileMain, kHevcRateControlCbr};

const AmfCodecTable& codecTable(bool hevc) { return hevc ? kHevcTable : kH264Table; }

// Where IDR pictures and headers fall: HEVC counts GOPs per IDR and sends the
// headers with each IDR; H.264 has an IDR period and no B pictures.
std::vector<AmfProperty> gopProperties(const EncoderConfig& c, bool hevc) {
    if (hevc) {
        return {integer(L"HevcGOPSize", c.gopLength), integer(L"HevcGOPSPerIDR", 1),
                integer(L"HevcHeaderInsertionMode", kHevcHeadersWithIdr)};
    }
    return {integer(L"IDRPeriod", c.gopLength), integer(L"BPicturesPattern", 0),
            integer(L"HeaderInsertionSpacing", 0)};
}

void append(std::vector<AmfProperty>& to, const std::vector<AmfProperty>& more) {
    to.insert(to.end(), more.begin(), more.end());
}

}  // namespace

bool AmfProperty::operator==(const AmfProperty& other) const {
    return std::wcscmp(name, other.name) == 0 && kind == other.kind && value == other.value &&
           denominator == other.denominator;
}

bool amfIsHevc(const EncoderConfig& config) { return nalRuleForCodec(config.codec) == NalRule::HEVC; }

const wchar_t* amfComponentId(bool hevc) { return hevc ? L"AMFVideoEncoderHW_HEVC" : L"AMFVideoEncoderVCE_AVC"; }

std::vector<AmfProperty> amfEncoderProperties(const EncoderConfig& c) {
    const bool hevc = amfIsHevc(c);
    const AmfCodecTable& t = codecTable(hevc);
    std::vector<AmfProperty> p = {integer(t.usage, kUsageLowLatency), integer(t.qualityPreset, t.presetSpeed),
                                  integer(t.profile, t.profileMain)};
    if (hevc) p.push_back(integer(L"HevcTier", kHevcTierMain));
    p.push_back(integer(t.rateControl, t.rateControlCbr));
    append(p, amfBitrateProperties(hevc, c.bitrateKbps, c.maxBitrateKbps));
    p.push_back(rate(t.frameRate, c.fps));
    append(p, gopProperties(c, hevc));
    p.push_back(integer(t.vbvBufferSize, oneFrameAtPeak(c.maxBitrateKbps, c.fps, 1000)));
    p.push_back(integer(t.initialVbvFullness, kInitialVbvFullness));
    p.push_back(flag(L"LowLatencyInternal", true));
    if (!hevc && c.slicesEnabled && c.sliceCount > 1) p.push_back(integer(L"SlicesPerFrame", c.sliceCount));
    p.push_back(flag(t.enableVbaq, true));
    if (c.fullRange) {
        p.push_back(hevc ? integer(L"HevcNominalRange", kHevcNominalRangeFull) : flag(L"FullRangeColor", true));
    }
    return p;
}

std::vector<AmfProperty> amfBitrateProperties(bool hevc, std::uint32_t bitrateKbps, std::uint32_t maxBitrateKbps) {
    const AmfCodecTable& t = codecTable(hevc);
    return {integer(t.targetBitrate, bits(bitrateKbps)), integer(t.peakBitrate, bits(maxBitrateKbps))};
}

AmfProperty amfForceIdrProperty(bool hevc) { return integer(codecTable(hevc).forcePictureType, kPictureTypeIdr); }

const wchar_t* amfOutputDataTypeName(bool hevc) { return codecTable(hevc).outputDataType; }

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
