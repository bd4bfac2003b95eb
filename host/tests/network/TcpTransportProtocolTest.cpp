#include "network/FrameDropPolicy.h"
#include "network/VideoPacket.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace quillane::host {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::array<std::uint8_t, kVideoPacketPrefixSize> prefixFor(const VideoPacketHeader& header, std::size_t payload) {
    std::array<std::uint8_t, kVideoPacketPrefixSize> out{};
    writeVideoPacketPrefix(out.data(), header, payload);
    return out;
}

TEST(TcpTransportPacket, KeyframeHeaderBytes) {
    const auto header = makeVideoPacketHeader(7, 0x1234, 0xAABBCCDD, true, 100);
    const std::array<std::uint8_t, 20> expected{116, 0, 0, 0, 0x01, 0x01, 7, 0x01, 0x34, 0x12, 108, 0,
                                                0xDD, 0xCC, 0xBB, 0xAA, 1, 0x00, 0x01, 0x00};
    EXPECT_EQ(prefixFor(header, 100), expected);
}

TEST(TcpTransportPacket, DeltaFrameCarriesFrameType3) {
    const auto bytes = prefixFor(makeVideoPacketHeader(255, 65535, 0, false, 0), 0);
    const std::array<std::uint8_t, 20> expected{16, 0, 0, 0, 0x01, 0x01, 255, 0x01, 0xFF, 0xFF, 8, 0,
                                                0, 0, 0, 0, 3, 0x00, 0x01, 0x00};
    EXPECT_EQ(bytes, expected);
}

TEST(TcpTransportPacket, PayloadLengthClampsWhileLengthStaysExact) {
    EXPECT_EQ(makeVideoPacketHeader(1, 0, 0, false, 65526).payloadLength, 65534);
    EXPECT_EQ(makeVideoPacketHeader(1, 0, 0, false, 65527).payloadLength, 65535);
    EXPECT_EQ(makeVideoPacketHeader(1, 0, 0, false, 65528).payloadLength, 65535);
    EXPECT_EQ(makeVideoPacketHeader(1, 0, 0, false, 300000).payloadLength, 65535);

    const auto bytes = prefixFor(makeVideoPacketHeader(1, 0, 0, true, 300000), 300000);
    const std::uint32_t length = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (bytes[3] << 24);
    EXPECT_EQ(length, 300016u);
    EXPECT_EQ(bytes[10], 0xFF);
    EXPECT_EQ(bytes[11], 0xFF);
}

TEST(TcpTransportMessages, InputRecordFields) {
    const std::vector<std::uint8_t> body{3, 9, 1, 4, 0xEE, 0x34, 0x12, 0xFF, 0xFF, 2, 0x0A, 0x88, 0xFF};
    const auto message = decodeClientMessage(body);
    ASSERT_TRUE(std::holds_alternative<ClientInput>(message));
    const auto& input = std::get<ClientInput>(message);
    EXPECT_EQ(input.streamId, 9);
    EXPECT_EQ(input.deviceType, 1);
    EXPECT_EQ(input.action, 4);
    EXPECT_EQ(input.x, 0x1234);
    EXPECT_EQ(input.y, 0xFFFF);
    EXPECT_EQ(input.code, 2);
    EXPECT_EQ(input.modifiers, 0x0A);
    EXPECT_EQ(input.wheelDelta, -120);
}

TEST(TcpTransportMessages, FeedbackRecordFields) {
    const std::vector<std::uint8_t> body{4, 1, 2, 3, 4, 5, 6, 7, 8, 31, 0, 0x2C, 0x01};
    const auto message = decodeClientMessage(body);
    ASSERT_TRUE(std::holds_alternative<ClientFeedback>(message));
    const auto& feedback = std::get<ClientFeedback>(message);
    EXPECT_EQ(feedback.decodeTimeMs, 31);
    EXPECT_EQ(feedback.rttMs, 300);
    EXPECT_EQ(feedback.reserved[0], 1);
    EXPECT_EQ(feedback.reserved[7], 8);
}

