// Servers started and stopped many times in one process close their clients
// and leave no descriptors (handles) or threads behind.
#include <gtest/gtest.h>

#include "Eventually.h"
#include "LogCapture.h"
#include "ProcessResources.h"
#include "SignalingTestClient.h"
#include "SignalingTestHost.h"
#include "network/DiscoveryResponder.h"
#include "network/SignalingServer.h"

namespace quillane::host::test {
namespace {

TEST(NetworkLeaks, SignalingAndDiscoveryStartAndStopManyTimes) {
    {
        // The first use of sockets creates what the process then keeps (Wine's
        // socket support holds a few handles of its own): counted from after it.
        SignalingServer server(0, testOptions());
        DiscoveryResponder responder("Leak check", 9876, 0);
        ASSERT_TRUE(server.start());
        ASSERT_TRUE(responder.start());
        SignalingClient welcomed;
        ASSERT_TRUE(welcomed.connect(server.getPort()));
        ASSERT_TRUE(welcomed.request({{"type", "hello"}}, "welcome"));
        ASSERT_TRUE(discover(responder.getListenPort()));
        responder.stop();
        server.stop();
        EXPECT_TRUE(welcomed.waitForClose(2s));
    }
    LogCapture log;
    const auto descriptorsBefore = openDescriptorCount();
    const auto threadsBefore = threadCount();
    ASSERT_TRUE(descriptorsBefore) << "this platform cannot count its descriptors (handles)";
    ASSERT_TRUE(threadsBefore) << "this platform cannot count its threads";
    constexpr int kRounds = 25;
    {
        FakeSignalingHost host;
        SignalingServer server(0, testOptions());
        host.install(server);  // before the first start, as the owner does
        DiscoveryResponder responder("Leak check", 9876, 0);
        server.stop();
        EXPECT_FALSE(log.contains("Signaling server stopped")) << "a server that never ran stops quietly";
        for (int round = 0; round < kRounds; ++round) {
            ASSERT_TRUE(server.start()) << round;
            ASSERT_TRUE(responder.start()) << round;
            const auto port = server.getPort();
            SignalingClient welcomed;
            ASSERT_TRUE(welcomed.connect(port));
            ASSERT_TRUE(welcomed.request({{"type", "hello"}}, "welcome"));
            RawConnection handshaking;
            ASSERT_TRUE(handshaking.connect(port));
            ASSERT_TRUE(handshaking.send(webSocketUpgradeRequest(port).substr(0, 20)));
            RawConnection silent;
            ASSERT_TRUE(silent.connect(port));
            ASSERT_TRUE(discover(responder.getListenPort()));
            ASSERT_TRUE(eventually([&] { return server.getClientCount() == 3; }));
            responder.stop();
            server.stop();
            server.stop();
            EXPECT_EQ(server.getClientCount(), 0u);
            EXPECT_EQ(server.getPort(), 0);
            EXPECT_TRUE(welcomed.waitForClose(2s));
            EXPECT_TRUE(handshaking.waitForClose(2s));
            EXPECT_TRUE(silent.waitForClose(2s));
        }
        std::lock_guard lock(host.mutex);
        EXPECT_EQ(host.connected.size(), static_cast<std::size_t>(kRounds));
    }
    EXPECT_EQ(log.count("Signaling server stopped"), static_cast<std::size_t>(kRounds));
    EXPECT_EQ(log.count("Discovery responder started on UDP port"), static_cast<std::size_t>(kRounds));
    EXPECT_EQ(log.count("Discovery responder stopped"), static_cast<std::size_t>(kRounds));
    EXPECT_TRUE(eventually([&] { return openDescriptorCount() == descriptorsBefore; }, 5s))
        << *descriptorsBefore << " before, " << openDescriptorCount().value_or(0) << " after";
    EXPECT_TRUE(eventually([&] { return threadCount() == threadsBefore; }, 5s))
        << *threadsBefore << " before, " << threadCount().value_or(0) << " after";
}

}  // namespace
}  // namespace quillane::host::test
