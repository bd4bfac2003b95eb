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

constexpr const char* kDefaultWelcome =
    R"({"audioPort":9945,"hostName":"Quillane Host","hostVersion":"1.1.9","inputPort":9946,)"
    R"("protocol":"tcp","requiresAuth":false,"supportedCodecs":["h264"],"type":"welcome","videoPort":9944})";

class SignalingServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        host.windows = {FakeSignalingHost::window(0x1001, "Editor"), FakeSignalingHost::window(0xABCDEF01, "Browser")};
        host.install(server);
        ASSERT_TRUE(server.start());
        port = server.getPort();
        ASSERT_NE(port, 0);
    }

    std::unique_ptr<SignalingClient> connect() {
        auto client = std::make_unique<SignalingClient>();
        EXPECT_TRUE(client->connect(port));
        return client;
    }

    std::vector<FakeSignalingHost::StartCall> starts() {
        std::lock_guard lock(host.mutex);
        return host.starts;
    }

    LogCapture log;
    FakeSignalingHost host;
    SignalingServer server{0, testOptions()};
    std::uint16_t port = 0;
};

TEST_F(SignalingServerTest, HelloIsAnsweredWithTheExactWelcomeAndReported) {
    auto client = connect();
    ASSERT_TRUE(client->sendText(R"({"type":"hello","clientName":"Headset","version":"2"})"));
    EXPECT_EQ(client->receive(), kDefaultWelcome);
    std::lock_guard lock(host.mutex);
    EXPECT_EQ(host.connected, std::vector<std::string>{"127.0.0.1"});
    EXPECT_TRUE(log.contains("Received hello from client at 127.0.0.1"));
    EXPECT_TRUE(log.contains(std::string("Sending welcome message: ") + kDefaultWelcome));
}

TEST_F(SignalingServerTest, EveryHelloIsReportedOnce) {
    auto client = connect();
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(client->request({{"type", "hello"}}, "welcome"));
    }
    std::lock_guard lock(host.mutex);
    EXPECT_EQ(host.connected.size(), 3u);
}

TEST_F(SignalingServerTest, ConnectionWithoutHelloIsCountedButNotReported) {
    auto client = connect();
    ASSERT_TRUE(eventually([&] { return server.getClientCount() == 1; }));
    EXPECT_TRUE(client->expectSilence(200ms));
    std::lock_guard lock(host.mutex);
    EXPECT_TRUE(host.connected.empty());
}

TEST(SignalingServerPorts, WelcomeAdvertisesTheConfiguredMediaPorts) {
    SignalingServerOptions options;
    options.videoPort = 10944;
    options.audioPort = 10945;
    options.inputPort = 10946;
    SignalingServer server(0, options);
    ASSERT_TRUE(server.start());
    SignalingClient client;
    ASSERT_TRUE(client.connect(server.getPort()));
    ASSERT_TRUE(client.sendText(R"({"type":"hello"})"));
    EXPECT_EQ(client.receive(),
              R"({"audioPort":10945,"hostName":"Quillane Host","hostVersion":"1.1.9","inputPort":10946,)"
              R"("protocol":"tcp","requiresAuth":false,"supportedCodecs":["h264"],"type":"welcome","videoPort":10944})");
}

TEST_F(SignalingServerTest, WindowListCarriesTheOwnersWindows) {
    host.windows[0].iconBase64 = "iVBORw0KGgoAAAANSUhEUg==";
    host.windows[1].x = -300;
    server.setWindowListCallback([this] {
        std::lock_guard lock(host.mutex);
        return host.windows;
    });
    auto client = connect();
    ASSERT_TRUE(client->sendText(R"({"type":"window_list_request"})"));
    const auto text = client->receive();
    ASSERT_TRUE(text);
    EXPECT_EQ(*text, R"({"type":"window_list","windows":[)"
                     R"({"className":"AppWindow","height":480,"iconBase64":"iVBORw0KGgoAAAANSUhEUg==","id":4097,)"
                     R"("isMaximized":false,"isMinimized":false,"isVisible":true,"processName":"app",)"
                     R"("title":"Editor","width":640,"x":10,"y":20},)"
                     R"({"className":"AppWindow","height":480,"iconBase64":"","id":2882400001,)"
                     R"("isMaximized":false,"isMinimized":false,"isVisible":true,"processName":"app",)"
                     R"("title":"Browser","width":640,"x":-300,"y":20}]})");
}

