#pragma once

#include <cstdint>
#include <vector>

struct OpusEncoder;

namespace quillane::host {

struct OpusEncoderConfig {
    std::uint32_t sampleRate = 48000;
    std::uint32_t channels = 2;
    std::uint32_t bitrate = 128000;  // bit/s
    std::uint32_t frameSize = 480;   // samples per channel per packet: 10 ms at 48 kHz
    std::uint32_t complexity = 5;
    bool lowDelay = true;  // restricted low-delay application with 10 ms frames
};

// One libopus encoder. Used from one thread at a time: set up and shut down while no capture
// runs, encoding on the audio capture thread.
class OpusAudioEncoder {
public:
    static constexpr std::size_t kMaxPacketBytes = 4000;

    OpusAudioEncoder();
    ~OpusAudioEncoder();

    OpusAudioEncoder(const OpusAudioEncoder&) = delete;
    OpusAudioEncoder& operator=(const OpusAudioEncoder&) = delete;

    // A second call while an encoder exists warns and keeps the first config.
    bool initialize(const OpusEncoderConfig& config);
    // frameSize x channels interleaved samples in; one packet out, empty on failure or before
    // initialisation.
    std::vector<std::uint8_t> encode(const std::int16_t* pcm, std::uint32_t frameSize);
    void shutdown();

    std::uint32_t getFrameSize() const { return config.frameSize; }
    std::uint32_t getChannels() const { return config.channels; }
    std::uint32_t getSampleRate() const { return config.sampleRate; }

private:
    ::OpusEncoder* encoder = nullptr;
    OpusEncoderConfig config;
    std::vector<std::uint8_t> outputBuffer;
};

}  // namespace quillane::host
