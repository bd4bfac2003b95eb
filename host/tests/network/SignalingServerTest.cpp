// The signalling server on the wire, with well-behaved and hostile clients.
// Each case ends with a liveness probe: a fresh client is still welcomed.
#include <atomic>
#include <set>
#include <stdexcept>
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

// The welcome advertises the configured media ports.
constexpr const char* kWelcome =
    R"({"audioPort":10945,"hostName":"Quillane Host","hostVersion":"1.1.9","inputPort":10946,)"
    R"("protocol":"tcp","requiresAuth":false,"supportedCodecs":["h264"],"type":"welcome","videoPort":10944})";

SignalingServerOptions configuredPorts() {
    SignalingServerOptions options = testOptions();
    options.videoPort = 10944;
    options.audioPort = 10945;
    options.inputPort = 10946;
    return options;
}

class SignalingServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        host.windows = {FakeSignalingHost::window(0x1001, "Editor"), FakeSignalingHost::window(0xABCDEF01, "Browser")};
        host.install(server);
        ASSERT_TRUE(server.start());
        port = server.port();
        ASSERT_NE(port, 0);
    }

    void TearDown() override { EXPECT_TRUE(signalingAlive(port)); }

    std::unique_ptr<SignalingClient> connect() {
        auto client = std::make_unique<SignalingClient>();
        EXPECT_TRUE(client->connect(port));
        return client;
    }

    std::vector<std::string> connectedAddresses() {
        std::lock_guard lock(host.mutex);
        return host.connected;
    }

    LogCapture log;
    FakeSignalingHost host;
    SignalingServer server{0, configuredPorts()};
    std::uint16_t port = 0;
};

TEST_F(SignalingServerTest, AnswersGoOutExactlyAndInTheOrderOfTheRequests) {
    {
        std::lock_guard lock(host.mutex);
        host.windows[0].iconBase64 = "iVBORw0KGgoAAAANSUhEUg==";
        host.windows[1].x = -300;
        host.windows[1].y = -8;
        host.windows[1].isMaximized = true;
    }
    auto client = connect();
    ASSERT_TRUE(eventually([&] { return server.getClientCount() == 1; }));
    EXPECT_TRUE(client->expectSilence(100ms));
    EXPECT_TRUE(connectedAddresses().empty()) << "a connection alone is not reported";
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(client->sendText(R"({"type":"hello","clientName":"Headset","version":"2"})"));
        EXPECT_EQ(client->receive(), kWelcome);
    }
    EXPECT_EQ(connectedAddresses(), std::vector<std::string>(3, "127.0.0.1"));
    EXPECT_TRUE(log.contains("Received hello from client at 127.0.0.1"));
    EXPECT_TRUE(log.contains(std::string("Sending welcome message: ") + kWelcome));

    ASSERT_TRUE(client->sendText(R"({"type":"window_list_request"})"));
    EXPECT_EQ(client->receive(),
              R"({"type":"window_list","windows":[)"
              R"({"className":"AppWindow","height":480,"iconBase64":"iVBORw0KGgoAAAANSUhEUg==","id":4097,)"
              R"("isMaximized":false,"isMinimized":false,"isVisible":true,"processName":"app",)"
              R"("title":"Editor","width":640,"x":10,"y":20},)"
              R"({"className":"AppWindow","height":480,"iconBase64":"","id":2882400001,)"
              R"("isMaximized":true,"isMinimized":false,"isVisible":true,"processName":"app",)"
              R"("title":"Browser","width":640,"x":-300,"y":-8}]})");

    // Binary messages are read as text.
    const std::string ping = R"({"type":"ping","timestamp":-1})";
    ASSERT_TRUE(client->sendBinary(std::span(reinterpret_cast<const std::uint8_t*>(ping.data()), ping.size())));
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(client->sendJson({{"type", "ping"}, {"timestamp", i}}));
    }
    EXPECT_EQ(client->receive(), R"({"timestamp":-1,"type":"pong"})");
    for (int i = 0; i < 200; ++i) {
        const auto pong = client->receiveJson();
        ASSERT_TRUE(pong);
        ASSERT_EQ(pong->at("timestamp"), i);
    }
}

