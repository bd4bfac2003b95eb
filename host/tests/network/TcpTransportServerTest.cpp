#include "network/TcpTransportServer.h"

#include "TransportTestSupport.h"
#include "LogCapture.h"
#include "ProcessResources.h"
#include "VideoClient.h"

#include <gtest/gtest.h>

#include <deque>

namespace quillane::host {
namespace {

using namespace std::chrono_literals;
using test::VideoClient;
using test::waitUntil;

// Collects what the server hands to its callbacks, from whichever thread it calls them on.
class Recorder {
public:
    void install(TcpTransportServer& server) {
        server.setClientFeedbackCallback([this](const ClientFeedback& f) { push(feedback_, f); });
        server.setClientInputCallback([this](const ClientInput& i) { push(inputs_, i); });
        server.setKeyframeRequestCallback([this](std::uint8_t stream) {
            {
                std::lock_guard lock(mutex_);
                keyframeThreads_.push_back(std::this_thread::get_id());
            }
            push(keyframes_, stream);
        });
    }

    bool waitForKeyframeRequests(std::size_t count, std::chrono::milliseconds timeout = 5s) {
        return wait([&] { return keyframes_.size() >= count; }, timeout);
    }
    bool waitForFeedback(std::size_t count, std::chrono::milliseconds timeout = 5s) {
        return wait([&] { return feedback_.size() >= count; }, timeout);
    }

    std::vector<std::uint8_t> keyframes() { return copy(keyframes_); }
    std::vector<ClientFeedback> feedback() { return copy(feedback_); }
    std::vector<ClientInput> inputs() { return copy(inputs_); }
    std::vector<std::thread::id> keyframeThreads() { return copy(keyframeThreads_); }

private:
    template <class T>
    void push(std::vector<T>& list, const T& value) {
        {
            std::lock_guard lock(mutex_);
            list.push_back(value);
        }
        changed_.notify_all();
    }
    template <class T>
    std::vector<T> copy(const std::vector<T>& list) {
        std::lock_guard lock(mutex_);
        return list;
    }
    bool wait(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, done);
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<ClientFeedback> feedback_;
    std::vector<ClientInput> inputs_;
    std::vector<std::uint8_t> keyframes_;
    std::vector<std::thread::id> keyframeThreads_;
};

class TcpTransportServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        recorder.install(server);
        ASSERT_TRUE(server.start());
        ASSERT_NE(server.getPort(), 0);
    }

    // Connects a client and waits until the server has made it its current one.
    void connect(VideoClient& client, test::VideoClientOptions options = {}) {
        const auto accepted = server.getStats().connectionsAccepted;
        ASSERT_TRUE(client.connect(server.getPort(), 5s, options));
        ASSERT_TRUE(waitUntil([&] { return server.getStats().connectionsAccepted > accepted; }));
        ASSERT_TRUE(server.isConnected());
    }

    void sendFrame(std::uint8_t stream, const std::vector<std::uint8_t>& payload, bool key) {
        server.sendVideoFrame(stream, payload.data(), payload.size(), key);
    }

    test::LogCapture logs;
    Recorder recorder;
    TcpTransportServer server{0};
};

TEST_F(TcpTransportServerTest, FramesArriveWithTheirExactHeaderAndPayload) {
    VideoClient client;
    connect(client);
    std::vector<std::uint8_t> payload(1000);
    for (std::size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<std::uint8_t>(i * 7);
    }
    const std::uint32_t before = TcpTransportServer::getTimestamp90kHz();
    sendFrame(3, payload, true);
    const std::uint32_t after = TcpTransportServer::getTimestamp90kHz();
    sendFrame(3, {0x42, 0x43}, false);

    auto key = client.readPacket(5s);
    ASSERT_TRUE(key);
    EXPECT_EQ(key->length, 1016u);
    const std::uint16_t sequence = key->sequence();
    EXPECT_EQ(key->header[0], 0x01);
    EXPECT_EQ(key->header[1], 0x01);
    EXPECT_EQ(key->header[2], 3);
    EXPECT_EQ(key->header[3], 0x01);
    EXPECT_EQ(key->payloadLength(), 1008);
    EXPECT_EQ(key->frameType(), 1);
    EXPECT_EQ(key->header[13], 0x00);
    EXPECT_EQ(key->header[14], 0x01);
    EXPECT_EQ(key->header[15], 0x00);
    EXPECT_LE(key->timestamp() - before, after - before) << "stamped while the call ran, in 90 kHz ticks";
    EXPECT_EQ(key->payload, payload);

    auto delta = client.readPacket(5s);
    ASSERT_TRUE(delta);
    EXPECT_EQ(delta->length, 18u);
    EXPECT_EQ(delta->sequence(), static_cast<std::uint16_t>(sequence + 1));
    EXPECT_EQ(delta->frameType(), 3);
    EXPECT_EQ(delta->payloadLength(), 10);
    EXPECT_EQ(delta->payload, (std::vector<std::uint8_t>{0x42, 0x43}));
}

