// The audio pipeline driven directly, with the desktop's sound capture (a tone
// playing) and a real audio server: the sound belongs to one stream at a time,
// the first that takes it, until that stream frees it.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "AudioClient.h"
#include "E2eSound.h"
#include "Eventually.h"
#include "VideoClient.h"
#include "app/AudioPipeline.h"
#include "network/TcpAudioServer.h"

namespace quillane::host::test {
namespace {

using namespace std::chrono_literals;

class AudioPipelineTest : public ::testing::Test {
protected:
    void SetUp() override {
        writeToneWav(folder + "/tone.wav", 440.0, 20.0);
        auto audioServer = std::make_shared<TcpAudioServer>(0);
        ASSERT_TRUE(audioServer->start());
        server.set(audioServer);
        ASSERT_TRUE(audio.start());
        ASSERT_TRUE(client.connect(audioServer->port(), 5s));
        ASSERT_TRUE(eventually([&] { return audioServer->isConnected(); }));
    }
    void TearDown() override {
        tone.reset();
        audio.stop();
        if (auto audioServer = server.take()) audioServer->stop();
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    }

    // The stream of the next packet that arrives, if one does.
    std::optional<std::uint8_t> nextStream(std::chrono::milliseconds timeout = 5s) {
        const auto packet = readAudioPacket(client, timeout);
        return packet ? std::optional(packet->streamId()) : std::nullopt;
    }

    const std::string folder = makeTempDir("qh-audio-pipeline-");
    std::unique_ptr<PipedChildProcess> tone;
    Held<TcpAudioServer> server;
    AudioPipeline audio{server};
    VideoClient client;
};

TEST_F(AudioPipelineTest, TheFirstStreamKeepsTheSoundUntilItFreesIt) {
    tone = playWav(folder + "/tone.wav");
    EXPECT_FALSE(nextStream(500ms)) << "no stream, no sound";
    audio.bind(3);
    audio.bind(4);
    audio.unbind(4);  // never had it
    for (int i = 0; i < 10; ++i) ASSERT_EQ(nextStream(), 3) << i;

    audio.unbind(3);
    audio.bind(4);
    // Packets already on their way may still be the first stream's; then only the second's.
    std::optional<std::uint8_t> id = nextStream();
    for (int late = 0; id == 3 && late < 25; ++late) id = nextStream();
    ASSERT_EQ(id, 4);
    for (int i = 0; i < 10; ++i) ASSERT_EQ(nextStream(), 4) << i;
}

}  // namespace
}  // namespace quillane::host::test
