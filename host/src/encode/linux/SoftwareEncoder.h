#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "encode/EncoderBase.h"
#include "encode/EncoderSupport.h"
#include "encode/ParameterSetCache.h"
#include "encode/linux/HalfSplitter.h"

struct x264_t;
struct x264_param_t;

namespace quillane::host {

// The x264 settings the software encoder runs with, from its config; false when
// x264 refuses them.
bool fillX264Params(x264_param_t& param, const EncoderConfig& config);

// H.264 on the CPU (libx264) for machines without a supported hardware encoder.
// Low-latency settings: no B-frames or lookahead, one reference frame, IDR every
// gopLength frames, sliced threads, average bitrate under a one-frame VBV.
class SoftwareEncoder final : public CommonEncoder {
public:
    SoftwareEncoder();
    ~SoftwareEncoder() override;
    SoftwareEncoder(const SoftwareEncoder&) = delete;
    SoftwareEncoder& operator=(const SoftwareEncoder&) = delete;

    const char* getName() const override { return "Software"; }
    bool initialize(EncoderDevice device, const EncoderConfig& config) override;
    void shutdown() override;
    bool encodeFrame(EncoderInput input) override;

private:
    bool convert(const BgraFrame& frame);
    bool convertRows(const BgraFrame& frame, std::uint32_t firstRow, std::uint32_t rows);
    void applyPendingBitrate();

    x264_t* encoder = nullptr;
    std::vector<std::uint8_t> planes;  // NV12 (limited range) or I420 (full range)
    std::unique_ptr<HalfSplitter> splitter;  // with more than one slice thread
    std::uint32_t frameCounter = 0;
};

}  // namespace quillane::host
