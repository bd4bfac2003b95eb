#pragma once

#include <cstddef>
#include <cstdint>

#include <nvEncodeAPI.h>

#include "encode/EncoderBase.h"

// How the NVENC session is set up from an EncoderConfig. Kept free of any device
// or runtime so that it can be checked on every platform.
namespace quillane::host {

// The interface version of the header this build compiles against; sessions are
// opened with it, so the driver must support at least this version.
inline constexpr std::uint32_t kNvencApiVersion = NVENCAPI_VERSION;

// The preset and tuning the session starts from: the fastest preset, tuned for
// the lowest latency. Both the preset query and the session use them.
extern const GUID kNvencPreset;
inline constexpr NV_ENC_TUNING_INFO kNvencTuning = NV_ENC_TUNING_INFO_ULTRA_LOW_LATENCY;

GUID nvencCodecGuid(const EncoderConfig& config);

// Edits the preset's configuration for low-latency streaming (gop, no B-frames,
// CBR with a one-frame VBV, AQ, one reference, slices, repeated SPS/PPS, VUI).
void applyNvencConfig(NV_ENC_CONFIG& encodeConfig, const EncoderConfig& config);

// Rate-control fields only: average and peak rate, one frame at the peak rate as
// VBV buffer, and an initial delay that stays within that buffer.
void applyNvencBitrate(NV_ENC_RC_PARAMS& rc, std::uint32_t bitrateKbps, std::uint32_t maxBitrateKbps,
                       std::uint32_t fps);

// The session parameters; `encodeConfig` must outlive their use.
NV_ENC_INITIALIZE_PARAMS makeNvencInitializeParams(const EncoderConfig& config, NV_ENC_CONFIG* encodeConfig);

// A bitrate change: the session's own initialisation parameters (the runtime
// rejects any change of the maximum size) pointing at `encodeConfig`, next picture IDR.
NV_ENC_RECONFIGURE_PARAMS makeNvencReconfigureParams(const NV_ENC_INITIALIZE_PARAMS& initParams,
                                                     NV_ENC_CONFIG* encodeConfig);

// The hint logged with a failed session open.
const char* nvencOpenSessionHint(int status);

// Name of the first H.264 NAL unit of an access unit, for the first-frame log line.
const char* h264FirstNalName(const std::uint8_t* data, std::size_t size);

}  // namespace quillane::host