TEST(TcpTransportMessages, ShortBodiesAndUnknownTypesCarryNothing) {
    EXPECT_TRUE(std::holds_alternative<std::monostate>(decodeClientMessage({})));
    const std::vector<std::uint8_t> shortInput(12, 0);
    std::vector<std::uint8_t> input12 = shortInput;
    input12[0] = 3;
    EXPECT_TRUE(std::holds_alternative<std::monostate>(decodeClientMessage(input12)));
    std::vector<std::uint8_t> feedback12 = shortInput;
    feedback12[0] = 4;
    EXPECT_TRUE(std::holds_alternative<std::monostate>(decodeClientMessage(feedback12)));
    EXPECT_TRUE(std::holds_alternative<std::monostate>(decodeClientMessage(std::vector<std::uint8_t>{16})));
    const std::vector<std::uint8_t> unknown{5, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13};
    EXPECT_TRUE(std::holds_alternative<std::monostate>(decodeClientMessage(unknown)));
}

TEST(TcpTransportMessages, TrailingBytesAreIgnored) {
    std::vector<std::uint8_t> body{3, 9, 2, 1, 0, 10, 0, 20, 0, 65, 1, 0, 0};
    const auto exact = std::get<ClientInput>(decodeClientMessage(body));
    body.resize(20, 0xAB);
    const auto longer = std::get<ClientInput>(decodeClientMessage(body));
    EXPECT_EQ(longer.x, exact.x);
    EXPECT_EQ(longer.y, exact.y);
    EXPECT_EQ(longer.code, 65);
    EXPECT_EQ(longer.wheelDelta, 0);

    const std::vector<std::uint8_t> keyframe{16, 42, 0xFF, 0xFF};
    EXPECT_EQ(std::get<KeyframeRequest>(decodeClientMessage(keyframe)).streamId, 42);
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

TEST_F(TcpTransportDropPolicy, NewConnectionWaitsForAKeyframePerStream) {
    auto first = send(1, false, 0);
    EXPECT_EQ(first.verdict, FrameVerdict::DropAwaitingKeyframe);
    EXPECT_TRUE(first.requestKeyframe);
    now += 100ms;
    auto second = send(1, false, 0);
    EXPECT_EQ(second.verdict, FrameVerdict::DropAwaitingKeyframe);
    EXPECT_FALSE(second.requestKeyframe) << "the request is still being served";
    EXPECT_EQ(send(1, true, 0).verdict, FrameVerdict::Send);
    EXPECT_EQ(send(1, false, 0).verdict, FrameVerdict::Send);
    EXPECT_EQ(send(2, false, 0).verdict, FrameVerdict::DropAwaitingKeyframe) << "streams are independent";
}

TEST_F(TcpTransportDropPolicy, UnansweredKeyframeRequestIsRepeatedAfterTheInterval) {
    ASSERT_TRUE(send(1, false, 0).requestKeyframe);
    now += FrameDropPolicy::kKeyframeRequestInterval - 1ms;
    EXPECT_FALSE(send(1, false, 0).requestKeyframe);
    now += 1ms;
    EXPECT_TRUE(send(1, false, 0).requestKeyframe);
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
    // The queue drained, but stream 1 lost a reference: its deltas wait for a keyframe, which is
    // asked for now that it can be sent.
    const auto after = send(1, false, 0);
    EXPECT_EQ(after.verdict, FrameVerdict::DropAwaitingKeyframe);
    EXPECT_TRUE(after.requestKeyframe);
    EXPECT_EQ(send(2, false, 0).verdict, FrameVerdict::Send) << "stream 2 lost nothing";
    EXPECT_EQ(send(1, true, 0).verdict, FrameVerdict::Send);
    EXPECT_EQ(send(1, false, 0).verdict, FrameVerdict::Send);
}

TEST_F(TcpTransportDropPolicy, StallSkipsEverythingAndRequestsOneKeyframe) {
    establish(1);
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

TEST_F(TcpTransportDropPolicy, FewPendingFramesNeverCountAsAStall) {
    establish(1);
    EXPECT_EQ(send(1, false, 3, 10s).verdict, FrameVerdict::Send);
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
}  // namespace quillane::host
