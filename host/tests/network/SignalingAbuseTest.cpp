// Hostile and broken clients. Each case ends with a liveness probe: a fresh
// client must still be welcomed and answered.
#include <atomic>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "Eventually.h"
#include "LogCapture.h"
#include "SignalingTestClient.h"
#include "SignalingTestHost.h"
#include "network/SignalingServer.h"

namespace quillane::host::test {
namespace {

using nlohmann::json;

class SignalingAbuseTest : public ::testing::Test {
protected:
    explicit SignalingAbuseTest(SignalingServerOptions options = testOptions()) : server(0, options) {}

    void SetUp() override {
        host.windows = {FakeSignalingHost::window(0x1001, "Editor")};
        host.install(server);
        ASSERT_TRUE(server.start());
        port = server.getPort();
    }

    void TearDown() override { EXPECT_TRUE(signalingAlive(port)); }

    // Sends each text and checks that none is answered and the session lives on.
    void expectDroppedQuietly(SignalingClient& client, const std::vector<std::string>& texts) {
        for (const auto& text : texts) {
            ASSERT_TRUE(client.sendText(text)) << text;
        }
        EXPECT_TRUE(client.expectSilence(300ms));
        const auto pong = client.request({{"type", "ping"}, {"timestamp", 77}}, "pong");
        ASSERT_TRUE(pong);
        EXPECT_EQ(pong->at("timestamp"), 77);
    }

    LogCapture log;
    FakeSignalingHost host;
    SignalingServer server;
    std::uint16_t port = 0;
};

TEST_F(SignalingAbuseTest, MalformedJsonAndWrongTypes) {
    SignalingClient client;
    ASSERT_TRUE(client.connect(port));
    expectDroppedQuietly(client, {
                                     "",
                                     "{",
                                     "not json at all",
                                     R"({"type":"hello",})",
                                     R"({"type":"ping"} trailing)",
                                     "// comment\n{\"type\":\"ping\"}",
                                     R"([{"type":"ping"}])",
                                     R"("ping")",
                                     "null",
                                     "42",
                                     R"({"type":7})",
                                     R"({"type":null})",
                                     R"({"type":["ping"]})",
                                     R"({"type":{"type":"ping"}})",
                                     R"({"type":"stream_start","windowId":"4097"})",
                                     R"({"type":"stream_start","windowId":[4097]})",
                                     R"({"type":"stream_stop","streamId":null})",
                                     R"({"type":"request_keyframe","streamId":{}})",
                                     R"({"type":"window_resize","windowId":4097,"width":800,"height":"600"})",
                                     R"({"type":"ping","timestamp":"now"})",
                                     std::string("{\"type\":\"pi\0ng\"}", 16),
                                     std::string(10000, '['),
                                 });
    EXPECT_GE(log.count("Error processing message: "), 18u);
    std::lock_guard lock(host.mutex);
    EXPECT_TRUE(host.starts.empty());
    EXPECT_TRUE(host.stops.empty());
    EXPECT_TRUE(host.keyframes.empty());
    EXPECT_TRUE(host.resizes.empty());
}

TEST_F(SignalingAbuseTest, InvalidUtf8IsAMalformedBinaryMessageAndEndsATextOne) {
    SignalingClient client;
    ASSERT_TRUE(client.connect(port));
    const std::string bad = "{\"type\":\"\xFF\xFE\"}";
    ASSERT_TRUE(client.sendBinary(std::span(reinterpret_cast<const std::uint8_t*>(bad.data()), bad.size())));
    EXPECT_TRUE(client.expectSilence(200ms));
    EXPECT_TRUE(log.contains("Error processing message: "));
    ASSERT_TRUE(client.request({{"type", "ping"}}, "pong"));
    // WebSocket text must be UTF-8: such a frame fails the connection.
    client.sendText(bad);
    EXPECT_TRUE(client.waitForClose());
}

TEST_F(SignalingAbuseTest, OutOfRangeNumbersAreMalformedMessages) {
    SignalingClient client;
    ASSERT_TRUE(client.connect(port));
    expectDroppedQuietly(client, {
                                     R"({"type":"stream_start","windowId":1e300})",
                                     R"({"type":"stream_start","windowId":-1})",
                                     R"({"type":"stream_start","windowId":4294967296})",
                                     R"({"type":"stream_start","windowId":18446744073709551615})",
                                     R"({"type":"stream_start","windowId":1e400})",
                                     R"({"type":"stream_stop","streamId":2147483648})",
                                     R"({"type":"stream_stop","streamId":-1e19})",
                                     R"({"type":"request_keyframe","streamId":9223372036854775807})",
                                     R"({"type":"window_resize","windowId":4097,"width":-5,"height":10})",
                                     R"({"type":"window_resize","windowId":4097,"width":10,"height":5e9})",
                                     R"({"type":"ping","timestamp":-9223372036854775808})",
                                     R"({"type":"ping","timestamp":-1e308})",
                                 });
    EXPECT_GE(log.count("is out of range"), 11u);
    std::lock_guard lock(host.mutex);
    EXPECT_TRUE(host.starts.empty());
    EXPECT_TRUE(host.stops.empty());
    EXPECT_TRUE(host.keyframes.empty());
}

TEST_F(SignalingAbuseTest, AOneMebibyteUnknownTypeClosesTheSession) {
    SignalingClient client;
    ASSERT_TRUE(client.connect(port));
    const std::string huge = R"({"type":")" + std::string(1 << 20, 'x') + R"("})";
    client.sendText(huge);  // may fail half-way once the server has closed
    EXPECT_TRUE(client.waitForClose());
    EXPECT_TRUE(log.waitFor("WebSocket read failed: "));
    EXPECT_TRUE(eventually([&] { return server.getClientCount() == 0; }));
}

TEST_F(SignalingAbuseTest, ALongUnknownTypeIsLoggedCutAndEscaped) {
    SignalingClient client;
    ASSERT_TRUE(client.connect(port));
    const std::string type = "\\u001b[2J" + std::string(60000, 'y');
    expectDroppedQuietly(client, {R"({"type":")" + type + R"("})"});
    const auto lines = log.matching("Unknown message type: ");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_LT(lines[0].text.size(), 200u);
    EXPECT_EQ(lines[0].text.rfind("Unknown message type: '\\x1b[2Jyyy", 0), 0u) << lines[0].text;
    EXPECT_NE(lines[0].text.find("... (60004 bytes)'"), std::string::npos) << lines[0].text;
    EXPECT_EQ(lines[0].text.find('\x1b'), std::string::npos);
}

TEST_F(SignalingAbuseTest, MessagesUpTo64KiBAreReadAndLargerOnesCloseTheSession) {
    SignalingClient client;
    ASSERT_TRUE(client.connect(port));
    const std::string prefix = R"({"type":"ping","timestamp":3,"pad":")";
    const std::string suffix = R"("})";
    const std::size_t limit = 64 * 1024;
    ASSERT_TRUE(client.sendText(prefix + std::string(limit - prefix.size() - suffix.size(), 'p') + suffix));
    const auto pong = client.waitForType("pong");
    ASSERT_TRUE(pong);
    EXPECT_EQ(pong->at("timestamp"), 3);

    client.sendText(prefix + std::string(limit + 1 - prefix.size() - suffix.size(), 'p') + suffix);
    EXPECT_TRUE(client.waitForClose());
    EXPECT_TRUE(log.waitFor("WebSocket read failed: "));
}