TEST_F(SignalingServerTest, StreamConfigReachesEveryOpenClientButNoneInItsHandshake) {
    auto a = connect();
    auto b = connect();
    // Both handshakes are complete once each has had an answer.
    ASSERT_TRUE(a->request({{"type", "ping"}}, "pong"));
    ASSERT_TRUE(b->request({{"type", "ping"}}, "pong"));
    RawConnection handshaking;
    ASSERT_TRUE(handshaking.connect(port));
    ASSERT_TRUE(eventually([&] { return server.getClientCount() == 3; }));
    StreamConfigMessage config;
    config.type = "not written";
    config.windowId = 0x1001;
    config.streamId = 1;
    config.width = 1280;
    config.height = 720;
    config.codec = "video/avc";
    config.sps = "Z2QAH6zZQFAFuwFqAgICgAAAAwCAAAAeB4wYyw==";
    config.pps = "aOvjyyLA";
    config.targetBitrate = 20000;
    config.targetFps = 60;
    server.sendStreamConfig(config);
    ASSERT_TRUE(handshaking.upgrade(port));
    const std::string expected =
        R"({"codec":"video/avc","height":720,"pps":"aOvjyyLA","sps":"Z2QAH6zZQFAFuwFqAgICgAAAAwCAAAAeB4wYyw==",)"
        R"("streamId":1,"targetBitrate":20000,"targetFps":60,"type":"stream_config","width":1280,"windowId":4097})";
    EXPECT_EQ(a->receive(), expected);
    EXPECT_EQ(b->receive(), expected);
    EXPECT_TRUE(log.contains("Sending stream_config: streamId=1, 1280x720, codec=video/avc, sps=40B, pps=8B"));

    ASSERT_TRUE(handshaking.send(clientFrame(kOpText, R"({"type":"ping","timestamp":1})")));
    // The first frame after the upgrade is the pong: an unmasked text frame.
    const std::string frame = handshaking.readSome();
    ASSERT_GE(frame.size(), 2u);
    EXPECT_EQ(frame.substr(2), R"({"timestamp":1,"type":"pong"})");
}

TEST_F(SignalingServerTest, ClientCountFollowsConnectionsAndTheirEnds) {
    auto a = connect();
    auto b = connect();
    ASSERT_TRUE(eventually([&] { return server.getClientCount() == 2; }));
    a->close();
    ASSERT_TRUE(eventually([&] { return server.getClientCount() == 1; }));
    EXPECT_TRUE(log.waitFor("Client disconnected"));
    b->reset();
    ASSERT_TRUE(eventually([&] { return server.getClientCount() == 0; }));
    EXPECT_TRUE(log.waitFor("WebSocket read failed: "));

    RawConnection plainHttp;
    ASSERT_TRUE(plainHttp.connect(port));
    ASSERT_TRUE(plainHttp.send("GET / HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_TRUE(plainHttp.waitForClose());
    EXPECT_TRUE(log.waitFor("WebSocket accept failed: "));
    EXPECT_TRUE(eventually([&] { return server.getClientCount() == 0; }));
}

TEST_F(SignalingServerTest, MalformedMessagesLeaveTheSessionOpenUpTo64KiB) {
    SignalingClient client;
    ASSERT_TRUE(client.connect(port));
    for (const char* text : {"{", R"({"type":7})", R"({"type":"stream_start","windowId":"4097"})"}) {
        ASSERT_TRUE(client.sendText(text)) << text;
    }
    const std::string notUtf8 = "{\"type\":\"\xFF\xFE\"}";
    ASSERT_TRUE(client.sendBinary(std::span(reinterpret_cast<const std::uint8_t*>(notUtf8.data()), notUtf8.size())));
    EXPECT_TRUE(client.expectSilence(300ms));

    const std::string prefix = R"({"type":"ping","timestamp":3,"pad":")";
    const std::string suffix = R"("})";
    const std::size_t limit = 64 * 1024;
    ASSERT_TRUE(client.sendText(prefix + std::string(limit - prefix.size() - suffix.size(), 'p') + suffix));
    const auto pong = client.waitForType("pong");
    ASSERT_TRUE(pong);
    EXPECT_EQ(pong->at("timestamp"), 3);
    // One line for the session's four: the first, the rest held back.
    EXPECT_EQ(log.count("Error processing message: "), 1u);

    client.sendText(prefix + std::string(limit + 1 - prefix.size() - suffix.size(), 'p') + suffix);
    EXPECT_TRUE(client.waitForClose());
    EXPECT_TRUE(log.waitFor("WebSocket read failed: "));
    EXPECT_TRUE(eventually([&] { return server.getClientCount() == 0; }));
}

