#include <atomic>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "SignalingTestClient.h"
#include "network/DiscoveryResponder.h"

namespace quillane::host::test {
namespace {

std::vector<std::uint8_t> bytes(std::string_view text) {
    return {text.begin(), text.end()};
}

const auto kReply = bytes(std::string_view("QUILLANE_HOST\0Test Host\0009876\0", 29));

class DiscoveryResponderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(responder.start());
        port = responder.getListenPort();
        ASSERT_NE(port, 0);
    }

    LogCapture log;
    DiscoveryResponder responder{"Test Host", 9876, 0};
    std::uint16_t port = 0;
};

TEST_F(DiscoveryResponderTest, RequestsAreAnsweredAndLoggedWithTheClientsName) {
    const std::pair<std::string, std::string> cases[] = {
        {std::string("QUILLANE_DISCOVER\0Headset One", 29), "Headset One"},
        {"QUILLANE_DISCOVER", "Unknown"},
        {std::string("QUILLANE_DISCOVER\0", 18), "Unknown"},
        {std::string("QUILLANE_DISCOVERxQuest\0garbage\0more", 36), "Quest"},
        {"QUILLANE_DISCOVER" + std::string(1023 - 17, 'a'), "aaaa"},
    };
    for (const auto& [request, name] : cases) {
        SCOPED_TRACE(name);
        const auto before = log.count("Discovery request from 127.0.0.1 (" + name);
        EXPECT_EQ(discover(port, request), kReply);
        EXPECT_EQ(log.count("Discovery request from 127.0.0.1 (" + name), before + 1);
    }

    // A name is logged escaped and cut.
    ASSERT_TRUE(discover(port, std::string("QUILLANE_DISCOVER ") + "\x1b[31mred\n" + std::string(500, 'n')));
    const auto lines = log.matching("Discovery request from 127.0.0.1 (\\x1b[31mred\\x0a");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text.find('\x1b'), std::string::npos);
    EXPECT_LT(lines[0].text.size(), 220u);
}

TEST_F(DiscoveryResponderTest, OtherDatagramsAreIgnoredQuietly) {
    UdpProbe probe;
    const std::string oversized = "QUILLANE_DISCOVER" + std::string(1024 - 17, 'x');
    for (const std::string_view datagram :
         {std::string_view("QUILLANE_DISCOVE"), std::string_view("quillane_discover"),
          std::string_view("QUILLANE_DISCOVEX"), std::string_view("xQUILLANE_DISCOVER"), std::string_view(""),
          std::string_view(oversized)}) {
        ASSERT_TRUE(probe.send(port, datagram));
    }
    EXPECT_FALSE(probe.receive(300ms));
    EXPECT_EQ(discover(port), kReply);
    EXPECT_EQ(log.count("Discovery request from"), 1u);
    EXPECT_TRUE(log.matching("Discovery recvfrom error").empty());
}

TEST_F(DiscoveryResponderTest, ManyClientsAtOnce) {
    std::vector<std::thread> clients;
    std::atomic<int> answered{0};
    for (int i = 0; i < 8; ++i) {
        clients.emplace_back([&] {
            for (int j = 0; j < 20; ++j) {
                answered += discover(port) ? 1 : 0;
            }
        });
    }
    for (auto& client : clients) {
        client.join();
    }
    EXPECT_EQ(answered, 160);
}

TEST_F(DiscoveryResponderTest, SecondStartKeepsTheSocketAndStopEndsAnswering) {
    EXPECT_TRUE(responder.start());
    EXPECT_TRUE(log.contains("Discovery responder already running"));
    EXPECT_EQ(responder.getListenPort(), port);
    EXPECT_EQ(discover(port), kReply);

    responder.stop();
    EXPECT_FALSE(responder.isRunning());
    EXPECT_EQ(responder.getListenPort(), 0);
    EXPECT_FALSE(discover(port, "QUILLANE_DISCOVER", 300ms));
    responder.stop();
    EXPECT_EQ(log.count("Discovery responder stopped"), 1u);
}

TEST(DiscoveryResponderLife, ATakenPortFailsTheStart) {
    LogCapture log;
    UdpProbe holder;  // bound without SO_REUSEADDR
    DiscoveryResponder responder("Busy", 9876, holder.localPort());
    EXPECT_FALSE(responder.start());
    EXPECT_FALSE(responder.isRunning());
    EXPECT_TRUE(log.contains("Failed to bind discovery socket to port " + std::to_string(holder.localPort()) + ": "));
}

TEST(DiscoveryNames, NamesAreCappedOnACharacterBoundaryAndEndAtZero) {
    EXPECT_EQ(buildDiscoveryReply("", 0), bytes(std::string_view("QUILLANE_HOST\0\0" "0\0", 17)));
    EXPECT_EQ(buildDiscoveryReply("h", 65535), bytes(std::string_view("QUILLANE_HOST\0h\0" "65535\0", 22)));
    EXPECT_EQ(capDiscoveryName(std::string_view("ab\0cd", 5)), "ab");
    // 254 ASCII bytes and a two-byte character that would straddle the cap.
    EXPECT_EQ(capDiscoveryName(std::string(254, 'a') + "\xC3\xA9" + "zz"), std::string(254, 'a'));
    DiscoveryResponder responder(std::string(400, 'x'), 9876, 0);
    ASSERT_TRUE(responder.start());
    EXPECT_EQ(discover(responder.getListenPort()),
              bytes("QUILLANE_HOST" + std::string(1, '\0') + std::string(255, 'x') + std::string("\0" "9876\0", 6)));

    const std::string name = discoveryHostName();
    const std::string computer = readComputerName();
    EXPECT_EQ(name, computer.empty() ? std::string("Quillane Host") : capDiscoveryName(computer));
    EXPECT_EQ(name.find('\0'), std::string::npos);
}

}  // namespace
}  // namespace quillane::host::test
