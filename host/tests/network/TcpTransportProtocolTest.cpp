#include "network/FrameDropPolicy.h"
#include "network/VideoPacket.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace quillane::host::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Header bytes on the wire are checked by the server tests; here the clamp's edge.
TEST(TcpTransportPacket, PayloadLengthClampsAt65535WhileLengthStaysExact) {
    const std::pair<std::size_t, std::uint16_t> cases[] = {{0, 8}, {65526, 65534}, {65527, 65535}, {65528, 65535}};
    for (const auto& [size, payloadLength] : cases) {
        EXPECT_EQ(makeVideoPacketHeader(1, 0, 0, false, size).payloadLength, payloadLength) << size;
    }
    std::array<std::uint8_t, kVideoPacketPrefixSize> bytes{};
    writeVideoPacketPrefix(bytes.data(), makeVideoPacketHeader(1, 0, 0, true, 300000), 300000);
    EXPECT_EQ(bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (bytes[3] << 24), 300016);
    EXPECT_EQ(bytes[10], 0xFF);
    EXPECT_EQ(bytes[11], 0xFF);
}

// The drop rules, driven with a synthetic clock.
class TcpTransportDropPolicy : public ::testing::Test {
protected:
    FrameDecision send(std::uint8_t stream, bool key, std::size_t frames, Clock::duration idle = 0ms,
                       std::size_t bytes = 0, std::size_t size = 1000) {
        QueueLoad load{frames, bytes, now - idle};
        return policy.decide(stream, key, size, load, now);
    }

    // A stream that has had its keyframe on this connection.
    void establish(std::uint8_t stream) { ASSERT_EQ(send(stream, true, 0).verdict, FrameVerdict::Send); }

    FrameDropPolicy policy;
    Clock::time_point now = Clock::time_point{} + 1h;
};

TEST_F(TcpTransportDropPolicy, NewConnectionWaitsForAKeyframePerStreamAndRepeatsItsRequest) {
    const auto first = send(1, false, 0);
    EXPECT_EQ(first.verdict, FrameVerdict::DropAwaitingKeyframe);
    EXPECT_TRUE(first.requestKeyframe);
    now += FrameDropPolicy::kKeyframeRequestInterval - 1ms;
    const auto second = send(1, false, 0);
    EXPECT_EQ(second.verdict, FrameVerdict::DropAwaitingKeyframe);
    EXPECT_FALSE(second.requestKeyframe) << "the request is still being served";
    now += 1ms;
    EXPECT_TRUE(send(1, false, 0).requestKeyframe) << "unanswered for the whole interval";
    EXPECT_EQ(send(1, true, 0).verdict, FrameVerdict::Send);
    EXPECT_EQ(send(1, false, 0).verdict, FrameVerdict::Send);
    EXPECT_EQ(send(2, false, 0).verdict, FrameVerdict::DropAwaitingKeyframe) << "streams are independent";
}

TEST_F(TcpTransportDropPolicy, FullQueueDropsDeltaFramesUntilTheStreamsNextKeyframe) {
    establish(1);
    establish(2);
    EXPECT_EQ(send(1, false, 3).verdict, FrameVerdict::Send);
    const auto full = send(1, false, 4);
    EXPECT_EQ(full.verdict, FrameVerdict::DropQueueFull);
    EXPECT_FALSE(full.requestKeyframe) << "no room for a keyframe yet";
    EXPECT_EQ(send(1, true, 4).verdict, FrameVerdict::Send) << "keyframes still go while the queue moves";

    establish(1);
    ASSERT_EQ(send(1, false, 5).verdict, FrameVerdict::DropQueueFull);
    // Drained, but stream 1 lost a reference: its deltas wait for a keyframe, asked for now.
    const auto after = send(1, false, 0);
    EXPECT_EQ(after.verdict, FrameVerdict::DropAwaitingKeyframe);
    EXPECT_TRUE(after.requestKeyframe);
    EXPECT_EQ(send(2, false, 0).verdict, FrameVerdict::Send) << "stream 2 lost nothing";
    EXPECT_EQ(send(1, true, 0).verdict, FrameVerdict::Send);
    EXPECT_EQ(send(1, false, 0).verdict, FrameVerdict::Send);
}

TEST_F(TcpTransportDropPolicy, StallSkipsEverythingAndRequestsOneKeyframe) {
    establish(1);
    EXPECT_EQ(send(1, false, 3, 10s).verdict, FrameVerdict::Send) << "few pending frames are never a stall";
    EXPECT_EQ(send(1, false, 4, 100ms).verdict, FrameVerdict::DropQueueFull) << "100 ms is not yet a stall";
    establish(1);
    const auto stalled = send(1, false, 4, 101ms);
    EXPECT_EQ(stalled.verdict, FrameVerdict::DropStalled);
    EXPECT_TRUE(stalled.requestKeyframe);
    EXPECT_EQ(stalled.stalledFor, 101ms);

    now += 20ms;
    const auto key = send(1, true, 4, 121ms);
    EXPECT_EQ(key.verdict, FrameVerdict::DropStalled);
    EXPECT_FALSE(key.requestKeyframe) << "one request per loss while stuck";

    now += 5s;
    const auto resumed = send(1, false, 0);
    EXPECT_EQ(resumed.verdict, FrameVerdict::DropAwaitingKeyframe);
    EXPECT_TRUE(resumed.requestKeyframe);
    EXPECT_EQ(send(1, true, 0).verdict, FrameVerdict::Send);
}

TEST_F(TcpTransportDropPolicy, StallAfterAFullQueueStillRequestsAKeyframe) {
    establish(1);
    ASSERT_EQ(send(1, false, 4, 50ms).verdict, FrameVerdict::DropQueueFull);
    now += 60ms;
    const auto stalled = send(1, false, 4, 110ms);
    EXPECT_EQ(stalled.verdict, FrameVerdict::DropStalled);
    EXPECT_TRUE(stalled.requestKeyframe);
    now += 1s;
    EXPECT_FALSE(send(1, false, 4, 1110ms).requestKeyframe) << "same stall";
    now += 1s;
    ASSERT_TRUE(send(1, false, 0).requestKeyframe) << "room again: ask for the keyframe that will be sent";
    ASSERT_EQ(send(1, true, 0).verdict, FrameVerdict::Send);
    now += 1s;
    EXPECT_TRUE(send(1, false, 4, 200ms).requestKeyframe) << "a new stall asks again";
}

TEST_F(TcpTransportDropPolicy, HardLimitsBoundTheQueueKeyframesIncluded) {
    establish(1);
    EXPECT_EQ(send(1, true, FrameDropPolicy::kMaxQueuedFrames).verdict, FrameVerdict::DropOverLimit);
    EXPECT_EQ(send(1, false, 0).verdict, FrameVerdict::DropAwaitingKeyframe);
    EXPECT_EQ(send(1, true, 1, 0ms, FrameDropPolicy::kMaxQueuedBytes - 999, 1000).verdict,
              FrameVerdict::DropOverLimit);
    EXPECT_EQ(send(1, true, 1, 0ms, FrameDropPolicy::kMaxQueuedBytes - 1000, 1000).verdict, FrameVerdict::Send);
    // A frame larger than the whole limit still goes out on an empty queue.
    EXPECT_EQ(send(1, true, 0, 0ms, 0, 2 * FrameDropPolicy::kMaxQueuedBytes).verdict, FrameVerdict::Send);
}

}  // namespace
}  // namespace quillane::host::test