TEST_F(SignalingServerTest, WindowListIsEmptyWithoutAProvider) {
    server.setWindowListCallback({});
    auto client = connect();
    ASSERT_TRUE(client->sendText(R"({"type":"window_list_request"})"));
    EXPECT_EQ(client->receive(), R"({"type":"window_list","windows":[]})");
}

TEST_F(SignalingServerTest, AWindowTitleThatIsNotUtf8TravelsWithReplacementCharacters) {
    server.setWindowListCallback([] {
        return std::vector<protocol::WindowInfo>{FakeSignalingHost::window(1, "Caf\xE9 \xC3"),
                                                 FakeSignalingHost::window(2, "Plain")};
    });
    auto client = connect();
    const auto list = client->request({{"type", "window_list_request"}}, "window_list");
    ASSERT_TRUE(list);
    ASSERT_EQ(list->at("windows").size(), 2u);
    EXPECT_EQ(list->at("windows")[0].at("title"), "Caf\xEF\xBF\xBD \xEF\xBF\xBD");
    EXPECT_EQ(list->at("windows")[1].at("title"), "Plain");
}

TEST_F(SignalingServerTest, RepeatedWindowListRequestsAreAnsweredFromACachedList) {
    auto client = connect();
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(client->request({{"type", "window_list_request"}}, "window_list"));
    }
    {
        std::lock_guard lock(host.mutex);
        EXPECT_LE(host.windowListCalls, 2);  // at most one more if the test crossed the cache age
        host.windows.push_back(FakeSignalingHost::window(0x2002, "New"));
    }
    std::this_thread::sleep_for(testOptions().limits.windowListCacheAge + 50ms);
    const auto list = client->request({{"type", "window_list_request"}}, "window_list");
    ASSERT_TRUE(list);
    EXPECT_EQ(list->at("windows").size(), 3u);
}

TEST_F(SignalingServerTest, StreamStartAndItsAliasHandOutConsecutiveIds) {
    auto client = connect();
    const auto first = client->request({{"type", "stream_start"}, {"windowId", 0x1001}}, "stream_started");
    ASSERT_TRUE(first);
    EXPECT_EQ(first->dump(),
              R"({"codec":"h264","height":0,"streamId":1,"type":"stream_started","width":0,"windowId":4097})");
    const auto second =
        client->request({{"type", "stream_subscribe"}, {"windowId", 0xABCDEF01u}}, "stream_started");
    ASSERT_TRUE(second);
    EXPECT_EQ(second->at("streamId"), 2);
    EXPECT_EQ(second->at("windowId"), 0xABCDEF01u);
    const auto calls = starts();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].windowId, 0x1001u);
    EXPECT_EQ(calls[0].streamId, 1);
    EXPECT_EQ(calls[1].streamId, 2);
    EXPECT_TRUE(log.contains("Stream subscribe request for window abcdef01"));
}

TEST_F(SignalingServerTest, TwoClientsGetDifferentStreamIds) {
    auto a = connect();
    auto b = connect();
    ASSERT_TRUE(a->sendJson({{"type", "stream_start"}, {"windowId", 0x1001}}));
    ASSERT_TRUE(b->sendJson({{"type", "stream_start"}, {"windowId", 0x1001}}));
    const auto fromA = a->waitForType("stream_started");
    const auto fromB = b->waitForType("stream_started");
    ASSERT_TRUE(fromA && fromB);
    EXPECT_NE(fromA->at("streamId"), fromB->at("streamId"));
}

TEST_F(SignalingServerTest, FailedStartIsError1001AndStillUsesTheId) {
    host.startSucceeds = false;
    auto client = connect();
    ASSERT_TRUE(client->sendJson({{"type", "stream_start"}, {"windowId", 0x1001}}));
    EXPECT_EQ(client->receive(), R"({"code":1001,"message":"Failed to start stream","type":"error"})");
    host.startSucceeds = true;
    const auto next = client->request({{"type", "stream_start"}, {"windowId", 0x1001}}, "stream_started");
    ASSERT_TRUE(next);
    EXPECT_EQ(next->at("streamId"), 2);
}

