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

class DiscoveryResponderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(responder.start());
        port = responder.getListenPort();
        ASSERT_NE(port, 0);
    }

    // A well-formed request is still answered.
    void expectAlive() {
        const auto reply = discover(port, "QUILLANE_DISCOVER\0probe");
        ASSERT_TRUE(reply);
        EXPECT_EQ(*reply, bytes(std::string_view("QUILLANE_HOST\0Test Host\0009876\0", 29)));
    }

    LogCapture log;
    DiscoveryResponder responder{"Test Host", 9876, 0};
    std::uint16_t port = 0;
};

TEST_F(DiscoveryResponderTest, ReplyBytesForANineByteNameAndPort9876) {
    UdpProbe probe;
    ASSERT_TRUE(probe.send(port, std::string_view("QUILLANE_DISCOVER\0Headset One", 29)));
    const auto reply = probe.receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->size(), 29u);
    EXPECT_EQ(*reply, bytes(std::string_view("QUILLANE_HOST\0Test Host\0009876\0", 29)));
    EXPECT_TRUE(log.waitFor("Discovery request from 127.0.0.1 (Headset One)"));
}

TEST_F(DiscoveryResponderTest, TheBarePrefixAndAnEighteenByteRequestAreAnsweredAsUnknown) {
    ASSERT_TRUE(discover(port, "QUILLANE_DISCOVER"));
    ASSERT_TRUE(discover(port, std::string_view("QUILLANE_DISCOVER\0", 18)));
    EXPECT_EQ(log.count("Discovery request from 127.0.0.1 (Unknown)"), 2u);
}

TEST_F(DiscoveryResponderTest, TheClientNameEndsAtTheFirstZeroByte) {
    ASSERT_TRUE(discover(port, std::string_view("QUILLANE_DISCOVERxQuest\0garbage\0more", 36)));
    EXPECT_TRUE(log.contains("Discovery request from 127.0.0.1 (Quest)"));
}

TEST_F(DiscoveryResponderTest, ClientNamesAreLoggedEscapedAndCut) {
    const std::string request = std::string("QUILLANE_DISCOVER ") + "\x1b[31mred\n" + std::string(500, 'n');
    ASSERT_TRUE(discover(port, request));
    const auto lines = log.matching("Discovery request from 127.0.0.1 (");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text.find('\x1b'), std::string::npos);
    EXPECT_NE(lines[0].text.find("\\x1b[31mred\\x0a"), std::string::npos) << lines[0].text;
    EXPECT_LT(lines[0].text.size(), 220u);
}

TEST_F(DiscoveryResponderTest, NonRequestsAreIgnoredQuietly) {
    UdpProbe probe;
    const std::string oversized = "QUILLANE_DISCOVER" + std::string(2000, 'x');
    for (const std::string_view datagram :
         {std::string_view("QUILLANE_DISCOVE"), std::string_view("quillane_discover"),
          std::string_view("QUILLANE_DISCOVEX"), std::string_view("xQUILLANE_DISCOVER"), std::string_view(""),
          std::string_view(oversized)}) {
        ASSERT_TRUE(probe.send(port, datagram));
    }
    EXPECT_FALSE(probe.receive(300ms));
    expectAlive();
    EXPECT_EQ(log.count("Discovery request from"), 1u);  // the liveness probe alone
    EXPECT_TRUE(log.matching("Discovery recvfrom error").empty());
}

TEST_F(DiscoveryResponderTest, ARequestOf1023BytesIsAnsweredAndOneOf1024IsNot) {
    UdpProbe probe;
    ASSERT_TRUE(probe.send(port, "QUILLANE_DISCOVER" + std::string(1023 - 17, 'a')));
    EXPECT_TRUE(probe.receive());
    ASSERT_TRUE(probe.send(port, "QUILLANE_DISCOVER" + std::string(1024 - 17, 'a')));
    EXPECT_FALSE(probe.receive(300ms));
    expectAlive();
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

TEST_F(DiscoveryResponderTest, ASecondStartWarnsAndKeepsTheSocket) {
    EXPECT_TRUE(responder.start());
    EXPECT_TRUE(log.contains("Discovery responder already running"));
    EXPECT_EQ(responder.getListenPort(), port);
    expectAlive();
}

TEST_F(DiscoveryResponderTest, StopEndsAnsweringAndAStoppedResponderStopsQuietly) {
    responder.stop();
    EXPECT_FALSE(responder.isRunning());
    EXPECT_EQ(responder.getListenPort(), 0);
    EXPECT_FALSE(discover(port, "QUILLANE_DISCOVER", 300ms));
    responder.stop();
    EXPECT_EQ(log.count("Discovery responder stopped"), 1u);
    ASSERT_TRUE(responder.start());
    port = responder.getListenPort();
    expectAlive();
}

TEST(DiscoveryResponderLife, StartAndStopRepeatedly) {
    LogCapture log;
    DiscoveryResponder responder("Cycle", 1234, 0);
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(responder.start()) << i;
        if (i % 5 == 0) {
            EXPECT_EQ(discover(responder.getListenPort()),
                      bytes(std::string_view("QUILLANE_HOST\0Cycle\0" "1234\0", 25)));
        }
        responder.stop();
    }
    EXPECT_EQ(log.count("Discovery responder started on UDP port"), 20u);
    EXPECT_EQ(log.count("Discovery responder stopped"), 20u);
}

TEST(DiscoveryResponderLife, ATakenPortFailsTheStart) {
    LogCapture log;
    UdpProbe holder;  // bound without SO_REUSEADDR
    DiscoveryResponder responder("Busy", 9876, holder.localPort());
    EXPECT_FALSE(responder.start());
    EXPECT_FALSE(responder.isRunning());
    EXPECT_TRUE(log.contains("Failed to bind discovery socket to port " + std::to_string(holder.localPort()) + ": "));
}

TEST(DiscoveryNames, ReplyLayout) {
    EXPECT_EQ(buildDiscoveryReply("", 0), bytes(std::string_view("QUILLANE_HOST\0\0" "0\0", 17)));
    EXPECT_EQ(buildDiscoveryReply("h", 65535), bytes(std::string_view("QUILLANE_HOST\0h\0" "65535\0", 22)));
}

TEST(DiscoveryNames, NamesAreCappedOnACharacterBoundaryAndEndAtZero) {
    EXPECT_EQ(capDiscoveryName("Office PC"), "Office PC");
    EXPECT_EQ(capDiscoveryName(std::string_view("ab\0cd", 5)), "ab");
    EXPECT_EQ(capDiscoveryName(std::string(300, 'n')), std::string(255, 'n'));
    // 254 ASCII bytes and a two-byte character that would straddle the cap.
    const std::string straddling = std::string(254, 'a') + "\xC3\xA9" + "zz";
    EXPECT_EQ(capDiscoveryName(straddling), std::string(254, 'a'));
    DiscoveryResponder responder(std::string(400, 'x'), 9876, 0);
    ASSERT_TRUE(responder.start());
    const auto reply = discover(responder.getListenPort());
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->size(), 16u + 255u + 4u);
}

TEST(DiscoveryNames, TheComputerNameIsUsedWhenItCanBeRead) {
    const std::string name = discoveryHostName();
    EXPECT_FALSE(name.empty());
    EXPECT_LE(name.size(), kMaxDiscoveryNameBytes);
    EXPECT_EQ(name.find('\0'), std::string::npos);
    const std::string computer = readComputerName();
    EXPECT_EQ(name, computer.empty() ? std::string("Quillane Host") : capDiscoveryName(computer));
}

}  // namespace
}  // namespace quillane::host::test
