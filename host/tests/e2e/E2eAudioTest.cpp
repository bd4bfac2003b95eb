// The desktop's sound end to end: tones played into the virtual desktop's PulseAudio sink reach the
// audio client of the host binary as 10 ms Opus packets of the first running stream; silence sends
// nothing.
#include <gtest/gtest.h>
#include <opus.h>

#include <filesystem>

#include "AudioAnalysis.h"
#include "AudioClient.h"
#include "E2eHost.h"
#include "E2eSound.h"
#include "SignalingTestClient.h"

using namespace std::chrono_literals;
using quillane::host::test::ReceivedAudioPacket;
using quillane::host::test::readAudioPacket;
using quillane::host::test::SignalingClient;
using quillane::host::test::VideoClient;
using nlohmann::json;

namespace quillane::host::test {
namespace {

using Clock = std::chrono::steady_clock;

// Reads packets for `span`; each must be a well-formed 480-sample Opus packet of the stream, numbered
// one after the other. Returns them decoded.
std::vector<std::int16_t> listen(VideoClient& audio, std::uint8_t streamId, std::chrono::milliseconds span,
                                 std::optional<ReceivedAudioPacket> first = std::nullopt) {
    quillane::host::test::OpusTestDecoder decoder;
    std::vector<std::int16_t> decoded;
    std::optional<std::uint16_t> last;
    // The span starts with the first packet: a player that is slow to start must not shorten it.
    auto p = first ? first : readAudioPacket(audio, 2s);
    const auto end = Clock::now() + span;
    for (; p && Clock::now() < end; p = readAudioPacket(audio, 1s)) {
        EXPECT_EQ((std::array{p->header[0], p->header[1], p->header[2], p->header[3]}),
                  (std::array<std::uint8_t, 4>{0x01, 0x02, streamId, 0x00}));
        EXPECT_EQ(p->payloadLength(), p->data.size() + 4);
        EXPECT_TRUE(!last || p->sequence() == static_cast<std::uint16_t>(*last + 1)) << p->sequence();
        last = p->sequence();
        EXPECT_EQ(opus_packet_get_nb_samples(p->data.data(), static_cast<opus_int32>(p->data.size()), 48000), 480);
        EXPECT_EQ(decoder.decode(p->data, decoded), 480);
    }
    return decoded;
}

void drain(VideoClient& audio) {
    while (readAudioPacket(audio, 300ms)) {
    }
}

// A signalling client that said hello, a test window and a client on the host's audio port.
struct AudioSession {
    explicit AudioSession(const std::string& title) : window(title) {}

    void open(HostUnderTest& host) {
        ASSERT_TRUE(client.connect(host.ports().signaling));
        ASSERT_TRUE(client.sendText(R"({"type":"hello"})"));
        ASSERT_TRUE(client.receive(5s));
        ASSERT_TRUE(window.ok());
        ASSERT_TRUE(audio.connect(host.ports().audio));
        ASSERT_TRUE(host.waitForLog("TCP audio client connected", 5s));
    }
    // The stream id of the window's new stream, or none.
    std::optional<std::uint8_t> subscribe(TestWindowProcess* other = nullptr) {
        const auto windowId = (other ? other : &window)->windowId();
        auto started =
            client.request(json{{"type", "stream_subscribe"}, {"windowId", windowId}}, "stream_started", 10s);
        if (!started) return std::nullopt;
        return (*started)["streamId"].get<std::uint8_t>();
    }