TEST_F(SignalingServerTest, StartWithoutAStreamCallbackIsRefusedAndUsesTheId) {
    server.setStreamRequestCallback({});
    auto client = connect();
    const auto error = client->request({{"type", "stream_start"}, {"windowId", 0x1001}}, "error");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->at("code"), 1001);
    host.install(server);
    const auto next = client->request({{"type", "stream_start"}, {"windowId", 0x1001}}, "stream_started");
    ASSERT_TRUE(next);
    EXPECT_EQ(next->at("streamId"), 2);
}

TEST_F(SignalingServerTest, StartForAWindowNotInTheListIsRefusedWithoutCallingTheOwner) {
    auto client = connect();
    for (const json& windowId : {json(0x9999), json(0), json(nullptr)}) {
        json request{{"type", "stream_start"}};
        if (!windowId.is_null()) {
            request["windowId"] = windowId;
        }
        const auto error = client->request(request, "error");
        ASSERT_TRUE(error) << request.dump();
        EXPECT_EQ(error->at("code"), 1001);
    }
    EXPECT_TRUE(starts().empty());
    EXPECT_TRUE(log.contains("Refusing stream for window 9999: not in the window list"));
}

TEST_F(SignalingServerTest, StreamIdsWrapFrom255To0) {
    host.startSucceeds = false;  // nothing keeps running, so every id is free
    auto client = connect();
    std::vector<int> ids;
    for (int i = 0; i < 257; ++i) {
        ASSERT_TRUE(client->request({{"type", "stream_start"}, {"windowId", 0x1001}}, "error"));
    }
    const auto calls = starts();
    ASSERT_EQ(calls.size(), 257u);
    EXPECT_EQ(calls[0].streamId, 1);
    EXPECT_EQ(calls[254].streamId, 255);
    EXPECT_EQ(calls[255].streamId, 0);
    EXPECT_EQ(calls[256].streamId, 1);
}

TEST_F(SignalingServerTest, WhenEveryIdRunsTheStartIsError1001) {
    {
        std::lock_guard lock(host.mutex);
        host.running.set();
    }
    auto client = connect();
    const auto error = client->request({{"type", "stream_start"}, {"windowId", 0x1001}}, "error");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->at("code"), 1001);
    EXPECT_TRUE(starts().empty());
    EXPECT_TRUE(log.contains("No free stream id for window 1001"));
    {
        std::lock_guard lock(host.mutex);
        host.running.reset(77);
    }
    const auto started = client->request({{"type", "stream_start"}, {"windowId", 0x1001}}, "stream_started");
    ASSERT_TRUE(started);
    EXPECT_EQ(started->at("streamId"), 77);
}

TEST_F(SignalingServerTest, StreamStopPassesTheLowByteAndEchoesTheValueAsRead) {
    auto client = connect();
    EXPECT_EQ(client->request({{"type", "stream_stop"}, {"streamId", 257}}, "stream_stopped")->dump(),
              R"({"streamId":257,"type":"stream_stopped"})");
    EXPECT_EQ(client->request({{"type", "stream_unsubscribe"}}, "stream_stopped")->dump(),
              R"({"streamId":0,"type":"stream_stopped"})");
    EXPECT_EQ(client->request({{"type", "stream_stop"}, {"streamId", -1}}, "stream_stopped")->dump(),
              R"({"streamId":-1,"type":"stream_stopped"})");
    std::lock_guard lock(host.mutex);
    EXPECT_EQ(host.stops, (std::vector<std::uint8_t>{1, 0, 255}));
    EXPECT_TRUE(log.contains("Stream stop request for stream 257"));
}

TEST_F(SignalingServerTest, StopIsAnsweredWithoutAStopCallback) {
    server.setStreamStopCallback({});
    auto client = connect();
    EXPECT_TRUE(client->request({{"type", "stream_stop"}, {"streamId", 4}}, "stream_stopped"));
}

