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

std::span<const std::uint8_t> bytesOf(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

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

    LogCapture log;
    FakeSignalingHost host;
    SignalingServer server;
    std::uint16_t port = 0;
};

TEST_F(SignalingAbuseTest, MalformedMessagesLeaveTheSessionOpenUpTo64KiB) {
    SignalingClient client;
    ASSERT_TRUE(client.connect(port));
    for (const char* text : {"{", R"({"type":7})", R"({"type":"stream_start","windowId":"4097"})"}) {
        ASSERT_TRUE(client.sendText(text)) << text;
    }
    ASSERT_TRUE(client.sendBinary(bytesOf("{\"type\":\"\xFF\xFE\"}")));
    EXPECT_TRUE(client.expectSilence(300ms));

    const std::string prefix = R"({"type":"ping","timestamp":3,"pad":")";
    const std::string suffix = R"("})";
    const std::size_t limit = 64 * 1024;
    ASSERT_TRUE(client.sendText(prefix + std::string(limit - prefix.size() - suffix.size(), 'p') + suffix));
    const auto pong = client.waitForType("pong");
    ASSERT_TRUE(pong);
    EXPECT_EQ(pong->at("timestamp"), 3);
    EXPECT_EQ(log.count("Error processing message: "), 4u);

    client.sendText(prefix + std::string(limit + 1 - prefix.size() - suffix.size(), 'p') + suffix);
    EXPECT_TRUE(client.waitForClose());
    EXPECT_TRUE(log.waitFor("WebSocket read failed: "));
    EXPECT_TRUE(eventually([&] { return server.getClientCount() == 0; }));
}

TEST_F(SignalingAbuseTest, FramesThatBreakTheRulesCloseTheirSession) {
    std::vector<std::uint8_t> fragmented;
    for (int i = 0; i < 5; ++i) {
        const auto frame = clientFrame(i == 0 ? kOpText : kOpContinuation, std::string(16 * 1024, 'f'), false);
        fragmented.insert(fragmented.end(), frame.begin(), frame.end());
    }
    auto reserved = clientFrame(kOpText, "{}");
    reserved[0] |= 0x40;  // RSV1 without a negotiated extension
    const std::pair<const char*, std::vector<std::uint8_t>> cases[] = {
        {"fragments adding up to over 64 KiB", fragmented},
        {"a frame declaring 2^63-1 bytes", clientFrameHeader(kOpText, 0x7FFFFFFFFFFFFFFFull)},
        {"an unmasked frame", {0x81, 0x02, '{', '}'}},
        {"a reserved bit", reserved},
        {"text that is not UTF-8", clientFrame(kOpText, "{\"type\":\"\xFF\xFE\"}")},
    };
    for (const auto& [name, bytes] : cases) {
        SCOPED_TRACE(name);
        RawConnection raw;
        ASSERT_TRUE(raw.connect(port));
        ASSERT_TRUE(raw.upgrade(port));
        raw.send(bytes);  // may fail half-way once the server has closed
        EXPECT_TRUE(raw.waitForClose());
    }
    EXPECT_TRUE(eventually([&] { return server.getClientCount() == 0; }));
}

TEST_F(SignalingAbuseTest, AtMost32ClientsAndIdleHandshakesTimeOut) {
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
    EXPECT_TRUE(log.contains("Too many signaling clients (32), closing new connection"));
    // ...and those that never finish the handshake after its time-out.
    EXPECT_TRUE(eventually([&] { return server.getClientCount() == 0; }));
    for (auto& connection : idle) {
        EXPECT_TRUE(connection->waitForClose(3s));
    }

    // Welcomed clients hold their places until they go.
    std::vector<std::unique_ptr<SignalingClient>> clients;
    int welcomed = 0;
    for (int i = 0; i < 40; ++i) {
        auto client = std::make_unique<SignalingClient>();
        welcomed += client->connect(port, 2s) && client->request({{"type", "hello"}}, "welcome", 2s) ? 1 : 0;
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
    for (std::size_t i = 0; i < request.size() - 1 && !cut; ++i) {
        cut = !slow.send(request.substr(i, 1));
        if (i == 5) {
            EXPECT_TRUE(signalingAlive(port));
        }
        cut = cut || slow.waitForClose(100ms);
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
    // Each ping makes a larger pong; past the kernel buffers (a few MiB) the
    // pongs queue until the cap closes the session, long before 1 GiB.
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
                answered += client.request(request, reply) ? 1 : 0;
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