TEST_F(SignalingServerTest, NumbersAreReadByTheirLow32BitsAndWrongTypesGetNoAnswer) {
    auto client = connect();
    for (const auto& [timestamp, answer] : std::vector<std::pair<std::string, std::string>>{
             {"4294967297", "1"}, {"1.5", "1"}, {"true", "1"}, {"-1.9", "-1"}, {"2147483648", "-2147483648"}}) {
        ASSERT_TRUE(client->sendText(R"({"type":"ping","timestamp":)" + timestamp + "}"));
        EXPECT_EQ(client->receive(), R"({"timestamp":)" + answer + R"(,"type":"pong"})") << timestamp;
    }
    // A string, again and again: no answer, one line.
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(client->sendText(R"({"type":"ping","timestamp":"12:00"})"));
    EXPECT_TRUE(client->expectSilence(300ms));
    EXPECT_EQ(log.count("Error processing message: "), 1u);
    // Window -1 is window 4294967295, which is not listed.
    ASSERT_TRUE(client->sendText(R"({"type":"stream_start","windowId":-1})"));
    EXPECT_EQ(client->receive(), R"({"code":1001,"message":"Failed to start stream","type":"error"})");
    EXPECT_TRUE(log.contains("Refusing stream for window ffffffff: not in the window list"));
    // A float beyond the field is refused, as C++ cannot convert it.
    ASSERT_TRUE(client->sendText(R"({"type":"ping","timestamp":1e10})"));
    EXPECT_TRUE(client->expectSilence(300ms));
    std::lock_guard lock(host.mutex);
    EXPECT_TRUE(host.starts.empty());
}