TEST_F(SignalingServerTest, KeyframeRequestsReachTheOwnerWithoutAnAnswer) {
    auto client = connect();
    ASSERT_TRUE(client->sendJson({{"type", "request_keyframe"}, {"streamId", 3}}));
    ASSERT_TRUE(client->sendJson({{"type", "keyframe_request"}, {"streamId", 258}}));
    ASSERT_TRUE(client->sendJson({{"type", "ping"}, {"timestamp", 9}}));
    // The first thing that comes back is the pong: the keyframe requests had no answer.
    const auto first = client->receiveJson();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->at("type"), "pong");
    std::lock_guard lock(host.mutex);
    EXPECT_EQ(host.keyframes, (std::vector<std::uint8_t>{3, 2}));
}

TEST_F(SignalingServerTest, WindowResizeOfAListedWindow) {
    auto client = connect();
    const auto reply = client->request(
        {{"type", "window_resize"}, {"streamId", -7}, {"windowId", 0x1001}, {"width", 1280}, {"height", 720}},
        "window_resized");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->dump(),
              R"({"height":720,"streamId":-7,"success":true,"type":"window_resized","width":1280,"windowId":4097})");
    host.resizeSucceeds = false;
    EXPECT_EQ(client
                  ->request({{"type", "window_resize"}, {"windowId", 0x1001}, {"width", 16384}, {"height", 1}},
                            "window_resized")
                  ->at("success"),
              false);
    std::lock_guard lock(host.mutex);
    ASSERT_EQ(host.resizes.size(), 2u);
    EXPECT_EQ(host.resizes[0].windowId, 0x1001u);
    EXPECT_EQ(host.resizes[0].width, 1280u);
    EXPECT_EQ(host.resizes[0].height, 720u);
    EXPECT_EQ(host.resizes[1].width, 16384u);
    EXPECT_TRUE(log.contains("Window resize request: stream=-7, window=1001, size=1280x720"));
}

TEST_F(SignalingServerTest, WindowResizeIsRefusedOutsideTheListAndTheSizeRange) {
    auto client = connect();
    const json refused[] = {
        {{"type", "window_resize"}, {"windowId", 0x5555}, {"width", 800}, {"height", 600}},
        {{"type", "window_resize"}, {"windowId", 0x1001}, {"width", 0}, {"height", 600}},
        {{"type", "window_resize"}, {"windowId", 0x1001}, {"width", 800}, {"height", 16385}},
        {{"type", "window_resize"}, {"windowId", 0x1001}},
    };
    for (const auto& request : refused) {
        const auto reply = client->request(request, "window_resized");
        ASSERT_TRUE(reply) << request.dump();
        EXPECT_EQ(reply->at("success"), false) << request.dump();
        EXPECT_EQ(reply->at("width"), request.value("width", 0));
    }
    std::lock_guard lock(host.mutex);
    EXPECT_TRUE(host.resizes.empty());
}

TEST_F(SignalingServerTest, WindowResizeWithoutACallbackFails) {
    server.setWindowResizeCallback({});
    auto client = connect();
    const auto reply = client->request(
        {{"type", "window_resize"}, {"windowId", 0x1001}, {"width", 800}, {"height", 600}}, "window_resized");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->at("success"), false);
}

TEST_F(SignalingServerTest, WindowResizeWithAStringWidthIsNotAnswered) {
    auto client = connect();
    ASSERT_TRUE(client->sendText(R"({"type":"window_resize","windowId":4097,"width":"800","height":600})"));
    EXPECT_TRUE(client->expectSilence(300ms));
    EXPECT_TRUE(log.contains("Error processing message: "));
    std::lock_guard lock(host.mutex);
    EXPECT_TRUE(host.resizes.empty());
}