TEST_F(TcpTransportServerTest, LargeFrameClampsPayloadLengthButKeepsExactLength) {
    VideoClient client;
    connect(client);
    const auto payload = test::makeFrame(1, 0, true, 70000);
    sendFrame(1, payload, true);
    auto packet = client.readPacket(5s);
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->length, 70016u);
    EXPECT_EQ(packet->payloadLength(), 65535);
    EXPECT_EQ(packet->payload, payload);
}

TEST_F(TcpTransportServerTest, FramesWithoutClientUseNoSequenceNumberAndNumbersGoOnAcrossClients) {
    sendFrame(1, {1, 2, 3}, true);
    sendFrame(1, {1, 2, 3}, false);
    EXPECT_EQ(server.getStats().framesQueued, 0u);
    EXPECT_FALSE(server.isConnected());

    std::uint16_t last = 0;
    {
        VideoClient first;
        connect(first);
        sendFrame(1, {9}, true);
        auto packet = first.readPacket(5s);
        ASSERT_TRUE(packet);
        last = packet->sequence();
        EXPECT_EQ(server.getStats().framesQueued, static_cast<std::uint64_t>(last) + 1)
            << "numbering starts at 0 with the first frame sent";
        first.close();
    }
    ASSERT_TRUE(waitUntil([&] { return !server.isConnected(); }));
    EXPECT_TRUE(waitUntil([&] { return logs.contains("TCP client disconnected:"); }));
    sendFrame(1, {7}, true);  // nobody there: no number used

    VideoClient second;
    ASSERT_TRUE(second.connect(server.getPort()));
    ASSERT_TRUE(waitUntil([&] { return server.isConnected(); }));
    sendFrame(1, {8}, true);
    auto packet = second.readPacket(5s);
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->sequence(), static_cast<std::uint16_t>(last + 1));
    EXPECT_EQ(packet->payload, std::vector<std::uint8_t>{8});
}

TEST_F(TcpTransportServerTest, SequenceWrapsAt65536AndStaysConsecutive) {
    VideoClient client;
    connect(client);
    const std::uint64_t target = 65540;
    std::atomic<bool> reading{true};
    test::StreamContinuity continuity;
    std::size_t wraps = 0;
    std::thread reader([&] {
        std::uint16_t previous = 0;
        bool first = true;
        while (reading || continuity.packets() < server.getStats().framesQueued) {
            auto packet = client.readPacket(2s);
            if (!packet) {
                break;
            }
            if (!first && packet->sequence() < previous) {
                ++wraps;
            }
            first = false;
            previous = packet->sequence();
            continuity.add(*packet);
        }
    });
    std::uint32_t index = 0;
    while (server.getStats().framesQueued < target) {
        // Keyframes only, so dropped frames (the reader may lag) leave no gap in any stream.
        const auto frame = test::makeFrame(5, index++, true, 8);
        sendFrame(5, frame, true);
    }
    reading = false;
    reader.join();
    EXPECT_EQ(wraps, 1u);
    EXPECT_TRUE(continuity.errors().empty()) << continuity.errors().front();
    EXPECT_EQ(continuity.packets(), target) << "every queued frame arrives";
}

TEST_F(TcpTransportServerTest, NewClientGetsAKeyframeFirstForEachStream) {
    VideoClient client;
    connect(client);
    sendFrame(4, {1}, false);  // stream 4 has sent no keyframe to this client yet
    ASSERT_TRUE(recorder.waitForKeyframeRequests(1));
    EXPECT_EQ(recorder.keyframes(), std::vector<std::uint8_t>{4});
    EXPECT_NE(recorder.keyframeThreads().front(), std::this_thread::get_id())
        << "requests reach the owner from the I/O context, not from inside the sender";
    sendFrame(4, {2}, false);
    sendFrame(4, {3}, true);
    sendFrame(4, {4}, false);
    auto key = client.readPacket(5s);
    ASSERT_TRUE(key);
    EXPECT_EQ(key->payload, std::vector<std::uint8_t>{3});
    EXPECT_TRUE(key->isKeyframe());
    auto delta = client.readPacket(5s);
    ASSERT_TRUE(delta);
    EXPECT_EQ(delta->payload, std::vector<std::uint8_t>{4});
    EXPECT_EQ(delta->sequence(), static_cast<std::uint16_t>(key->sequence() + 1));
    EXPECT_EQ(server.getStats().framesDropped, 2u);
}

