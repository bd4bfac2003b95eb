#pragma once

#include <cstdint>
#include <vector>

#include "encode/EncoderBase.h"

// How the AMF encoder component is set up from an EncoderConfig: property names
// and values in the order they are set. Free of the runtime so that every
// platform can check it.
namespace quillane::host {

struct AmfProperty {
    enum class Kind { Int64, Bool, Rate };
    const wchar_t* name;
    Kind kind;
    std::int64_t value;        // Int64 value, Bool as 0/1, Rate numerator
    std::uint32_t denominator;  // Rate only

    bool operator==(const AmfProperty& other) const;
};

// "hevc" and "h265" select the HEVC component and its property names.
bool amfIsHevc(const EncoderConfig& config);

// "AMFVideoEncoderVCE_AVC" or "AMFVideoEncoderHW_HEVC".
const wchar_t* amfComponentId(bool hevc);

// Low-latency usage, speed preset, Main profile, CBR, no B frames, a one-frame
// VBV buffer, VBAQ, slices and full range where the config asks for them.
std::vector<AmfProperty> amfEncoderProperties(const EncoderConfig& config);

// Target and peak bitrate, for a running component.
std::vector<AmfProperty> amfBitrateProperties(bool hevc, std::uint32_t bitrateKbps, std::uint32_t maxBitrateKbps);

// The per-surface property that forces an IDR picture, with its value.
AmfProperty amfForceIdrProperty(bool hevc);

// The output buffer property that reports the picture type (0 = IDR).
const wchar_t* amfOutputDataTypeName(bool hevc);

// The hint logged with a failed component Init.
const char* amfInitHint(int result);

}  // namespace quillane::host
