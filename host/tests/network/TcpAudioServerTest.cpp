#include "network/TcpAudioServer.h"

#include "AudioClient.h"
#include "Eventually.h"
#include "LogCapture.h"
#include "VideoClient.h"

#include <gtest/gtest.h>

#include <array>
#include <numeric>

namespace quillane::host::test {
namespace {

using namespace std::chrono_literals;
using test::eventually;
using test::readAudioPacket;
using test::VideoClient;
using Clock = std::chrono::steady_clock;

std::uint32_t nowMs() {
    return static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count());
}

class TcpAudioServerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.start()); }

    void connect(VideoClient& client, test::VideoClientOptions options = {}) {
        const auto accepted = server.getStats().connectionsAccepted;
        ASSERT_TRUE(client.connect(server.port(), 5s, options));
        ASSERT_TRUE(eventually([&] { return server.getStats().connectionsAccepted > accepted; }));
        ASSERT_TRUE(server.isConnected());
    }
    void send(std::uint8_t stream, const std::vector<std::uint8_t>& data) {
        server.sendAudioData(stream, data.data(), data.size());
    }

    test::LogCapture logs;
    TcpAudioServer server{0};
};

TEST_F(TcpAudioServerTest, PacketsCarryTheTwelveByteHeaderAndNumbersGoOnAcrossClients) {
    EXPECT_TRUE(logs.contains("TCP audio server started on port"));
    send(1, {1, 2, 3});  // nobody connected: no number used
    EXPECT_EQ(server.getStats().packetsQueued, 0u);
    VideoClient first;
    connect(first);
    EXPECT_TRUE(logs.contains("TCP audio client connected from 127.0.0.1:"));
    std::vector<std::uint8_t> opus(300);
    std::iota(opus.begin(), opus.end(), std::uint8_t{7});
    const std::uint32_t before = nowMs();
    send(5, {0xAA, 0xBB, 0xCC});
    send(5, opus);
    const std::uint32_t after = nowMs();

    const auto small = readAudioPacket(first, 5s);
    ASSERT_TRUE(small);
    EXPECT_EQ(small->length, 15u);
    EXPECT_EQ((std::vector(small->header.begin(), small->header.begin() + 8)),
              (std::vector<std::uint8_t>{0x01, 0x02, 5, 0x00, 0, 0, 7, 0}));
    EXPECT_LE(small->timestamp() - before, after - before) << "steady-clock milliseconds of the call";
    EXPECT_EQ(small->data, (std::vector<std::uint8_t>{0xAA, 0xBB, 0xCC}));
    const auto large = readAudioPacket(first, 5s);
    ASSERT_TRUE(large);
    EXPECT_EQ((std::array<int, 3>{int(large->length), large->sequence(), large->payloadLength()}),
              (std::array<int, 3>{312, 1, 304}));
    EXPECT_EQ(large->data, opus);
    EXPECT_TRUE(logs.contains(
        "TCP Audio packet #0: length=15 (headerSize=12, dataSize=3), type=2, streamId=5, payloadLength=7"));

    // A second client takes over at once; the first is reset.
    VideoClient second;
    connect(second);
    EXPECT_TRUE(first.waitForClose(5s));
    EXPECT_TRUE(logs.contains("TCP audio: Closing previous client connection"));
    send(6, {9});
    const auto next = readAudioPacket(second, 5s);
    ASSERT_TRUE(next);
    EXPECT_EQ(next->sequence(), 2);
    EXPECT_EQ(next->streamId(), 6);
    EXPECT_EQ(logs.count("TCP Audio packet #"), 3u);
}

// A client that stops reading costs the oldest packets, never the caller's time, and is closed
// after five seconds without progress; the next client gets fresh packets at once.
TEST_F(TcpAudioServerTest, AClientThatStopsReadingStallsNothingAndIsClosedAfterFiveSeconds) {
    VideoClient stalled;
    connect(stalled, {.receiveBufferBytes = 4096});
    const std::vector<std::uint8_t> packet(4000, 0x55);
    auto slowest = Clock::duration::zero();
    std::size_t peakBytes = 0;
    const auto start = Clock::now();
    while (server.isConnected() && Clock::now() - start < 10s) {
        const auto t0 = Clock::now();
        send(1, packet);
        slowest = std::max(slowest, Clock::now() - t0);
        peakBytes = std::max(peakBytes, server.getStats().queuedBytes);
        std::this_thread::sleep_for(2ms);
    }
    const auto closedAfter = Clock::now() - start;
    EXPECT_FALSE(server.isConnected());
    EXPECT_GE(closedAfter, 5s);
    EXPECT_LT(closedAfter, 9s);
    EXPECT_TRUE(logs.contains("TCP audio client took no data for"));
    EXPECT_LT(slowest, 20ms) << "the caller never waits for the client";
    // 20 waiting packets plus at most one write's worth that the socket has taken up.
    EXPECT_LE(peakBytes, 40u * 4016);
    EXPECT_GT(server.getStats().packetsDropped, 0u);
    const auto warnings = logs.count("TCP audio client is not keeping up");
    EXPECT_TRUE(warnings >= 1 && warnings <= 3) << warnings << ", rate-limited";

    VideoClient fresh;
    connect(fresh);
    const auto queued = server.getStats().packetsQueued;
    send(2, {1, 2});
    send(2, {3, 4});
    for (std::uint64_t expected = queued; expected < queued + 2; ++expected) {
        const auto packet = readAudioPacket(fresh, 5s);
        ASSERT_TRUE(packet);
        EXPECT_EQ(packet->sequence(), static_cast<std::uint16_t>(expected));
    }
}

TEST_F(TcpAudioServerTest, StopReturnsPromptlyWhileAClientStalls) {
    VideoClient stalled;
    connect(stalled, {.receiveBufferBytes = 4096});
    const std::vector<std::uint8_t> packet(4000, 0x11);
    for (int i = 0; i < 200; ++i) send(1, packet);
    ASSERT_TRUE(eventually([&] { return server.getStats().packetsDropped > 0; }));
    const auto t0 = Clock::now();
    server.stop();
    EXPECT_LT(Clock::now() - t0, 1s);
    EXPECT_TRUE(logs.contains("TCP audio server stopped"));
    send(1, packet);  // after stop: nothing happens
    EXPECT_FALSE(server.isConnected());
}

}  // namespace
}  // namespace quillane::host::test
