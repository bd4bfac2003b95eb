#pragma once

#include <opus.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

namespace quillane::host::test {

// A libopus decoder for 48 kHz stereo, for tests that look at what the host sent.
class OpusTestDecoder {
public:
    OpusTestDecoder() : decoder(opus_decoder_create(48000, 2, &error)) {}
    ~OpusTestDecoder() {
        if (decoder) opus_decoder_destroy(decoder);
    }
    OpusTestDecoder(const OpusTestDecoder&) = delete;
    OpusTestDecoder& operator=(const OpusTestDecoder&) = delete;

    // Appends the packet's interleaved samples to `out`; the number of frames, negative on error.
    int decode(const std::vector<std::uint8_t>& packet, std::vector<std::int16_t>& out) {
        std::int16_t pcm[5760 * 2];
        const int frames =
            opus_decode(decoder, packet.data(), static_cast<opus_int32>(packet.size()), pcm, 5760, 0);
        if (frames > 0) out.insert(out.end(), pcm, pcm + frames * 2);
        return frames;
    }

private:
    int error = 0;
    OpusDecoder* decoder;
};

// Power of one frequency in the first channel (Goertzel).
inline double tonePower(const std::vector<std::int16_t>& interleaved, unsigned channels, double rate, double hz) {
    const double coefficient = 2.0 * std::cos(2.0 * std::numbers::pi * hz / rate);
    double s1 = 0, s2 = 0;
    for (std::size_t i = 0; i < interleaved.size(); i += channels) {
        const double s0 = interleaved[i] + coefficient * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    return s1 * s1 + s2 * s2 - coefficient * s1 * s2;
}

// The strongest frequency between 50 Hz and 5 kHz, to about 0.1 Hz.
inline double dominantFrequency(const std::vector<std::int16_t>& interleaved, unsigned channels, double rate) {
    double best = 50, bestPower = -1;
    auto scan = [&](double from, double to, double step) {
        for (double hz = from; hz <= to; hz += step) {
            if (const double p = tonePower(interleaved, channels, rate, hz); p > bestPower) bestPower = p, best = hz;
        }
    };
    scan(50, 5000, 5);
    scan(best - 5, best + 5, 0.1);
    return best;
}

// Interleaved stereo 16-bit samples of a sine tone.
inline std::vector<std::int16_t> sineTone(double hz, std::size_t frames, double amplitude = 0.5, double rate = 48000) {
    std::vector<std::int16_t> out(frames * 2);
    for (std::size_t i = 0; i < frames; ++i) {
        const auto v = static_cast<std::int16_t>(amplitude * 32767 * std::sin(2 * std::numbers::pi * hz * i / rate));
        out[2 * i] = out[2 * i + 1] = v;
    }
    return out;
}

}  // namespace quillane::host::test