TEST_F(SignalingServerTest, PingTimestamps) {
    auto client = connect();
    EXPECT_EQ(client->request({{"type", "ping"}}, "pong")->dump(), R"({"timestamp":0,"type":"pong"})");
    ASSERT_TRUE(client->sendText(R"({"type":"ping","timestamp":1.5})"));
    EXPECT_EQ(client->receive(), R"({"timestamp":1,"type":"pong"})");
    ASSERT_TRUE(client->sendText(R"({"type":"ping","timestamp":-2147483648})"));
    EXPECT_EQ(client->receive(), R"({"timestamp":-2147483648,"type":"pong"})");
    // A timestamp that does not fit 32 bits is a malformed message.
    ASSERT_TRUE(client->sendText(R"({"type":"ping","timestamp":4294967297})"));
    EXPECT_TRUE(client->expectSilence(300ms));
    EXPECT_TRUE(log.contains("Error processing message: value of 'timestamp' is out of range"));
}

TEST_F(SignalingServerTest, UnknownTypesAreLoggedAndNotAnswered) {
    auto client = connect();
    for (const char* text : {R"({"type":"Hello"})", R"({"type":"stream_config"})", R"({"type":"stream_stopped"})",
                             R"({"streamId":1})"}) {
        ASSERT_TRUE(client->sendText(text));
    }
    EXPECT_TRUE(client->expectSilence(300ms));
    EXPECT_TRUE(log.contains("Unknown message type: 'Hello'"));
    EXPECT_TRUE(log.contains("Unknown message type: 'stream_config'"));
    EXPECT_TRUE(log.contains("Unknown message type: 'stream_stopped'"));
    EXPECT_TRUE(log.contains("Unknown message type: 'missing'"));
}

TEST_F(SignalingServerTest, HostMessageTypesFromAClientAreIgnoredSilently) {
    auto client = connect();
    for (const char* type : {"welcome", "window_list", "stream_started", "window_resized", "error", "pong"}) {
        ASSERT_TRUE(client->sendJson({{"type", type}}));
    }
    EXPECT_TRUE(client->expectSilence(300ms));
    EXPECT_TRUE(log.matching("Unknown message type").empty());
    EXPECT_TRUE(log.matching("Error processing message").empty());
}

TEST_F(SignalingServerTest, BinaryMessagesAreHandledLikeText) {
    auto client = connect();
    const std::string ping = R"({"type":"ping","timestamp":5})";
    ASSERT_TRUE(client->sendBinary(std::span(reinterpret_cast<const std::uint8_t*>(ping.data()), ping.size())));
    EXPECT_EQ(client->receive(), R"({"timestamp":5,"type":"pong"})");
}

TEST_F(SignalingServerTest, AnswersComeInTheOrderOfTheRequests) {
    auto client = connect();
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(client->sendJson({{"type", "ping"}, {"timestamp", i}}));
    }
    for (int i = 0; i < 200; ++i) {
        const auto pong = client->receiveJson();
        ASSERT_TRUE(pong);
        ASSERT_EQ(pong->at("timestamp"), i);
    }
}

TEST_F(SignalingServerTest, ACallbackThatThrowsDropsOnlyThatMessage) {
    server.setWindowListCallback([]() -> std::vector<protocol::WindowInfo> { throw std::runtime_error("boom"); });
    auto client = connect();
    ASSERT_TRUE(client->sendJson({{"type", "window_list_request"}}));
    EXPECT_TRUE(client->expectSilence(200ms));
    EXPECT_TRUE(log.contains("Error processing message: boom"));
    EXPECT_TRUE(client->request({{"type", "ping"}}, "pong"));
}

TEST_F(SignalingServerTest, StreamConfigReachesEveryWelcomedClient) {
    auto a = connect();
    auto b = connect();
    ASSERT_TRUE(eventually([&] { return server.getClientCount() == 2; }));
    // Both handshakes are complete once each has had an answer.
    ASSERT_TRUE(a->request({{"type", "ping"}}, "pong"));
    ASSERT_TRUE(b->request({{"type", "ping"}}, "pong"));
    StreamConfigMessage config;
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
    const std::string expected =
        R"({"codec":"video/avc","height":720,"pps":"aOvjyyLA","sps":"Z2QAH6zZQFAFuwFqAgICgAAAAwCAAAAeB4wYyw==",)"
        R"("streamId":1,"targetBitrate":20000,"targetFps":60,"type":"stream_config","width":1280,"windowId":4097})";
    EXPECT_EQ(a->receive(), expected);
    EXPECT_EQ(b->receive(), expected);
    EXPECT_TRUE(log.contains("Sending stream_config: streamId=1, 1280x720, codec=video/avc, sps=40B, pps=8B"));
}

