#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "encode/EncoderBase.h"

namespace quillane::host {

// How NAL header bytes are read when looking for parameter sets.
enum class NalRule {
    H264,  // type = header & 0x1F: 7 SPS, 8 PPS
    HEVC,  // type = (header >> 1) & 0x3F: 32 VPS, 33 SPS, 34 PPS
};

NalRule nalRuleForCodec(const std::string& codec);

// Scans one Annex B access unit and replaces the parameter sets it carries in
// `sets`; a unit without any leaves them as they were. Data shorter than 5 bytes
// or null changes nothing.
void extractParameterSets(const std::uint8_t* data, std::size_t size, NalRule rule, ParameterSets& sets);

// Whether the access unit holds an IDR slice (H.264 type 5; HEVC IDR_W_RADL or
// IDR_N_LP), for encoders whose own picture-type report cannot be read.
bool containsIdr(const std::uint8_t* data, std::size_t size, NalRule rule);

// The parameter sets an encoder has seen in its own keyframes, shared between the
// encoding thread and readers on other threads.
class ParameterSetCache {
public:
    void scan(const std::uint8_t* data, std::size_t size, NalRule rule);
    ParameterSets get() const;

private:
    mutable std::mutex mutex;
    ParameterSets sets;
};

}  // namespace quillane::host