TEST_F(SignalingAbuseTest, AFragmentedMessageOver64KiBClosesTheSession) {
    RawConnection raw;
    ASSERT_TRUE(raw.connect(port));
    ASSERT_TRUE(raw.upgrade(port));
    const std::string chunk(16 * 1024, 'f');
    bool first = true;
    for (int i = 0; i < 5 && raw.send(clientFrame(first ? kOpText : kOpContinuation, chunk, false)); ++i) {
        first = false;
    }
    EXPECT_TRUE(raw.waitForClose());
}

TEST_F(SignalingAbuseTest, AFrameDeclaringAnEnormousLengthClosesTheSession) {
    RawConnection raw;
    ASSERT_TRUE(raw.connect(port));
    ASSERT_TRUE(raw.upgrade(port));
    ASSERT_TRUE(raw.send(clientFrameHeader(kOpText, 0x7FFFFFFFFFFFFFFFull)));
    EXPECT_TRUE(raw.waitForClose());
}

TEST_F(SignalingAbuseTest, UnmaskedAndReservedFramesCloseTheSession) {
    RawConnection unmasked;
    ASSERT_TRUE(unmasked.connect(port));
    ASSERT_TRUE(unmasked.upgrade(port));
    ASSERT_TRUE(unmasked.send(std::string("\x81\x02{}", 4)));
    EXPECT_TRUE(unmasked.waitForClose());

    RawConnection reserved;
    ASSERT_TRUE(reserved.connect(port));
    ASSERT_TRUE(reserved.upgrade(port));
    auto frame = clientFrame(kOpText, "{}");
    frame[0] |= 0x40;  // RSV1 without a negotiated extension
    ASSERT_TRUE(reserved.send(frame));
    EXPECT_TRUE(reserved.waitForClose());
}