TEST_F(SignalingServerTest, StreamConfigNeverReachesAConnectionStillInItsHandshake) {
    RawConnection raw;
    ASSERT_TRUE(raw.connect(port));
    ASSERT_TRUE(eventually([&] { return server.getClientCount() == 1; }));
    StreamConfigMessage config;
    config.codec = "video/avc";
    server.sendStreamConfig(config);
    ASSERT_TRUE(raw.upgrade(port));
    ASSERT_TRUE(raw.send(clientFrame(kOpText, R"({"type":"ping","timestamp":1})")));
    // The first frame after the upgrade is the pong: an unmasked text frame.
    const std::string frame = raw.readSome();
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
}

TEST_F(SignalingServerTest, ARequestWithoutUpgradeFailsTheHandshakeAndLeaves) {
    RawConnection raw;
    ASSERT_TRUE(raw.connect(port));
    ASSERT_TRUE(raw.send("GET / HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_TRUE(raw.waitForClose());
    EXPECT_TRUE(log.waitFor("WebSocket accept failed: "));
    EXPECT_TRUE(eventually([&] { return server.getClientCount() == 0; }));
}

TEST_F(SignalingServerTest, PollRunsHandlersOnTheCallingThread) {
    auto client = connect();
    ASSERT_TRUE(client->sendJson({{"type", "ping"}, {"timestamp", 1}}));
    for (int i = 0; i < 100; ++i) {
        server.poll();
    }
    EXPECT_TRUE(client->waitForType("pong"));
}

TEST(SignalingServerLife, StartFailsWhenThePortIsTaken) {
    LogCapture log;
    SignalingServer first(0);
    ASSERT_TRUE(first.start());
    SignalingServer second(first.getPort());
    EXPECT_FALSE(second.start());
    EXPECT_TRUE(log.contains("Failed to start signaling server: "));
    EXPECT_EQ(second.getPort(), 0);
    EXPECT_TRUE(signalingAlive(first.getPort()));
}

TEST(SignalingServerLife, StopWithoutStartDoesNothingAndSecondStopLogsNothing) {
    LogCapture log;
    {
        SignalingServer server(0);
        server.stop();
        EXPECT_EQ(log.count("Signaling server stopped"), 0u);
        ASSERT_TRUE(server.start());
        server.stop();
        server.stop();
    }
    EXPECT_EQ(log.count("Signaling server stopped"), 1u);
}

TEST(SignalingServerLife, StopClosesClientsAndTheServerStartsAgain) {
    FakeSignalingHost host;
    SignalingServer server(0, testOptions());
    host.install(server);
    for (int round = 0; round < 5; ++round) {
        ASSERT_TRUE(server.start()) << round;
        const auto port = server.getPort();
        SignalingClient welcomed;
        ASSERT_TRUE(welcomed.connect(port));
        ASSERT_TRUE(welcomed.request({{"type", "hello"}}, "welcome"));
        RawConnection handshaking;
        ASSERT_TRUE(handshaking.connect(port));
        server.stop();
        EXPECT_EQ(server.getClientCount(), 0u);
        EXPECT_EQ(server.getPort(), 0);
        EXPECT_TRUE(welcomed.waitForClose(2s));
        EXPECT_TRUE(handshaking.waitForClose(2s));
    }
}

TEST(SignalingServerLife, CallbacksInstalledBeforeStartAreUsed) {
    SignalingServer server(0);
    bool connected = false;
    server.setClientConnectedCallback([&](const std::string&) { connected = true; });
    ASSERT_TRUE(server.start());
    SignalingClient client;
    ASSERT_TRUE(client.connect(server.getPort()));
    ASSERT_TRUE(client.request({{"type", "hello"}}, "welcome"));
    server.stop();
    EXPECT_TRUE(connected);
}

}  // namespace
}  // namespace quillane::host::test
