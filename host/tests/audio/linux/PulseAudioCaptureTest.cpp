// AudioCapture on the real PulseAudio server of the virtual desktop (and on one of its own that
// starts late): the default sink's sound arrives, silence delivers nothing.
#include "audio/AudioCapture.h"

#include "AudioAnalysis.h"
#include "E2eProcess.h"
#include "E2eSound.h"
#include "Eventually.h"
#include "LogCapture.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>

namespace quillane::host {
namespace {

using namespace std::chrono_literals;

// Everything the capture delivered, as the sink would see it.
struct Recorder {
    std::mutex mutex;
    std::vector<std::int16_t> samples;
    std::size_t deliveries = 0;
    std::uint32_t rate = 0;
    std::uint32_t channels = 0;

    AudioDataCallback callback() {
        return [this](const std::int16_t* pcm, std::uint32_t frames, std::uint32_t r, std::uint32_t c) {
            std::lock_guard lock(mutex);
            samples.insert(samples.end(), pcm, pcm + frames * c);
            ++deliveries;
            rate = r;
            channels = c;
        };
    }
    std::size_t count() {
        std::lock_guard lock(mutex);
        return deliveries;
    }
    std::vector<std::int16_t> take() {
        std::lock_guard lock(mutex);
        return std::exchange(samples, {});
    }
};

class PulseAudioCaptureTest : public ::testing::Test {
protected:
    void SetUp() override { dir = qhtest::makeTempDir("qh-pulse-"); }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    std::string dir;
    test::LogCapture logs;
};

TEST_F(PulseAudioCaptureTest, TheDefaultSinksToneArrivesAndSilenceDeliversNothing) {
    AudioCapture capture;
    ASSERT_TRUE(capture.initialize(AudioCaptureConfig{}));
    EXPECT_TRUE(logs.contains("Using audio device:"));
    std::uint32_t rate = 0, channels = 0, bits = 0;
    capture.getFormat(rate, channels, bits);
    EXPECT_EQ((std::array{rate, channels, bits}), (std::array<std::uint32_t, 3>{48000, 2, 16}));
    Recorder recorder;
    ASSERT_TRUE(capture.start(recorder.callback()));

    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(recorder.count(), 0u) << "nothing plays yet";

    qhtest::writeToneWav(dir + "/tone.wav", 1000.0, 1.0);
    auto player = qhtest::playWav(dir + "/tone.wav");
    ASSERT_TRUE(player->wait(10s));
    std::this_thread::sleep_for(200ms);
    const auto heard = recorder.take();
    EXPECT_EQ(recorder.rate, 48000u);
    EXPECT_EQ(recorder.channels, 2u);
    ASSERT_GT(heard.size(), 48000u * 2 * 8 / 10) << "most of the second arrived";
    EXPECT_NEAR(test::dominantFrequency(heard, 2, 48000), 1000.0, 10.0);

    const std::size_t after = recorder.count();
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(recorder.count(), after) << "silence after the tone delivers nothing";
    capture.stop();
}

TEST_F(PulseAudioCaptureTest, StartsWithoutASoundServerAndPicksOneUpWhenItComes) {
    qhtest::PrivateSoundServer server(dir);
    // Every connection attempt reads the variable, so it names the late server for the whole test.
    struct ServerVariable {
        explicit ServerVariable(const std::string& value) {
            if (const char* p = std::getenv("PULSE_SERVER")) saved = p;
            setenv("PULSE_SERVER", value.c_str(), 1);
        }
        ~ServerVariable() { saved.empty() ? unsetenv("PULSE_SERVER") : setenv("PULSE_SERVER", saved.c_str(), 1); }
        std::string saved;
    } variable("unix:" + server.socket);
    AudioCapture capture;
    ASSERT_TRUE(capture.initialize(AudioCaptureConfig{})) << "an absent server is not a failed start";
    Recorder recorder;
    ASSERT_TRUE(capture.start(recorder.callback()));
    EXPECT_TRUE(capture.isCapturing());
    std::this_thread::sleep_for(3500ms);  // at least one more attempt
    EXPECT_EQ(logs.count("PulseAudio is not available"), 1u);

    server.start();
    ASSERT_TRUE(logs.waitFor("PulseAudio is available again", 10s)) << qhtest::readFile(server.log);
    ASSERT_TRUE(logs.waitFor("Using audio device:", 5s));

    qhtest::writeToneWav(dir + "/tone.wav", 440.0, 1.0);
    auto player = qhtest::playWav(dir + "/tone.wav", server.env);
    EXPECT_TRUE(test::eventually([&] { return recorder.count() > 10; }, 5s));
    player->wait(5s);
    EXPECT_NEAR(test::dominantFrequency(recorder.take(), 2, 48000), 440.0, 4.4);

    // The server going away is one warning, and capture goes on waiting for it.
    server.process->terminate();
    EXPECT_TRUE(logs.waitFor("Lost the PulseAudio connection", 5s));
    EXPECT_TRUE(capture.isCapturing());
    capture.stop();
}

}  // namespace
}  // namespace quillane::host