TEST_F(SignalingAbuseTest, HundredIdleConnectionsKeepAtMost32AndTimeOutTheirHandshakes) {
    std::vector<std::unique_ptr<RawConnection>> idle;
    for (int i = 0; i < 100; ++i) {
        idle.push_back(std::make_unique<RawConnection>());
        ASSERT_TRUE(idle.back()->connect(port)) << i;
    }
    // Connections beyond the limit are closed right after accept...
    int closed = 0;
    for (auto& connection : idle) {
        closed += connection->waitForClose(20ms) ? 1 : 0;
    }
    EXPECT_GE(closed, 68);
    EXPECT_LE(server.getClientCount(), 32u);
    // ...and those that never finish the handshake are closed after its time-out.
    EXPECT_TRUE(eventually([&] { return server.getClientCount() == 0; }));
    for (auto& connection : idle) {
        EXPECT_TRUE(connection->waitForClose(3s));
    }
    EXPECT_TRUE(log.contains("Too many signaling clients (32), closing new connection"));
}

TEST_F(SignalingAbuseTest, HundredIdleWebSocketClientsLeaveRoomOnceTheyGo) {
    std::vector<std::unique_ptr<SignalingClient>> clients;
    int welcomed = 0;
    for (int i = 0; i < 100; ++i) {
        auto client = std::make_unique<SignalingClient>();
        if (client->connect(port, 2s) && client->request({{"type", "hello"}}, "welcome", 2s)) {
            ++welcomed;
        }
        clients.push_back(std::move(client));
    }
    EXPECT_EQ(welcomed, 32);
    EXPECT_EQ(server.getClientCount(), 32u);
    clients.clear();
    EXPECT_TRUE(eventually([&] { return server.getClientCount() == 0; }));
}

TEST_F(SignalingAbuseTest, ASlowHandshakeDoesNotHoldUpOthersAndIsCutOff) {
    RawConnection slow;
    ASSERT_TRUE(slow.connect(port));
    const std::string request = webSocketUpgradeRequest(port);
    const auto started = std::chrono::steady_clock::now();
    bool cut = false;
    for (std::size_t i = 0; i < request.size() - 1; ++i) {
        if (!slow.send(request.substr(i, 1))) {
            cut = true;
            break;
        }
        if (i == 5) {
            EXPECT_TRUE(signalingAlive(port));
        }
        if (slow.waitForClose(100ms)) {
            cut = true;
            break;
        }
    }
    EXPECT_TRUE(cut);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
    EXPECT_TRUE(log.waitFor("WebSocket accept failed: "));
}

class SignalingQueueCapTest : public SignalingAbuseTest {
protected:
    static SignalingServerOptions cappedOptions() {
        SignalingServerOptions options = testOptions();
        options.limits.maxQueuedBytes = 256 * 1024;
        return options;
    }
    SignalingQueueCapTest() : SignalingAbuseTest(cappedOptions()) {}
};

TEST_F(SignalingQueueCapTest, AClientThatSendsPingsAndNeverReadsIsClosedAtTheQueueCap) {
    RawConnection greedy;
    ASSERT_TRUE(greedy.connect(port, 5s, 4096));
    ASSERT_TRUE(greedy.upgrade(port));
    std::vector<std::uint8_t> batch;
    for (int i = 0; i < 500; ++i) {
        const auto frame = clientFrame(kOpText, R"({"type":"ping"})");
        batch.insert(batch.end(), frame.begin(), frame.end());
    }
    // Each small ping makes a larger pong. The kernel buffers take a few MiB
    // at most; beyond them the answers wait in the session's queue until its
    // cap closes the session, so the sends fail well before 1 GiB of pongs.
    bool closedByServer = false;
    for (int i = 0; i < 70'000 && !closedByServer; ++i) {
        closedByServer = !greedy.send(batch, 30s);
    }
    EXPECT_TRUE(closedByServer);
    EXPECT_TRUE(log.waitFor("Closing signaling client 127.0.0.1: more than 262144 bytes waiting to be sent"));
    EXPECT_TRUE(eventually([&] { return server.getClientCount() == 0; }));
}

