#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "encode/VideoLimits.h"

// EncoderDevice and EncoderInput: what the platform's capture hands to an encoder
// (a Direct3D 11 device and BGRA texture on Windows, a CPU BGRA frame on Linux),
// from encode/windows/D3D11EncoderTypes.h or encode/linux/CpuEncoderTypes.h.
#include "encode/EncoderTypes.h"

namespace quillane::host {

enum class EncoderType : std::int32_t {
    NVENC = 0,
    AMF = 1,
    QuickSync = 2,
    Software = 3,
};

// "NVENC", "AMF", "QuickSync", "Software", or "Unknown" for any other value.
const char* encoderTypeName(EncoderType type);

// The settings an encoder is created with; every encoder keeps its own copy.
struct EncoderConfig {
    std::uint32_t width = 1920;            // the frames handed to encodeFrame have exactly this size
    std::uint32_t height = 1080;
    std::uint32_t bitrateKbps = kDefaultBitrateKbps;        // average bitrate
    std::uint32_t maxBitrateKbps = kDefaultMaxBitrateKbps;  // peak bitrate; also sizes the VBV buffer
    std::uint32_t fps = kDefaultFps;                        // frames per second, denominator 1
    std::string codec = "h264";            // "h265" or "hevc" select HEVC where the encoder has it
    std::string profile = "main";
    std::uint32_t gopLength = 60;          // frames between IDR pictures
    bool slicesEnabled = true;
    std::uint32_t sliceCount = 4;
    bool fullRange = false;                // 0-255 colour instead of 16-235
};

// One access unit in Annex B form. The data belongs to the encoder and is valid
// only until the output callback returns.
struct EncodedFrame {
    const std::uint8_t* data = nullptr;
    std::uint64_t size = 0;
    std::int64_t timestampUs = 0;
    bool isKeyframe = false;
    std::uint32_t frameNumber = 0;
};

// Called once per access unit on the thread that runs encodeFrame, with no
// encoder mutex held (it may call getParameterSets on the same encoder).
using EncoderOutputCallback = std::function<void(const EncodedFrame&)>;

struct EncoderStats {
    std::uint64_t framesEncoded = 0;
    std::uint64_t bytesEncoded = 0;
    double avgEncodeTimeMs = 0.0;  // exponential average: 0.05 * sample + 0.95 * old
};

// Parameter sets as NAL units: header byte included, start code excluded.
struct ParameterSets {
    std::vector<std::uint8_t> sps;
    std::vector<std::uint8_t> pps;
    std::vector<std::uint8_t> vps;  // HEVC only
    bool isValid = false;           // sps and pps both non-empty
};

// The video encoder that the capture orchestrator drives. encodeFrame runs on the
// capture thread; requestKeyframe and setBitrate may arrive from other threads at
// any time and only record what is wanted, which the next encodeFrame applies.
// initialize, shutdown, reconfigure and setOutputCallback are called while no
// encodeFrame is in progress.
class EncoderBase {
public:
    // Implementations run their own shutdown first.
    virtual ~EncoderBase() = default;

    virtual const char* getName() const = 0;

    // Validates the config, keeps a copy and opens the encoder. A second call on
    // an initialised encoder warns and returns true without doing anything.
    virtual bool initialize(EncoderDevice device, const EncoderConfig& config) = 0;

    // Releases what initialize created; nothing on an encoder not initialised.
    virtual void shutdown() = 0;

    // Encodes one frame and delivers its output through the callback before it
    // returns. False without a log line when not initialised or the input is null;
    // false with an error line when encoding fails.
    virtual bool encodeFrame(EncoderInput input) = 0;

    // The next encoded frame becomes an IDR picture with SPS and PPS in front.
    virtual void requestKeyframe() = 0;

    // New average and peak bitrate in kbit/s, applied from the next frame on.
    virtual void setBitrate(std::uint32_t bitrateKbps, std::uint32_t maxBitrateKbps) = 0;

    virtual void setOutputCallback(EncoderOutputCallback callback) = 0;

    virtual EncoderStats getStats() const = 0;

    virtual bool isInitialized() const = 0;

    // Applies a new config to a running encoder: the bitrates at the same size; at
    // another size the AMF and Media Foundation encoders open afresh, the others
    // refuse. False when not initialised or the change failed.
    virtual bool reconfigure(const EncoderConfig& config) = 0;

    // The SPS, PPS (and VPS) last seen in the encoder's own keyframes.
    virtual ParameterSets getParameterSets() const = 0;
};

}  // namespace quillane::host
