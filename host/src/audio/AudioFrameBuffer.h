#pragma once

#include "audio/OpusEncoder.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quillane::host {

// Captured PCM waiting to be cut into Opus frames, always in the encoder's own layout: other
// channel counts are remixed on the way in (mono is duplicated, more than two keep the first two,
// front left and right), and a rate the encoder was not set up for is refused with one warning.
// Not thread-safe: the audio capture thread is its only user.
class AudioFrameBuffer {
public:
    void reserve(std::size_t samples) { pending.reserve(samples); }

    // Appends one delivery, then hands each whole frame's packet to send(data, size); samples
    // short of a frame stay for the next delivery. A frame whose encoding fails is dropped.
    template <class Send>
    void push(OpusAudioEncoder& encoder, const std::int16_t* pcm, std::uint32_t frames, std::uint32_t sampleRate,
              std::uint32_t channels, Send&& send) {
        if (!append(encoder, pcm, frames, sampleRate, channels)) {
            return;
        }
        const std::size_t frameSize = encoder.getFrameSize();
        const std::size_t frameSamples = frameSize * encoder.getChannels();
        std::size_t offset = 0;
        while (frameSamples > 0 && pending.size() - offset >= frameSamples) {
            const auto packet = encoder.encode(pending.data() + offset, static_cast<std::uint32_t>(frameSize));
            offset += frameSamples;
            if (!packet.empty()) {
                send(packet.data(), packet.size());
            }
        }
        consume(offset);
    }

    // Drops the remainder, so the next frame starts with new sound.
    void clear() { pending.clear(); }
    std::size_t bufferedSamples() const { return pending.size(); }

private:
    bool append(const OpusAudioEncoder& encoder, const std::int16_t* pcm, std::uint32_t frames,
                std::uint32_t sampleRate, std::uint32_t channels);
    void consume(std::size_t count);

    std::vector<std::int16_t> pending;
    std::uint32_t refusedRate = 0;  // the last rate warned about
};

}  // namespace quillane::host