TEST_F(SignalingServerTest, FramesThatBreakTheRulesCloseTheirSession) {
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

// The loopback address 127.0.0.n, standing for the n-th machine on the network.
std::string machine(int n) {
    return "127.0.0." + std::to_string(n);
}

TEST_F(SignalingServerTest, AtMost32ClientsFourPerAddressAndIdleHandshakesTimeOut) {
    // 32 idle connections from one address take four places; a second address still connects.
    std::vector<std::unique_ptr<RawConnection>> idle;
    for (int i = 0; i < 32; ++i) {
        idle.push_back(std::make_unique<RawConnection>());
        ASSERT_TRUE(idle.back()->connect(port)) << i;
    }
    int closed = 0;
    for (auto& connection : idle) {
        closed += connection->waitForClose(20ms) ? 1 : 0;
    }
    EXPECT_EQ(closed, 28);
    EXPECT_EQ(server.getClientCount(), 4u);
    EXPECT_TRUE(log.contains("Too many signaling clients from 127.0.0.1 (4), closing new connection"));
    SignalingClient other(machine(2));
    ASSERT_TRUE(other.connect(port));
    EXPECT_TRUE(other.request({{"type", "hello"}}, "welcome"));
    other.close();

    // From many addresses: connections beyond 32 are closed right after accept...
    for (int i = 0; i < 100; ++i) {
        idle.push_back(std::make_unique<RawConnection>(machine(10 + i / 4)));
        ASSERT_TRUE(idle.back()->connect(port)) << i;
    }
    closed = 0;
    for (auto it = idle.begin() + 32; it != idle.end(); ++it) {
        closed += (*it)->waitForClose(20ms) ? 1 : 0;
    }
    EXPECT_GE(closed, 72);
    EXPECT_LE(server.getClientCount(), 32u);
    EXPECT_TRUE(log.contains("Too many signaling clients (32), closing new connection"));
    // ...and those that never finish the handshake after its time-out.
    EXPECT_TRUE(eventually([&] { return server.getClientCount() == 0; }));
    for (auto& connection : idle) {
        EXPECT_TRUE(connection->waitForClose(3s));
    }

    // Welcomed clients hold their places while they answer.
    std::vector<std::unique_ptr<SignalingClient>> clients;
    int welcomed = 0;
    for (int i = 0; i < 40; ++i) {
        auto client = std::make_unique<SignalingClient>(machine(10 + i / 4));
        welcomed += client->connect(port, 2s) && client->request({{"type", "hello"}}, "welcome", 2s) ? 1 : 0;
        clients.push_back(std::move(client));
    }
    EXPECT_EQ(welcomed, 32);
    EXPECT_EQ(server.getClientCount(), 32u);
    clients.clear();
    EXPECT_TRUE(eventually([&] { return server.getClientCount() == 0; }));
}

TEST(SignalingKeepAlive, SilentClientsArePingedAndClosedThoseThatAnswerStay) {
    LogCapture log;
    std::atomic<int> secondsLater{0};
    SignalingServerOptions options = testOptions();
    options.limits.keepAliveCheckInterval = 5ms;
    options.limits.clock = [&] { return std::chrono::steady_clock::now() + std::chrono::seconds(secondsLater); };
    SignalingServer server(0, options);
    ASSERT_TRUE(server.start());
    const auto port = server.port();
    RawConnection silent;
    ASSERT_TRUE(silent.connect(port));
    ASSERT_TRUE(silent.upgrade(port));
    SignalingClient answering;
    ASSERT_TRUE(answering.connect(port));
    ASSERT_TRUE(eventually([&] { return server.getClientCount() == 2; }));

    secondsLater = 14;
    EXPECT_EQ(silent.readSome(100ms), "") << "no ping before 15 s of silence";
    secondsLater = 16;
    EXPECT_EQ(silent.readSome(), std::string("\x89\x00", 2)) << "an empty ping";
    EXPECT_TRUE(answering.expectSilence(100ms));  // reads, and so answers the ping
    secondsLater = 44;
    EXPECT_FALSE(silent.waitForClose(100ms));
    secondsLater = 46;
    EXPECT_TRUE(silent.waitForClose());
    EXPECT_TRUE(log.waitFor("Closing signaling client 127.0.0.1: nothing heard for 4"));
    EXPECT_TRUE(answering.request({{"type", "ping"}, {"timestamp", 1}}, "pong"));
    EXPECT_EQ(server.getClientCount(), 1u);
    EXPECT_TRUE(signalingAlive(port));
}

TEST(SignalingServerLife, StopClosesEverythingEvenWhenAHandlerOutlastsItsWait) {
    LogCapture log;
    SignalingServerOptions options = testOptions();
    options.limits.stopDrainTimeout = 50ms;
    SignalingServer server(0, options);
    FakeSignalingHost host;
    host.windows = {FakeSignalingHost::window(0x1001, "Editor")};
    host.install(server);
    std::atomic<bool> entered{false};
    server.setStreamRequestCallback([&](std::uint32_t, std::uint8_t) {
        entered = true;
        std::this_thread::sleep_for(300ms);
        return true;
    });
    ASSERT_TRUE(server.start());
    const auto port = server.port();
    SignalingClient client;
    ASSERT_TRUE(client.connect(port));
    ASSERT_TRUE(client.sendJson({{"type", "stream_start"}, {"windowId", 0x1001}}));
    ASSERT_TRUE(eventually([&] { return entered.load(); }));
    server.stop();
    EXPECT_TRUE(log.contains("Signaling server I/O did not finish in time; stopping it"));
    EXPECT_TRUE(client.waitForClose(1s));
    EXPECT_EQ(server.getClientCount(), 0u);
    RawConnection late;
    EXPECT_FALSE(late.connect(port, 500ms)) << "the listening socket is closed";
    ASSERT_TRUE(server.start());
    EXPECT_TRUE(signalingAlive(server.port()));
}

// A page in a browser sends its Origin with the handshake and the host's client is never a page:
// such handshakes get 403 and no session, one log line per machine; without an Origin, or with one
// that names no page, the client is welcomed as before.
TEST_F(SignalingServerTest, HandshakesFromWebPagesGet403AndNoSessionOthersAreWelcomed) {
    const auto answerTo = [&](const std::string& origin, const std::string& from) {
        std::string request = webSocketUpgradeRequest(port);
        request.insert(request.size() - 2, "Origin: " + origin + "\r\n");
        RawConnection page(from);
        std::string answer;
        if (!page.connect(port) || !page.send(request)) return answer;
        while (answer.find("\r\n\r\n") == std::string::npos) {
            const std::string more = page.readSome(2s);
            if (more.empty()) break;
            answer += more;
        }
        return answer;
    };
    for (const char* origin : {"http://pages.example", "https://pages.example:8443", "file://", "null",
                               "HTTP://PAGES.EXAMPLE"}) {
        const std::string answer = answerTo(origin, "127.0.0.1");
        EXPECT_EQ(answer.substr(0, 13), "HTTP/1.1 403 ") << origin << ": " << answer;
    }
    EXPECT_EQ(answerTo("http://pages.example", machine(2)).substr(0, 13), "HTTP/1.1 403 ");
    EXPECT_TRUE(eventually([&] { return server.getClientCount() == 0; }));
    EXPECT_FALSE(log.contains("Client connected"));
    EXPECT_EQ(log.count("Refused a WebSocket handshake from 127.0.0.1: its Origin \"http://pages.example\" is a web page"),
              1u);
    EXPECT_EQ(log.count("Refused a WebSocket handshake from 127.0.0.1"), 1u);
    EXPECT_EQ(log.count("Refused a WebSocket handshake from " + machine(2)), 1u);

    EXPECT_EQ(answerTo("android-app://com.example.headset", "127.0.0.1").substr(0, 13), "HTTP/1.1 101 ");
    SignalingClient client;
    ASSERT_TRUE(client.connect(port));
    EXPECT_TRUE(client.request({{"type", "hello"}}, "welcome"));
    EXPECT_EQ(connectedAddresses(), std::vector<std::string>{"127.0.0.1"});
}

TEST(SignalingServerLife, AServerStoppedFromItsOwnHandlerClosesItsClientsAndStartsAgain) {
    LogCapture log;
    SignalingServer server(0, testOptions());
    FakeSignalingHost host;
    host.windows = {FakeSignalingHost::window(0x1001, "Editor")};
    host.install(server);
    std::atomic<bool> stopped{false};
    server.setStreamRequestCallback([&](std::uint32_t, std::uint8_t) {
        server.stop();  // on the I/O thread, which must not wait for itself
        stopped = true;
        return true;
    });
    ASSERT_TRUE(server.start());
    SignalingClient client;
    ASSERT_TRUE(client.connect(server.port()));
    ASSERT_TRUE(client.sendJson({{"type", "stream_start"}, {"windowId", 0x1001}}));
    ASSERT_TRUE(eventually([&] { return stopped.load(); }));
    EXPECT_TRUE(client.waitForClose(5s));
    EXPECT_TRUE(log.contains("Signaling server stopped"));
    EXPECT_FALSE(log.contains("did not finish in time"));
    EXPECT_FALSE(log.contains("Error while stopping"));
    ASSERT_TRUE(server.start());
    EXPECT_TRUE(signalingAlive(server.port()));
    server.stop();
}

TEST(SignalingServerLife, AHandlerThatThrowsClosesItsSessionAndServingGoesOn) {
    LogCapture log;
    SignalingServerOptions options = testOptions();
    options.beforeMessage = [](const std::string& text) {
        if (text == "throw") throw std::runtime_error("a handler's failure");
    };
    SignalingServer server(0, options);
    ASSERT_TRUE(server.start());
    const auto port = server.port();
    SignalingClient bystander;
    ASSERT_TRUE(bystander.connect(port));
    ASSERT_TRUE(bystander.request({{"type", "ping"}}, "pong"));

    SignalingClient thrower;
    ASSERT_TRUE(thrower.connect(port));
    ASSERT_TRUE(thrower.sendText("throw"));
    EXPECT_TRUE(thrower.waitForClose());
    EXPECT_TRUE(log.waitFor("Closing signaling client 127.0.0.1: its handler failed: a handler's failure"));
    EXPECT_TRUE(eventually([&] { return server.getClientCount() == 1; }));
    // Handlers run on the main loop's poll too.
    SignalingClient polled;
    ASSERT_TRUE(polled.connect(port));
    ASSERT_TRUE(polled.sendText("throw"));
    for (int i = 0; i < 250 && !polled.waitForClose(20ms); ++i) server.poll();
    EXPECT_TRUE(eventually([&] { return log.count("its handler failed") == 2; }));

    EXPECT_TRUE(bystander.request({{"type", "ping"}}, "pong"));
    EXPECT_TRUE(signalingAlive(port));
}

TEST_F(SignalingServerTest, ASlowHandshakeDoesNotHoldUpOthersAndIsCutOff) {
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

TEST_F(SignalingServerTest, AClientThatSendsPingsAndNeverReadsIsClosedAtTheQueueCap) {
    SignalingServerOptions options = testOptions();
    options.limits.maxQueuedBytes = 256 * 1024;
    SignalingServer capped(0, options);
    ASSERT_TRUE(capped.start());
    RawConnection greedy;
    ASSERT_TRUE(greedy.connect(capped.port(), 5s, 4096));
    ASSERT_TRUE(greedy.upgrade(capped.port()));
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
    EXPECT_TRUE(eventually([&] { return capped.getClientCount() == 0; }));
}

TEST_F(SignalingServerTest, ConnectThenResetChurn) {
    for (int i = 0; i < 150; ++i) {
        RawConnection bare;
        ASSERT_TRUE(bare.connect(port));
        bare.reset();

        RawConnection partial;
        ASSERT_TRUE(partial.connect(port));
        ASSERT_TRUE(partial.send(webSocketUpgradeRequest(port).substr(0, 30)));
        partial.reset();

        if (i % 5 == 0) {
            // Reset connections leave shortly; only four from one address are let in at once.
            ASSERT_TRUE(eventually([&] { return server.getClientCount() == 0; }));
            SignalingClient upgraded;
            ASSERT_TRUE(upgraded.connect(port));
            ASSERT_TRUE(upgraded.sendJson({{"type", "window_list_request"}}));
            upgraded.reset();
        }
    }
    EXPECT_TRUE(eventually([&] { return server.getClientCount() == 0; }));
}

TEST_F(SignalingServerTest, RequestsFromManyClientsAtOnceWhileTheMainLoopPolls) {
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
            SignalingClient client(machine(2 + c));
            if (!client.connect(port)) {
                return;
            }
            const std::pair<nlohmann::json, const char*> requests[] = {
                {{{"type", "window_list_request"}}, "window_list"},
                {{{"type", "stream_start"}, {"windowId", 0x1001}}, "stream_started"},
                {{{"type", "ping"}, {"timestamp", c}}, "pong"},
            };
            // Eight starts each: as many streams as one client may run.
            for (int i = 0; i < 24; ++i) {
                answered += client.request(requests[i % 3].first, requests[i % 3].second) ? 1 : 0;
            }
        });
    }
    for (auto& thread : clients) {
        thread.join();
    }
    // Stopping while a client is open and the main loop polls closes the client; the server starts again.
    SignalingClient welcomed;
    ASSERT_TRUE(welcomed.connect(port));
    ASSERT_TRUE(welcomed.request({{"type", "hello"}}, "welcome"));
    server.stop();
    EXPECT_TRUE(welcomed.waitForClose(2s));
    polling = false;
    mainLoop.join();
    ASSERT_TRUE(server.start());
    port = server.port();
    EXPECT_EQ(answered, 8 * 24);
    std::lock_guard lock(host.mutex);
    std::set<int> ids;
    for (const auto& call : host.starts) {
        ids.insert(call.streamId);
    }
    EXPECT_EQ(ids.size(), host.starts.size());  // no id handed out twice
}

TEST(SignalingServerLife, StartFailsWhenThePortIsTaken) {
    LogCapture log;
    SignalingServer first(0);
    ASSERT_TRUE(first.start());
    SignalingServer second(first.port());
    EXPECT_FALSE(second.start());
    EXPECT_TRUE(log.contains("Failed to start signaling server: "));
    EXPECT_EQ(second.port(), 0);
    EXPECT_TRUE(signalingAlive(first.port()));
}

}  // namespace
}  // namespace quillane::host::test