    SignalingClient client;
    TestWindowProcess window;
    VideoClient audio;
};

TEST(E2eAudio, TonesReachTheFirstRunningStreamsClientAsOpusAndSilenceSendsNothing) {
    HostUnderTest host;
    ASSERT_TRUE(host.start()) << host.log();
    AudioSession session("E2E audio");
    ASSERT_NO_FATAL_FAILURE(session.open(host));
    VideoClient& audio = session.audio;

    const std::string low = host.home() + "/440.wav";
    const std::string high = host.home() + "/1000.wav";
    writeToneWav(low, 440.0, 3.0);
    writeToneWav(high, 1000.0, 6.0);
    auto player = playWav(low);
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(readAudioPacket(audio, 300ms)) << "no stream runs yet, so the sound is not bound";

    const auto subscribed = Clock::now();
    const auto streamId = session.subscribe();
    ASSERT_TRUE(streamId);
    auto first = readAudioPacket(audio, 2s);
    ASSERT_TRUE(first) << host.log();
    EXPECT_LT(first->received - subscribed, 1s);
    const auto lowHeard = listen(audio, *streamId, 1000ms, first);
    ASSERT_GT(lowHeard.size(), 2u * 48000 * 8 / 10);
    EXPECT_NEAR(quillane::host::test::dominantFrequency(lowHeard, 2, 48000), 440.0, 4.4);

    ASSERT_TRUE(player->wait(10s));
    drain(audio);
    EXPECT_FALSE(readAudioPacket(audio, 700ms)) << "silence sends nothing";

    // A second stream leaves the sound with the first running one.
    TestWindowProcess second("E2E audio second");
    ASSERT_TRUE(second.ok());
    ASSERT_TRUE(session.subscribe(&second));
    player = playWav(high);
    const auto highHeard = listen(audio, *streamId, 1000ms);
    ASSERT_GT(highHeard.size(), 2u * 48000 * 8 / 10);
    EXPECT_NEAR(quillane::host::test::dominantFrequency(highHeard, 2, 48000), 1000.0, 10.0);

    // Stopping it frees the sound although the other still runs; the next stream to start takes it.
    ASSERT_TRUE(session.client.request(json{{"type", "stream_unsubscribe"}, {"streamId", *streamId}},
                                       "stream_stopped", 5s));
    drain(audio);
    EXPECT_FALSE(readAudioPacket(audio, 700ms)) << "unbound, although another stream runs";
    const auto third = session.subscribe();
    ASSERT_TRUE(third);
    const auto packet = readAudioPacket(audio, 2s);
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->streamId(), *third);
    player->terminate();
    EXPECT_EQ(host.stop(), 0);
}

// Without a sound server the host starts and streams video, warns once, and brings sound as soon as
// a server appears, without a restart; the server going away again is one more warning.
TEST(E2eAudio, ASoundServerThatStartsLaterBringsSoundWithoutARestart) {
    const std::string dir = makeTempDir("qh-e2e-late-sound-");
    PrivateSoundServer sound(dir);
    HostUnderTest host;
    ASSERT_TRUE(host.start(std::chrono::seconds(20), {{"PULSE_SERVER", "unix:" + sound.socket}})) << host.log();
    EXPECT_NE(host.log().find("PulseAudio is not available"), std::string::npos);
    EXPECT_EQ(host.log().find("Audio capture not available"), std::string::npos) << "capture runs, waiting";

    AudioSession session("E2E late sound");
    ASSERT_NO_FATAL_FAILURE(session.open(host));
    VideoClient video;
    ASSERT_TRUE(video.connect(host.ports().video));
    const auto streamId = session.subscribe();
    ASSERT_TRUE(streamId);
    EXPECT_TRUE(video.readPacket(5s)) << "video streams without sound";

    sound.start();
    ASSERT_TRUE(host.waitForLog("PulseAudio is available again", 10s)) << readFile(sound.log);
    writeToneWav(dir + "/tone.wav", 440.0, 1.5);
    auto player = playWav(dir + "/tone.wav", sound.env);
    auto first = readAudioPacket(session.audio, 5s);
    ASSERT_TRUE(first);
    const auto heard = listen(session.audio, *streamId, 800ms, first);
    EXPECT_NEAR(quillane::host::test::dominantFrequency(heard, 2, 48000), 440.0, 4.4);
    player->wait(10s);

    sound.process->terminate();
    EXPECT_TRUE(host.waitForLog("Lost the PulseAudio connection", 5s));
    const std::string log = host.log();
    const auto warning = log.find("PulseAudio is not available");
    EXPECT_EQ(log.find("PulseAudio is not available", warning + 1), std::string::npos) << "one warning only";
    EXPECT_EQ(host.stop(), 0);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

}  // namespace
}  // namespace quillane::host::test
