#pragma once

#include "audio/AudioCaptureBackend.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace quillane::host {

struct AudioCaptureConfig {
    std::uint32_t sampleRate = 48000;  // reported by getFormat before initialisation; steers nothing
    std::uint32_t channels = 2;
    std::uint32_t bitsPerSample = 16;
    bool loopback = true;  // the sound the computer plays, rather than the default input
};

// Interleaved signed 16-bit samples, frames x channels of them, in the device's own rate and
// channel count. The pointer is valid only during the call.
using AudioDataCallback =
    std::function<void(const std::int16_t* samples, std::uint32_t frames, std::uint32_t sampleRate,
                       std::uint32_t channels)>;

// Captures the sound the computer plays on a thread of its own and hands it on as 16-bit PCM.
// Silent packets are not delivered, so nothing flows while the system is quiet.
// Threads: the owner's thread initialises, starts, stops and destroys; the callback runs on the
// capture thread, once per delivered packet, and never after stop returns.
class AudioCapture {
public:
    AudioCapture();
    explicit AudioCapture(std::unique_ptr<AudioCaptureBackend> backend);
    ~AudioCapture();

    AudioCapture(const AudioCapture&) = delete;
    AudioCapture& operator=(const AudioCapture&) = delete;

    bool initialize(const AudioCaptureConfig& config);
    // Requires a successful initialize. A second start while capturing keeps the first callback.
    bool start(AudioDataCallback callback);
    void stop();
    bool isCapturing() const { return capturing; }
    // The config's values before initialisation; afterwards the device's rate and channels, 16 bits.
    void getFormat(std::uint32_t& sampleRate, std::uint32_t& channels, std::uint32_t& bitsPerSample) const;

    // Float samples as delivered: clamped to [-1, 1], scaled by 32767 and truncated; NaN becomes 0.
    static void convertFloatSamples(const float* in, std::size_t count, std::int16_t* out);

private:
    void captureThread();
    void deliver(const CapturedAudioPacket& packet);

    std::unique_ptr<AudioCaptureBackend> backend;
    AudioCaptureConfig config;
    AudioDataCallback callback;
    std::thread thread;
    std::atomic<bool> capturing{false};
    std::atomic<bool> stopRequested{false};
    bool initialized = false;
    AudioStreamFormat mixFormat;
    std::vector<std::int16_t> conversionBuffer;  // capture thread only
    AudioCaptureBackend::PacketHandler packetHandler;  // made once, so a packet allocates nothing
};

}  // namespace quillane::host
