// The Opus encoder and the sink's framing: what leaves for the client, decoded again with libopus.
#include "audio/AudioFrameBuffer.h"
#include "audio/OpusEncoder.h"

#include "AudioAnalysis.h"
#include "LogCapture.h"

#include <gtest/gtest.h>

#include <opus.h>

namespace quillane::host::test {
namespace {

using test::dominantFrequency;
using test::sineTone;

// Decoding what the encoder made is the frame buffer tests' part.
TEST(OpusAudioEncoderTest, TenMillisecondPacketsAtTheFirstBitrate) {
    test::LogCapture logs;
    OpusAudioEncoder encoder;
    const auto tone = sineTone(440.0, 480 * 50);
    EXPECT_TRUE(encoder.encode(tone.data(), 480).empty()) << "before initialisation";
    ASSERT_TRUE(encoder.initialize(OpusEncoderConfig{}));
    EXPECT_TRUE(logs.contains("Opus encoder initialized: 48000 Hz, 2 ch, 128 kbps"));
    OpusEncoderConfig other;
    other.bitrate = 6000;
    EXPECT_TRUE(encoder.initialize(other));
    EXPECT_TRUE(logs.contains("Opus encoder already initialized"));

    std::size_t bytes = 0;
    for (std::size_t at = 0; at < tone.size(); at += 960) {
        const auto packet = encoder.encode(tone.data() + at, 480);
        ASSERT_FALSE(packet.empty());
        ASSERT_LE(packet.size(), OpusAudioEncoder::kMaxPacketBytes);
        EXPECT_EQ(opus_packet_get_nb_samples(packet.data(), static_cast<opus_int32>(packet.size()), 48000), 480);
        bytes += packet.size();
    }
    // The second initialize kept 128 kbit/s: about 160 bytes per 10 ms, far above 6 kbit/s.
    EXPECT_GT(bytes / 50, 100u);

    encoder.shutdown();
    EXPECT_TRUE(encoder.encode(tone.data(), 480).empty()) << "after shutdown";
}

class AudioFrameBufferTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(encoder.initialize(OpusEncoderConfig{})); }
    void push(const std::vector<std::int16_t>& pcm, std::uint32_t rate, std::uint32_t channels) {
        buffer.push(encoder, pcm.data(), static_cast<std::uint32_t>(pcm.size() / channels), rate, channels,
                    [&](const std::uint8_t* data, std::size_t size) { packets.emplace_back(data, data + size); });
    }
    std::vector<std::int16_t> decodeAll() {
        test::OpusTestDecoder decoder;
        std::vector<std::int16_t> out;
        for (const auto& p : packets) EXPECT_EQ(decoder.decode(p, out), 480);
        return out;
    }

    test::LogCapture logs;
    OpusAudioEncoder encoder;
    AudioFrameBuffer buffer;
    std::vector<std::vector<std::uint8_t>> packets;
};

TEST_F(AudioFrameBufferTest, TwoDeliveriesOf441FramesGiveOnePacketAndCarry402) {
    const auto tone = sineTone(1000.0, 882);
    push({tone.begin(), tone.begin() + 882}, 48000, 2);
    EXPECT_TRUE(packets.empty());
    EXPECT_EQ(buffer.bufferedSamples(), 882u);
    push({tone.begin() + 882, tone.end()}, 48000, 2);
    EXPECT_EQ(packets.size(), 1u);
    EXPECT_EQ(buffer.bufferedSamples(), 402u * 2);
    buffer.clear();
    EXPECT_EQ(buffer.bufferedSamples(), 0u);
}

TEST_F(AudioFrameBufferTest, MonoAndSurroundAreRemixedToStereo) {
    // Mono: each sample on both channels.
    std::vector<std::int16_t> mono(480 * 20);
    const auto stereo = sineTone(440.0, mono.size());
    for (std::size_t i = 0; i < mono.size(); ++i) mono[i] = stereo[2 * i];
    push(mono, 48000, 1);
    ASSERT_EQ(packets.size(), 20u);
    const auto decodedMono = decodeAll();
    EXPECT_NEAR(dominantFrequency(decodedMono, 2, 48000), 440.0, 4.4);
    std::vector<std::int16_t> right(decodedMono.begin() + 1, decodedMono.end());
    EXPECT_NEAR(dominantFrequency(right, 2, 48000), 440.0, 4.4) << "the right channel carries it too";

    // Six channels: front left and right are kept, the rest (a loud other tone) left out.
    packets.clear();
    const auto loud = sineTone(3000.0, 480 * 20, 0.9);
    std::vector<std::int16_t> surround(480 * 20 * 6);
    for (std::size_t f = 0; f < 480 * 20; ++f) {
        surround[6 * f] = surround[6 * f + 1] = stereo[2 * f];
        for (int c = 2; c < 6; ++c) surround[6 * f + c] = loud[2 * f];
    }
    push(surround, 48000, 6);
    ASSERT_EQ(packets.size(), 20u);
    EXPECT_NEAR(dominantFrequency(decodeAll(), 2, 48000), 440.0, 4.4);
}

TEST_F(AudioFrameBufferTest, OtherRatesAreRefusedWithOneWarning) {
    const auto tone = sineTone(440.0, 4410);
    for (int i = 0; i < 3; ++i) push(tone, 44100, 2);
    EXPECT_TRUE(packets.empty());
    EXPECT_EQ(buffer.bufferedSamples(), 0u);
    EXPECT_EQ(logs.count("Audio at 44100 Hz is not sent"), 1u);
    push(tone, 48000, 2);
    EXPECT_EQ(packets.size(), 9u);
}

}  // namespace
}  // namespace quillane::host::test
