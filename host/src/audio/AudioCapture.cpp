#include "audio/AudioCapture.h"
#include "platform/CrashHandler.h"

#include <spdlog/spdlog.h>

#include <algorithm>

namespace quillane::host {

namespace {

// How long the capture thread waits before it looks at the stop flag again.
constexpr std::chrono::milliseconds kWaitInterval{100};

}  // namespace

AudioCapture::AudioCapture() : AudioCapture(createAudioCaptureBackend()) {}

AudioCapture::AudioCapture(std::unique_ptr<AudioCaptureBackend> backend)
    : backend(std::move(backend)), packetHandler([this](const CapturedAudioPacket& packet) { deliver(packet); }) {}

AudioCapture::~AudioCapture() {
    stop();
    backend.reset();
}

bool AudioCapture::initialize(const AudioCaptureConfig& newConfig) {
    config = newConfig;
    if (!backend || !backend->open(config.loopback)) {
        return false;
    }
    mixFormat = backend->format();
    initialized = true;
    SPDLOG_INFO("Audio capture initialized: {} Hz, {} channels", mixFormat.sampleRate, mixFormat.channels);
    return true;
}

bool AudioCapture::start(AudioDataCallback newCallback) {
    if (capturing) {
        SPDLOG_WARN("Audio capture already started");
        return true;
    }
    if (!initialized) {
        SPDLOG_ERROR("Audio capture started before it was initialized");
        return false;
    }
    callback = std::move(newCallback);
    stopRequested = false;
    if (!backend->startStream()) {
        return false;
    }
    capturing = true;
    try {
        thread = std::thread([this] {
            prepareThreadForCrashHandling();
            captureThread();
        });
    } catch (const std::exception& e) {
        SPDLOG_ERROR("Failed to start the audio capture thread: {}", e.what());
        capturing = false;
        backend->stopStream();
        return false;
    }
    SPDLOG_INFO("Audio capture started");
    return true;
}

void AudioCapture::stop() {
    if (!capturing) {
        return;
    }
    stopRequested = true;
    backend->wake();
    if (thread.joinable()) {
        thread.join();
    }
    backend->stopStream();
    capturing = false;
    SPDLOG_INFO("Audio capture stopped");
}

void AudioCapture::getFormat(std::uint32_t& sampleRate, std::uint32_t& channels,
                             std::uint32_t& bitsPerSample) const {
    if (!initialized) {
        sampleRate = config.sampleRate;
        channels = config.channels;
        bitsPerSample = config.bitsPerSample;
        return;
    }
    sampleRate = mixFormat.sampleRate;
    channels = mixFormat.channels;
    bitsPerSample = 16;
}

void AudioCapture::convertFloatSamples(const float* in, std::size_t count, std::int16_t* out) {
    for (std::size_t i = 0; i < count; ++i) {
        float s = in[i];
        if (s != s) {
            s = 0.0f;  // NaN: a broken sample must not reach the encoder
        }
        s = std::max(std::min(s, 1.0f), -1.0f);
        out[i] = static_cast<std::int16_t>(s * 32767.0f);
    }
}

void AudioCapture::captureThread() {
    backend->prepareThread();
    while (!stopRequested) {
        backend->waitAndDrain(kWaitInterval, packetHandler);
    }
    backend->finishThread();
}

void AudioCapture::deliver(const CapturedAudioPacket& packet) {
    const AudioStreamFormat& format = packet.format;
    if (packet.silent || !packet.data || packet.frames == 0 || format.channels == 0 || !callback || stopRequested) {
        return;
    }
    const std::size_t samples = static_cast<std::size_t>(packet.frames) * format.channels;
    switch (format.sampleFormat) {
    case AudioSampleFormat::Float32:
        conversionBuffer.resize(samples);
        convertFloatSamples(static_cast<const float*>(packet.data), samples, conversionBuffer.data());
        callback(conversionBuffer.data(), packet.frames, format.sampleRate, format.channels);
        break;
    case AudioSampleFormat::Int16:
        callback(static_cast<const std::int16_t*>(packet.data), packet.frames, format.sampleRate, format.channels);
        break;
    case AudioSampleFormat::Other:
        break;
    }
}

}  // namespace quillane::host
