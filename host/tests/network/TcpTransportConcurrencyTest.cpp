#include "network/TcpTransportServer.h"

#include "TransportTestSupport.h"
#include "VideoClient.h"

#include <gtest/gtest.h>

namespace quillane::host {
namespace {

using namespace std::chrono_literals;
using test::VideoClient;

// Several capture threads send while clients come and go, the owner polls and reinstalls its
// callbacks, and clients send messages: run under ThreadSanitizer this finds unguarded state.
TEST(TcpTransportConcurrency, SendersClientsAndPollingRace) {
    TcpTransportServer server(0);
    std::atomic<int> callbacks{0};
    server.setKeyframeRequestCallback([&](std::uint8_t) { ++callbacks; });
    ASSERT_TRUE(server.start());

    std::atomic<bool> running{true};
    std::vector<std::thread> senders;
    for (std::uint8_t stream = 1; stream <= 4; ++stream) {
        senders.emplace_back([&, stream] {
            std::uint32_t index = 0;
            while (running) {
                const bool key = index % 30 == 0;
                const auto frame = test::makeFrame(stream, index++, key, key ? 20000 : 3000);
                server.sendVideoFrame(stream, frame.data(), frame.size(), key);
                std::this_thread::sleep_for(1ms);
            }
        });
    }
    std::thread poller([&] {
        while (running) {
            server.poll();
            server.setClientFeedbackCallback([&](const ClientFeedback&) { ++callbacks; });
            (void)server.isConnected();
            (void)server.getStats();
            std::this_thread::sleep_for(1ms);
        }
    });

    std::size_t packetsRead = 0;
    for (int cycle = 0; cycle < 60; ++cycle) {
        VideoClient client;
        ASSERT_TRUE(client.connect(server.getPort()));
        ASSERT_TRUE(client.sendFeedback(1, 2));
        ASSERT_TRUE(client.sendKeyframeRequest(1));
        // Sequence numbers on one connection only ever increase (others may take numbers while
        // this one is being replaced).
        std::optional<std::uint16_t> previous;
        for (int i = 0; i < cycle % 5; ++i) {
            auto packet = client.readPacket(2s);
            if (!packet) {
                break;
            }
            ++packetsRead;
            if (previous) {
                const auto step = static_cast<std::uint16_t>(packet->sequence() - *previous);
                EXPECT_GE(step, 1);
                EXPECT_LT(step, 1000);
            }
            previous = packet->sequence();
        }
        if (cycle % 3 == 0) {
            client.reset();
        } else if (cycle % 3 == 1) {
            client.close();
        }  // else: left to be replaced by the next client
    }
    running = false;
    for (auto& sender : senders) {
        sender.join();
    }
    poller.join();
    server.stop();
    EXPECT_GT(packetsRead, 0u);
    EXPECT_GT(callbacks.load(), 0);
}

}  // namespace
}  // namespace quillane::host
