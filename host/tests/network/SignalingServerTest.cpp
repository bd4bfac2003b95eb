#include <string>

#include <gtest/gtest.h>

#include "Eventually.h"
#include "LogCapture.h"
#include "SignalingTestClient.h"
#include "SignalingTestHost.h"
#include "network/SignalingServer.h"

namespace quillane::host::test {
namespace {

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

    std::vector<std::string> connectedAddresses() {
        std::lock_guard lock(host.mutex);
        return host.connected;
    }

    LogCapture log;
    FakeSignalingHost host;
    SignalingServer server{0, testOptions()};
    std::uint16_t port = 0;
};

TEST_F(SignalingServerTest, EveryHelloGetsTheExactWelcomeAndIsReported) {
    auto client = connect();
    ASSERT_TRUE(eventually([&] { return server.getClientCount() == 1; }));
    EXPECT_TRUE(client->expectSilence(100ms));
    EXPECT_TRUE(connectedAddresses().empty()) << "a connection alone is not reported";
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(client->sendText(R"({"type":"hello","clientName":"Headset","version":"2"})"));
        EXPECT_EQ(client->receive(), kDefaultWelcome);
    }
    EXPECT_EQ(connectedAddresses(), std::vector<std::string>(3, "127.0.0.1"));
    EXPECT_TRUE(log.contains("Received hello from client at 127.0.0.1"));
    EXPECT_TRUE(log.contains(std::string("Sending welcome message: ") + kDefaultWelcome));
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

TEST_F(SignalingServerTest, WindowListBytes) {
    {
        std::lock_guard lock(host.mutex);
        host.windows[0].iconBase64 = "iVBORw0KGgoAAAANSUhEUg==";
        host.windows[1].x = -300;
        host.windows[1].y = -8;
        host.windows[1].isMaximized = true;
    }
    auto client = connect();
    ASSERT_TRUE(client->sendText(R"({"type":"window_list_request"})"));
    EXPECT_EQ(client->receive(),
              R"({"type":"window_list","windows":[)"
              R"({"className":"AppWindow","height":480,"iconBase64":"iVBORw0KGgoAAAANSUhEUg==","id":4097,)"
              R"("isMaximized":false,"isMinimized":false,"isVisible":true,"processName":"app",)"
              R"("title":"Editor","width":640,"x":10,"y":20},)"
              R"({"className":"AppWindow","height":480,"iconBase64":"","id":2882400001,)"
              R"("isMaximized":true,"isMinimized":false,"isVisible":true,"processName":"app",)"
              R"("title":"Browser","width":640,"x":-300,"y":-8}]})");
}

TEST_F(SignalingServerTest, BinaryMessagesAreTextAndAnswersKeepTheRequestsOrder) {
    auto client = connect();
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

}  // namespace
}  // namespace quillane::host::test
