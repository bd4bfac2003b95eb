// AudioCapture on the real PulseAudio server of the virtual desktop: the default sink's sound
// arrives, silence delivers nothing.
#include "audio/AudioCapture.h"

#include "AudioAnalysis.h"
#include "E2eProcess.h"
#include "E2eSound.h"
#include "LogCapture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>

namespace quillane::host::test {
namespace {

using namespace std::chrono_literals;

TEST(PulseAudioCaptureTest, TheDefaultSinksToneArrivesAndSilenceDeliversNothing) {
    test::LogCapture logs;
    AudioCapture capture;
    ASSERT_TRUE(capture.initialize(AudioCaptureConfig{}));
    EXPECT_TRUE(logs.contains("Using audio device:"));
    std::uint32_t rate = 0, channels = 0, bits = 0;
    capture.getFormat(rate, channels, bits);
    EXPECT_EQ((std::array{rate, channels, bits}), (std::array<std::uint32_t, 3>{48000, 2, 16}));

    std::mutex mutex;
    std::vector<std::int16_t> heard;
    std::size_t deliveries = 0;
    auto count = [&] {
        std::lock_guard lock(mutex);
        return deliveries;
    };
    ASSERT_TRUE(capture.start([&](const std::int16_t* pcm, std::uint32_t frames, std::uint32_t r, std::uint32_t c) {
        std::lock_guard lock(mutex);
        EXPECT_EQ(r, 48000u);
        EXPECT_EQ(c, 2u);
        heard.insert(heard.end(), pcm, pcm + frames * c);
        ++deliveries;
    }));
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(count(), 0u) << "nothing plays yet";

    const std::string dir = makeTempDir("qh-pulse-");
    writeToneWav(dir + "/tone.wav", 1000.0, 1.0);
    ASSERT_TRUE(playWav(dir + "/tone.wav")->wait(10s));
    std::this_thread::sleep_for(200ms);
    const std::size_t after = count();
    const auto tone = [&] {
        std::lock_guard lock(mutex);
        return heard;
    }();
    ASSERT_GT(tone.size(), 48000u * 2 * 8 / 10) << "most of the second arrived";
    EXPECT_NEAR(test::dominantFrequency(tone, 2, 48000), 1000.0, 10.0);
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(count(), after) << "silence after the tone delivers nothing";
    capture.stop();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

}  // namespace
}  // namespace quillane::host::test
