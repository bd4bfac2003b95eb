#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

namespace quillane::host {

enum class AudioSampleFormat {
    Float32,
    Int16,
    Other,  // 24- or 32-bit integer: not delivered
};

// The layout the platform delivers packets in.
struct AudioStreamFormat {
    std::uint32_t sampleRate = 0;
    std::uint32_t channels = 0;
    AudioSampleFormat sampleFormat = AudioSampleFormat::Other;
};

// One packet as the platform hands it over; the data is valid only during the packet callback.
struct CapturedAudioPacket {
    const void* data = nullptr;
    std::uint32_t frames = 0;
    bool silent = false;  // the platform says it is silence, or holds no data
    // The packet's layout: format() until the backend opens another device, that device's after.
    AudioStreamFormat format;
};

// The platform's sound capture behind AudioCapture: WASAPI loopback on Windows, the default sink's
// monitor through PulseAudio on Linux. open and close run on the owner's thread; waitAndDrain runs
// on the capture thread only; wake may be called from any thread.
class AudioCaptureBackend {
public:
    using PacketHandler = std::function<void(const CapturedAudioPacket&)>;

    virtual ~AudioCaptureBackend() = default;

    // Opens the default output's loopback (or the default input). False, after one logged error,
    // when capture is impossible; a sound server that is only absent for now is not a failure.
    virtual bool open(bool loopback) = 0;
    // Valid after a successful open: the layout packets arrive in until another device is opened.
    virtual AudioStreamFormat format() const = 0;
    // Starts and stops delivery; false after one logged error.
    virtual bool startStream() = 0;
    virtual void stopStream() = 0;

    // Called once on the capture thread before its first wait, and once after its last.
    virtual void prepareThread() {}
    virtual void finishThread() {}
    // Waits at most `timeout` for data (returning early when woken), then hands every packet
    // that is ready to `onPacket`, in order. Packet-level failures are logged here.
    virtual void waitAndDrain(std::chrono::milliseconds timeout, const PacketHandler& onPacket) = 0;
    // Ends a wait in progress soon.
    virtual void wake() = 0;
};

// This platform's implementation.
std::unique_ptr<AudioCaptureBackend> createAudioCaptureBackend();

}  // namespace quillane::host
