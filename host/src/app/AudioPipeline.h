#pragma once

#include <atomic>
#include <cstdint>

#include "app/Held.h"
#include "audio/AudioFrameBuffer.h"

namespace quillane::host {

class AudioCapture;
class OpusAudioEncoder;
class TcpAudioServer;

// The desktop's sound on its way to the client: the audio capture, the Opus
// encoder, the buffer that cuts the capture's blocks into encoder frames, and
// which stream the sound belongs to (the first running stream takes it).
// Threads: start and stop run on the main thread; bind and unbind on any
// thread that starts or stops a stream; onSamples on the audio capture thread,
// which alone touches the buffer.
class AudioPipeline {
public:
    explicit AudioPipeline(Held<TcpAudioServer>& server);
    ~AudioPipeline();
    AudioPipeline(const AudioPipeline&) = delete;
    AudioPipeline& operator=(const AudioPipeline&) = delete;

    // False (with a warning) when the sound cannot be captured or encoded; the host runs without it.
    bool start();
    // Returns once the capture thread delivers no more samples.
    void stop();

    // The stream takes the sound unless another one has it (or there is no sound).
    void bind(std::uint8_t streamId);
    // Frees the sound when this stream had it, for the next stream to start.
    void unbind(std::uint8_t streamId);

    // Audio capture thread.
    void onSamples(const std::int16_t* samples, std::uint32_t frames, std::uint32_t sampleRate,
                   std::uint32_t channels);

private:
    Held<TcpAudioServer>& server;
    Held<AudioCapture> capture;
    Held<OpusAudioEncoder> encoder;

    // The bound flag and stream id in one value (kBound | id), so the capture thread never sees
    // one without the other; the buffer and the binding it was filled for belong to the capture
    // thread alone.
    static constexpr std::uint16_t kBound = 0x100;
    std::atomic<std::uint16_t> binding{0};
    std::uint16_t bufferBinding = 0;
    AudioFrameBuffer buffer;
};

}  // namespace quillane::host
