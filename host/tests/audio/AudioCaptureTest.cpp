// AudioCapture's portable half over a scripted backend: conversion, silence, start and stop.
#include "audio/AudioCapture.h"

#include "Eventually.h"
#include "LogCapture.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <deque>
#include <limits>
#include <mutex>

namespace quillane::host::test {
namespace {

using namespace std::chrono_literals;

// Hands the packets queued by the test to the capture thread, one wait at a time.
class ScriptedBackend : public AudioCaptureBackend {
public:
    struct Script {
        std::mutex mutex;
        std::deque<std::pair<std::vector<float>, bool>> packets;  // samples, silent flag
        AudioStreamFormat format{48000, 2, AudioSampleFormat::Float32};
        bool openFails = false;
        int streamStops = 0;
    };
    explicit ScriptedBackend(std::shared_ptr<Script> script) : script(std::move(script)) {}

    bool open(bool) override { return !script->openFails; }
    AudioStreamFormat format() const override { return script->format; }
    bool startStream() override { return true; }
    void stopStream() override { ++script->streamStops; }
    void waitAndDrain(std::chrono::milliseconds, const PacketHandler& onPacket) override {
        std::this_thread::sleep_for(1ms);
        std::unique_lock lock(script->mutex);
        while (!script->packets.empty()) {
            auto [samples, silent] = std::move(script->packets.front());
            script->packets.pop_front();
            lock.unlock();
            CapturedAudioPacket packet;
            packet.data = samples.data();
            packet.frames = static_cast<std::uint32_t>(samples.size() / script->format.channels);
            packet.silent = silent;
            packet.format = script->format;
            onPacket(packet);
            lock.lock();
        }
    }
    void wake() override {}

private:
    std::shared_ptr<Script> script;
};

struct Delivery {
    std::vector<std::int16_t> samples;
    std::uint32_t frames, rate, channels;
};

class AudioCaptureTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(capture.initialize(AudioCaptureConfig{}));
        ASSERT_TRUE(capture.start([this](const std::int16_t* pcm, std::uint32_t frames, std::uint32_t rate,
                                         std::uint32_t channels) {
            std::lock_guard lock(mutex);
            deliveries.push_back({std::vector<std::int16_t>(pcm, pcm + frames * channels), frames, rate, channels});
        }));
    }
    void queue(std::vector<float> samples, bool silent = false) {
        std::lock_guard lock(script->mutex);
        script->packets.emplace_back(std::move(samples), silent);
    }
    std::vector<Delivery> received() {
        std::lock_guard lock(mutex);
        return deliveries;
    }

    test::LogCapture logs;
    std::shared_ptr<ScriptedBackend::Script> script = std::make_shared<ScriptedBackend::Script>();
    AudioCapture capture{std::make_unique<ScriptedBackend>(script)};
    std::mutex mutex;
    std::vector<Delivery> deliveries;
};

TEST_F(AudioCaptureTest, FloatPacketsArriveAsClampedTruncatedSixteenBitAndNanBecomesZero) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    queue({1.5f, -2.0f, 0.5f, -0.5f, nan, 0.0f, 1.0f, -1.0f});
    ASSERT_TRUE(test::eventually([&] { return received().size() == 1; }));
    const auto d = received()[0];
    EXPECT_EQ((std::array{d.frames, d.rate, d.channels}), (std::array<std::uint32_t, 3>{4, 48000, 2}));
    EXPECT_EQ(d.samples, (std::vector<std::int16_t>{32767, -32767, 16383, -16383, 0, 0, 32767, -32767}));
}

TEST_F(AudioCaptureTest, SilentPacketsAreNotDeliveredAndStopEndsDelivery) {
    queue(std::vector<float>(960, 0.0f), true);
    queue(std::vector<float>(960, 0.25f));  // arrives after the silent one was dropped
    ASSERT_TRUE(test::eventually([&] { return received().size() == 1; }));
    EXPECT_EQ(received()[0].frames, 480u);

    // A second start keeps the first callback; stop joins the thread, after which nothing arrives.
    EXPECT_TRUE(capture.start([](const std::int16_t*, std::uint32_t, std::uint32_t, std::uint32_t) { FAIL(); }));
    EXPECT_TRUE(logs.contains("Audio capture already started"));
    capture.stop();
    EXPECT_FALSE(capture.isCapturing());
    EXPECT_EQ(script->streamStops, 1);
    queue(std::vector<float>(960, 0.25f));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(received().size(), 1u);
    capture.stop();  // not capturing: nothing happens
    EXPECT_EQ(script->streamStops, 1);
    EXPECT_EQ(logs.count("Audio capture stopped"), 1u);
}

TEST(AudioCaptureSetUp, FormatBeforeAndAfterInitializeAndFailedOpen) {
    auto script = std::make_shared<ScriptedBackend::Script>();
    script->format = {44100, 6, AudioSampleFormat::Float32};
    AudioCapture capture(std::make_unique<ScriptedBackend>(script));
    std::uint32_t rate = 0, channels = 0, bits = 0;
    capture.getFormat(rate, channels, bits);
    EXPECT_EQ((std::array{rate, channels, bits}), (std::array<std::uint32_t, 3>{48000, 2, 16}));
    EXPECT_FALSE(capture.start({})) << "not initialised";
    ASSERT_TRUE(capture.initialize({}));
    capture.getFormat(rate, channels, bits);
    EXPECT_EQ((std::array{rate, channels, bits}), (std::array<std::uint32_t, 3>{44100, 6, 16}));

    script->openFails = true;
    AudioCapture broken(std::make_unique<ScriptedBackend>(script));
    EXPECT_FALSE(broken.initialize({}));
    EXPECT_FALSE(broken.start({}));
}

}  // namespace
}  // namespace quillane::host::test
