#include "app/AudioPipeline.h"

#include <spdlog/spdlog.h>

#include "audio/AudioCapture.h"
#include "audio/OpusEncoder.h"
#include "network/TcpAudioServer.h"

namespace quillane::host {

AudioPipeline::AudioPipeline(Held<TcpAudioServer>& server) : server(server) {}

AudioPipeline::~AudioPipeline() {
    if (auto running = capture.take()) running->stop();
    encoder.take().reset();
}

bool AudioPipeline::start() {
    SPDLOG_INFO("Initializing audio capture...");
    auto audio = std::make_shared<AudioCapture>();
    if (!audio->initialize(AudioCaptureConfig{})) {
        SPDLOG_WARN("Failed to initialize audio capture");
        return false;
    }
    auto opus = std::make_shared<OpusAudioEncoder>();
    if (!opus->initialize(OpusEncoderConfig{})) {
        SPDLOG_WARN("Failed to initialize Opus encoder");
        return false;
    }
    buffer.reserve(std::size_t{opus->getFrameSize()} * opus->getChannels() * 4);
    encoder.set(opus);
    const bool started = audio->start(
        [this](const std::int16_t* samples, std::uint32_t frames, std::uint32_t sampleRate, std::uint32_t channels) {
            onSamples(samples, frames, sampleRate, channels);
        });
    if (!started) {
        SPDLOG_WARN("Failed to start audio capture");
        encoder.take().reset();
        return false;
    }
    capture.set(audio);
    SPDLOG_INFO("Audio capture started");
    return true;
}

void AudioPipeline::stop() {
    binding = 0;
    if (auto running = capture.take()) running->stop();
    if (auto opus = encoder.take()) opus->shutdown();
}

void AudioPipeline::bind(std::uint8_t streamId) {
    auto audio = capture.get();
    if (!audio || !audio->isCapturing()) return;
    std::uint16_t unbound = binding.load();
    if (unbound & kBound) return;
    binding.compare_exchange_strong(unbound, static_cast<std::uint16_t>(kBound | streamId));
}

void AudioPipeline::unbind(std::uint8_t streamId) {
    std::uint16_t bound = static_cast<std::uint16_t>(kBound | streamId);
    binding.compare_exchange_strong(bound, 0);
}

void AudioPipeline::onSamples(const std::int16_t* samples, std::uint32_t frames, std::uint32_t sampleRate,
                              std::uint32_t channels) {
    const std::uint16_t current = binding.load();
    if (current != bufferBinding) {
        // A remainder captured for another stream does not open this one's sound.
        buffer.clear();
        bufferBinding = current;
    }
    if (!(current & kBound)) return;
    auto opus = encoder.get();
    auto audioServer = server.get();
    if (!opus || !audioServer) return;
    const auto streamId = static_cast<std::uint8_t>(current & 0xFF);
    buffer.push(*opus, samples, frames, sampleRate, channels, [&](const std::uint8_t* packet, std::size_t size) {
        audioServer->sendAudioData(streamId, packet, size);
    });
}

}  // namespace quillane::host
