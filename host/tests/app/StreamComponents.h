#pragma once

// The stream controller and its neighbours driven directly: the real capture
// orchestrator on idle captures of one listed window, input on a scripted
// desktop, no sound, no signalling and no video connection. The encoders
// record the configuration they were created with and the bitrates they were given;
// their creation can be made to fail or throw.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "FakeInputPlatform.h"
#include "IdleCaptureServices.h"
#include "app/AudioPipeline.h"
#include "app/Held.h"
#include "app/InputDispatch.h"
#include "app/StreamController.h"
#include "capture/CaptureOrchestrator.h"
#include "common/RateLimiter.h"
#include "network/SignalingServer.h"
#include "network/TcpAudioServer.h"
#include "network/TcpTransportServer.h"

namespace quillane::host::test {

// What the encoders were told, in the order they were created (one per stream start).
class EncoderLog {
public:
    struct Bitrate {
        std::size_t encoder;
        std::uint32_t kbps, maxKbps;
        bool operator==(const Bitrate&) const = default;
    };

    std::size_t created(const EncoderConfig& config) {
        std::lock_guard lock(mutex);
        configs.push_back(config);
        return configs.size() - 1;
    }
    void bitrate(std::size_t encoder, std::uint32_t kbps, std::uint32_t maxKbps) {
        std::lock_guard lock(mutex);
        changes.push_back({encoder, kbps, maxKbps});
    }
    std::vector<EncoderConfig> createdWith() const {
        std::lock_guard lock(mutex);
        return configs;
    }
    std::vector<Bitrate> bitrates() const {
        std::lock_guard lock(mutex);
        return changes;
    }

private:
    mutable std::mutex mutex;
    std::vector<EncoderConfig> configs;
    std::vector<Bitrate> changes;
};

class RecordingEncoder final : public EncoderBase {
public:
    RecordingEncoder(std::shared_ptr<EncoderLog> log, const EncoderConfig& config)
        : log(std::move(log)), index(this->log->created(config)) {}
    const char* getName() const override { return "Recording"; }
    bool initialize(EncoderDevice, const EncoderConfig&) override { return true; }
    void shutdown() override {}
    bool encodeFrame(EncoderInput) override { return false; }
    void requestKeyframe() override {}
    void setBitrate(std::uint32_t kbps, std::uint32_t maxKbps) override { log->bitrate(index, kbps, maxKbps); }
    void setOutputCallback(EncoderOutputCallback) override {}
    EncoderStats getStats() const override { return {}; }
    bool isInitialized() const override { return true; }
    bool reconfigure(const EncoderConfig&) override { return true; }
    ParameterSets getParameterSets() const override { return {}; }

private:
    std::shared_ptr<EncoderLog> log;
    std::size_t index;
};

class StreamComponents : public ::testing::Test {
protected:
    static constexpr std::uint32_t kWindowId = 0x2a0001;

    void SetUp() override {
        protocol::WindowInfo window;
        window.id = kWindowId;
        window.title = "Component window";
        window.width = 640;
        window.height = 480;
        window.isVisible = true;
        CaptureServices services = idleCaptureServices(captures, {window});
        services.createBestEncoder = [log = encoders, fault = encoderFault](EncoderDevice, const EncoderConfig& config)
            -> std::unique_ptr<EncoderBase> {
            if (*fault == EncoderFault::Fails) return nullptr;
            if (*fault == EncoderFault::Throws) throw std::runtime_error("the encoder's driver gave out");
            return std::make_unique<RecordingEncoder>(log, config);
        };
        auto capture = std::make_shared<CaptureOrchestrator>(services);
        ASSERT_TRUE(capture->initialize());
        orchestrator.set(capture);
        desktop->existing = kWindowId;
        ASSERT_TRUE(input.start());
    }
    void TearDown() override {
        input.stop();
        if (auto capture = orchestrator.take()) capture->shutdown();
    }

    std::shared_ptr<IdleCaptureCount> captures = std::make_shared<IdleCaptureCount>();
    std::shared_ptr<EncoderLog> encoders = std::make_shared<EncoderLog>();
    // What creating the next encoder does: come up, fail, or throw.
    enum class EncoderFault { None, Fails, Throws };
    std::shared_ptr<std::atomic<EncoderFault>> encoderFault =
        std::make_shared<std::atomic<EncoderFault>>(EncoderFault::None);
    std::shared_ptr<FakeInputPlatform> desktop = std::make_shared<FakeInputPlatform>();
    Held<CaptureOrchestrator> orchestrator;
    Held<SignalingServer> signaling;
    Held<TcpTransportServer> video;
    Held<TcpAudioServer> sound;
    InputDispatch input{desktop, [this](std::uint8_t id) { return NativeWindow{streams.windowOf(id)}; }};
    AudioPipeline audio{sound};
    PeerLineLimiter requestLog{std::chrono::seconds(10), 16};
    // Whether the priority boost of the first running stream gives out.
    std::atomic<bool> boostThrows{false};
    StreamController streams{orchestrator, signaling, video, input, audio,
                             [this](bool boost) {
                                 if (boost && boostThrows) throw std::runtime_error("the priority could not be raised");
                             },
                             requestLog};
};

}  // namespace quillane::host::test