TEST_F(SignalingAbuseTest, ConnectThenResetChurn) {
    for (int i = 0; i < 150; ++i) {
        RawConnection bare;
        ASSERT_TRUE(bare.connect(port));
        bare.reset();

        RawConnection partial;
        ASSERT_TRUE(partial.connect(port));
        ASSERT_TRUE(partial.send(webSocketUpgradeRequest(port).substr(0, 30)));
        partial.reset();

        if (i % 5 == 0) {
            SignalingClient upgraded;
            ASSERT_TRUE(upgraded.connect(port));
            ASSERT_TRUE(upgraded.sendJson({{"type", "window_list_request"}}));
            upgraded.reset();
        }
    }
    EXPECT_TRUE(eventually([&] { return server.getClientCount() == 0; }));
}

TEST_F(SignalingAbuseTest, ThreeHundredStartsWithStream1RunningNeverHandOut1) {
    SignalingClient client;
    ASSERT_TRUE(client.connect(port));
    const auto first = client.request({{"type", "stream_start"}, {"windowId", 0x1001}}, "stream_started");
    ASSERT_TRUE(first);
    ASSERT_EQ(first->at("streamId"), 1);
    // Every later start fails in the owner, so only stream 1 keeps running.
    host.startSucceeds = false;
    for (int i = 0; i < 300; ++i) {
        const auto error = client.request({{"type", "stream_subscribe"}, {"windowId", 0x1001}}, "error");
        ASSERT_TRUE(error) << i;
    }
    std::vector<FakeSignalingHost::StartCall> calls;
    {
        std::lock_guard lock(host.mutex);
        calls = host.starts;
    }
    ASSERT_EQ(calls.size(), 301u);
    for (std::size_t i = 1; i < calls.size(); ++i) {
        EXPECT_NE(calls[i].streamId, 1) << i;
    }
    // Without collisions the ids run on as the counter says: 2..255, 0, 2, ...
    EXPECT_EQ(calls[1].streamId, 2);
    EXPECT_EQ(calls[254].streamId, 255);
    EXPECT_EQ(calls[255].streamId, 0);
    EXPECT_EQ(calls[256].streamId, 2);

    // Once it stops, 1 is handed out again in its turn.
    host.startSucceeds = true;
    ASSERT_TRUE(client.request({{"type", "stream_stop"}, {"streamId", 1}}, "stream_stopped"));
    std::set<int> seen;
    for (int i = 0; i < 256; ++i) {
        const auto started = client.request({{"type", "stream_start"}, {"windowId", 0x1001}}, "stream_started");
        ASSERT_TRUE(started) << i;
        EXPECT_TRUE(seen.insert(started->at("streamId").get<int>()).second);
    }
    EXPECT_TRUE(seen.count(1));
    // Now all 256 run: the next start finds no free id.
    EXPECT_TRUE(client.request({{"type", "stream_start"}, {"windowId", 0x1001}}, "error"));
}

TEST_F(SignalingAbuseTest, RequestsFromManyClientsAtOnceWhileTheMainLoopPolls) {
    std::atomic<bool> polling{true};
    std::thread mainLoop([&] {
        while (polling) {
            server.poll();
            std::this_thread::sleep_for(1ms);
        }
    });
    std::vector<std::thread> clients;
    std::atomic<int> answered{0};
    for (int c = 0; c < 8; ++c) {
        clients.emplace_back([&, c] {
            SignalingClient client;
            if (!client.connect(port)) {
                return;
            }
            for (int i = 0; i < 50; ++i) {
                const json request = (i % 3 == 0)   ? json{{"type", "window_list_request"}}
                                     : (i % 3 == 1) ? json{{"type", "stream_start"}, {"windowId", 0x1001}}
                                                    : json{{"type", "ping"}, {"timestamp", c * 1000 + i}};
                const char* reply = (i % 3 == 0) ? "window_list" : (i % 3 == 1) ? "stream_started" : "pong";
                if (client.request(request, reply)) {
                    ++answered;
                }
            }
        });
    }
    for (auto& thread : clients) {
        thread.join();
    }
    polling = false;
    mainLoop.join();
    EXPECT_EQ(answered, 8 * 50);
    std::lock_guard lock(host.mutex);
    std::set<int> ids;
    for (const auto& call : host.starts) {
        ids.insert(call.streamId);
    }
    EXPECT_EQ(ids.size(), host.starts.size());  // no id handed out twice
}

}  // namespace
}  // namespace quillane::host::test
