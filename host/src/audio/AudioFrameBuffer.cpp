#include "audio/AudioFrameBuffer.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <cstring>

namespace quillane::host {

bool AudioFrameBuffer::append(const OpusAudioEncoder& encoder, const std::int16_t* pcm, std::uint32_t frames,
                              std::uint32_t sampleRate, std::uint32_t channels) {
    if (!pcm || frames == 0 || channels == 0) {
        return false;
    }
    if (sampleRate != encoder.getSampleRate()) {
        if (sampleRate != refusedRate) {
            refusedRate = sampleRate;
            SPDLOG_WARN("Audio at {} Hz is not sent: the Opus encoder takes {} Hz", sampleRate,
                        encoder.getSampleRate());
        }
        return false;
    }
    const std::uint32_t outChannels = encoder.getChannels();
    const std::size_t at = pending.size();
    pending.resize(at + static_cast<std::size_t>(frames) * outChannels);
    std::int16_t* out = pending.data() + at;
    if (channels == outChannels) {
        std::memcpy(out, pcm, static_cast<std::size_t>(frames) * channels * sizeof(std::int16_t));
        return true;
    }
    const std::uint32_t kept = std::min(channels, outChannels);
    for (std::uint32_t f = 0; f < frames; ++f, pcm += channels, out += outChannels) {
        if (channels == 1) {
            std::fill(out, out + outChannels, pcm[0]);
            continue;
        }
        std::copy(pcm, pcm + kept, out);
        std::fill(out + kept, out + outChannels, std::int16_t{0});
    }
    return true;
}

void AudioFrameBuffer::consume(std::size_t count) {
    if (count == 0) {
        return;
    }
    const std::size_t left = pending.size() - count;
    std::memmove(pending.data(), pending.data() + count, left * sizeof(std::int16_t));
    pending.resize(left);
}

}  // namespace quillane::host