TEST_F(TcpTransportServerTest, ClientMessagesReachTheCallbacks) {
    VideoClient client;
    connect(client);
    ASSERT_TRUE(client.sendFeedback(31, 300, {1, 2, 3, 4, 5, 6, 7, 8}));
    test::VideoInputRecord input;
    input.streamId = 2;
    input.deviceType = 1;
    input.action = 4;
    input.x = 32768;
    input.y = 65535;
    input.code = 3;
    input.modifiers = 5;
    input.wheelDelta = -240;
    ASSERT_TRUE(client.sendInput(input));
    ASSERT_TRUE(client.sendKeyframeRequest(9));

    ASSERT_TRUE(recorder.waitForKeyframeRequests(1));
    ASSERT_EQ(recorder.feedback().size(), 1u);
    const ClientFeedback feedback = recorder.feedback()[0];
    EXPECT_EQ(feedback.decodeTimeMs, 31);
    EXPECT_EQ(feedback.rttMs, 300);
    EXPECT_EQ(feedback.reserved[0], 1);
    EXPECT_EQ(feedback.reserved[7], 8);
    ASSERT_EQ(recorder.inputs().size(), 1u);
    const ClientInput received = recorder.inputs()[0];
    EXPECT_EQ(received.streamId, 2);
    EXPECT_EQ(received.deviceType, 1);
    EXPECT_EQ(received.action, 4);
    EXPECT_EQ(received.x, 32768);
    EXPECT_EQ(received.y, 65535);
    EXPECT_EQ(received.code, 3);
    EXPECT_EQ(received.modifiers, 5);
    EXPECT_EQ(received.wheelDelta, -240);
    EXPECT_EQ(recorder.keyframes(), std::vector<std::uint8_t>{9});
}

TEST_F(TcpTransportServerTest, MalformedMessagesAreSkippedAndReadingGoesOn) {
    VideoClient client;
    connect(client);
    auto shortInput = test::inputBody({});
    shortInput.resize(12);
    auto longInput = test::inputBody({.streamId = 7, .x = 100});
    longInput.resize(20, 0xAB);
    ASSERT_TRUE(client.sendMessage({}));                                       // length 0
    ASSERT_TRUE(client.sendMessage(shortInput));                               // type 3, 12 bytes
    ASSERT_TRUE(client.sendMessage(std::vector<std::uint8_t>{16}));            // type 16, 1 byte
    ASSERT_TRUE(client.sendMessage(std::vector<std::uint8_t>{99, 1, 2, 3}));  // unknown type
    ASSERT_TRUE(client.sendMessage(longInput));                                // handled as 13 bytes
    ASSERT_TRUE(client.sendKeyframeRequest(77));                               // marks the end

    ASSERT_TRUE(recorder.waitForKeyframeRequests(1));
    EXPECT_EQ(recorder.keyframes(), std::vector<std::uint8_t>{77});
    ASSERT_EQ(recorder.inputs().size(), 1u);
    EXPECT_EQ(recorder.inputs()[0].streamId, 7);
    EXPECT_EQ(recorder.inputs()[0].x, 100);
    EXPECT_EQ(recorder.inputs()[0].wheelDelta, 0) << "bytes past the record are not read";
    EXPECT_TRUE(recorder.feedback().empty());
}

TEST_F(TcpTransportServerTest, MessageAtTheLengthLimitIsRead) {
    VideoClient client;
    connect(client);
    auto body = test::feedbackBody(12, 34);
    body.resize(4 * 1024 * 1024, 0x5A);
    ASSERT_TRUE(client.sendMessage(body));
    ASSERT_TRUE(recorder.waitForFeedback(1, 20s));
    EXPECT_EQ(recorder.feedback()[0].decodeTimeMs, 12);
    EXPECT_EQ(recorder.feedback()[0].rttMs, 34);
}

TEST_F(TcpTransportServerTest, OversizedMessageEndsReadingButVideoKeepsFlowing) {
    VideoClient client;
    connect(client);
    const std::vector<std::uint8_t> tooLong{0x01, 0x00, 0x40, 0x00};  // 4,194,305
    ASSERT_TRUE(client.sendRaw(tooLong));
    ASSERT_TRUE(waitUntil([&] { return logs.contains("TCP message too large: 4194305 bytes"); }));
    ASSERT_TRUE(client.sendKeyframeRequest(3));
    ASSERT_TRUE(client.sendFeedback(1, 1));

    sendFrame(6, {6, 6}, true);
    auto packet = client.readPacket(5s);
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->streamId(), 6);
    EXPECT_TRUE(server.isConnected());
    // Nothing more is read from this client; a short wait shows that nothing slips through.
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(recorder.keyframes().empty());
    EXPECT_TRUE(recorder.feedback().empty());
}

