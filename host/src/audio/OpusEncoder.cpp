#include "audio/OpusEncoder.h"

#include <opus.h>
#include <spdlog/spdlog.h>

namespace quillane::host {

OpusAudioEncoder::OpusAudioEncoder() = default;

OpusAudioEncoder::~OpusAudioEncoder() {
    shutdown();
}

bool OpusAudioEncoder::initialize(const OpusEncoderConfig& newConfig) {
    if (encoder) {
        SPDLOG_WARN("Opus encoder already initialized");
        return true;
    }
    config = newConfig;
    const int application = config.lowDelay ? OPUS_APPLICATION_RESTRICTED_LOWDELAY : OPUS_APPLICATION_AUDIO;
    int error = OPUS_OK;
    encoder = opus_encoder_create(static_cast<opus_int32>(config.sampleRate), static_cast<int>(config.channels),
                                  application, &error);
    if (error != OPUS_OK || !encoder) {
        SPDLOG_ERROR("Failed to create Opus encoder: {}", opus_strerror(error));
        if (encoder) {
            opus_encoder_destroy(encoder);
            encoder = nullptr;
        }
        return false;
    }
    opus_encoder_ctl(encoder, OPUS_SET_BITRATE(static_cast<opus_int32>(config.bitrate)));
    opus_encoder_ctl(encoder, OPUS_SET_COMPLEXITY(static_cast<opus_int32>(config.complexity)));
    opus_encoder_ctl(encoder, OPUS_SET_SIGNAL(OPUS_SIGNAL_MUSIC));
    if (config.lowDelay) {
        opus_encoder_ctl(encoder, OPUS_SET_EXPERT_FRAME_DURATION(OPUS_FRAMESIZE_10_MS));
    }
    outputBuffer.resize(kMaxPacketBytes);
    SPDLOG_INFO("Opus encoder initialized: {} Hz, {} ch, {} kbps", config.sampleRate, config.channels,
                config.bitrate / 1000);
    return true;
}

std::vector<std::uint8_t> OpusAudioEncoder::encode(const std::int16_t* pcm, std::uint32_t frameSize) {
    if (!encoder) {
        return {};
    }
    const opus_int32 result = opus_encode(encoder, pcm, static_cast<int>(frameSize), outputBuffer.data(),
                                          static_cast<opus_int32>(kMaxPacketBytes));
    if (result < 0) {
        SPDLOG_ERROR("Opus encode error: {}", opus_strerror(result));
        return {};
    }
    return std::vector<std::uint8_t>(outputBuffer.begin(), outputBuffer.begin() + result);
}

void OpusAudioEncoder::shutdown() {
    if (encoder) {
        opus_encoder_destroy(encoder);
        encoder = nullptr;
    }
}

}  // namespace quillane::host