TEST_F(TcpTransportServerTest, NewClientReplacesThePreviousOne) {
    VideoClient first;
    connect(first);
    VideoClient second;
    connect(second);
    EXPECT_TRUE(first.waitForClose(5s)) << "the replaced client is reset";
    EXPECT_TRUE(waitUntil([&] { return logs.contains("Closing existing TCP client connection"); }));
    EXPECT_TRUE(waitUntil([&] { return logs.contains("TCP client disconnected:"); }));
    EXPECT_EQ(logs.count("TCP client connected from 127.0.0.1:"), 2u);

    EXPECT_TRUE(server.isConnected());
    sendFrame(1, {1}, true);
    auto packet = second.readPacket(5s);
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->payload, std::vector<std::uint8_t>{1});
    ASSERT_TRUE(second.sendKeyframeRequest(12));
    ASSERT_TRUE(recorder.waitForKeyframeRequests(1));
    EXPECT_EQ(recorder.keyframes(), std::vector<std::uint8_t>{12});
}

TEST_F(TcpTransportServerTest, DepartedClientIsClearedAndFramesStop) {
    VideoClient client;
    connect(client);
    client.close();
    ASSERT_TRUE(waitUntil([&] { return !server.isConnected(); }));
    const auto queued = server.getStats().framesQueued;
    sendFrame(1, {1}, true);
    sendFrame(1, {2}, false);
    EXPECT_EQ(server.getStats().framesQueued, queued);
    EXPECT_EQ(server.getStats().framesDropped, 0u) << "with nobody connected nothing counts as dropped";
}

TEST_F(TcpTransportServerTest, SecondServerOnTheSamePortFailsToStart) {
    TcpTransportServer other(server.getPort());
    EXPECT_FALSE(other.start());
    EXPECT_TRUE(logs.contains("Failed to start TCP transport:"));
    EXPECT_FALSE(other.isConnected());
    other.stop();  // harmless when it never ran
}

TEST(TcpTransportServerTuning, ClientThatTakesNoDataIsClosedAfterTheWriteTimeout) {
    test::LogCapture logs;
    TcpTransportServer server(0, TransportTuning{.writeStallTimeout = 600ms});
    ASSERT_TRUE(server.start());
    VideoClient client;
    ASSERT_TRUE(client.connect(server.getPort(), 5s, {.receiveBufferBytes = 4096}));
    ASSERT_TRUE(waitUntil([&] { return server.isConnected(); }));

    const auto frame = test::makeFrame(1, 0, true, 200 * 1024);
    const bool closed = waitUntil(
        [&] {
            server.sendVideoFrame(1, frame.data(), frame.size(), true);
            return !server.isConnected();
        },
        10s);
    EXPECT_TRUE(closed);
    EXPECT_TRUE(logs.contains("closing its connection"));
    EXPECT_TRUE(client.waitForClose(10s));
}

TEST(TcpTransportServerLifecycle, StartAndStopRepeatWithoutLeaks) {
    TcpTransportServer server(0);
    std::optional<std::size_t> descriptors;
    std::optional<std::size_t> threads;
    for (int round = 0; round < 15; ++round) {
        ASSERT_TRUE(server.start());
        ASSERT_TRUE(server.start()) << "starting twice is harmless";
        VideoClient client;
        ASSERT_TRUE(client.connect(server.getPort()));
        ASSERT_TRUE(waitUntil([&] { return server.isConnected(); }));
        const std::vector<std::uint8_t> frame{static_cast<std::uint8_t>(round)};
        server.sendVideoFrame(1, frame.data(), frame.size(), true);
        ASSERT_TRUE(client.readPacket(5s));
        const auto before = std::chrono::steady_clock::now();
        server.stop();
        EXPECT_LT(std::chrono::steady_clock::now() - before, 2s) << "stop is prompt";
        EXPECT_FALSE(server.isConnected());
        EXPECT_TRUE(client.waitForClose(5s));
        client.close();
        if (round == 2) {
            descriptors = test::openDescriptorCount();
            threads = test::threadCount();
        } else if (round > 2) {
            EXPECT_EQ(test::threadCount(), threads);
            EXPECT_EQ(test::openDescriptorCount(), descriptors);
        }
    }
}

}  // namespace
}  // namespace quillane::host
