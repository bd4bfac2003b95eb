#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
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

TEST(DiscoveryResponderLoad, ManyClientsAtOnce) {
    DiscoveryLimits generous;
    generous.replyBurst = generous.totalRepliesPerSecond = 1000;
    DiscoveryResponder responder("Test Host", 9876, 0, createUdpSocket, generous);
    ASSERT_TRUE(responder.start());
    const auto port = responder.getListenPort();
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

TEST_F(DiscoveryResponderTest, AFloodFromOneAddressIsAnsweredAndLoggedAtABoundedRate) {
    UdpProbe flood;
    const auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < 10'000; ++i) {
        ASSERT_TRUE(flood.send(port, "QUILLANE_DISCOVER\0Flood"));
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count() + 0.5;
    int replies = 0;
    while (flood.receive(500ms)) {
        ++replies;
    }
    // A burst of 20, then 10 a second; a burst of 8 log lines, then one a second.
    EXPECT_GE(replies, 20);
    EXPECT_LE(replies, 20 + static_cast<int>(10 * seconds) + 1);
    EXPECT_LE(log.count("Discovery request from 127.0.0.1 (Flood"), 8u + static_cast<std::size_t>(seconds) + 1);
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
    EXPECT_EQ(discoveryName(std::string_view("ab\0cd", 5)), "ab");
    // 254 ASCII bytes and a two-byte character that would straddle the cap.
    EXPECT_EQ(discoveryName(std::string(254, 'a') + "\xC3\xA9" + "zz"), std::string(254, 'a'));
    // A name that cannot be read, or is nothing before its zero byte.
    EXPECT_EQ(discoveryName(""), "Quillane Host");
    EXPECT_EQ(discoveryName(std::string_view("\0x", 2)), "Quillane Host");
    DiscoveryResponder responder(std::string(400, 'x'), 9876, 0);
    ASSERT_TRUE(responder.start());
    EXPECT_EQ(discover(responder.getListenPort()),
              bytes("QUILLANE_HOST" + std::string(1, '\0') + std::string(255, 'x') + std::string("\0" "9876\0", 6)));

    // Names of 150 three-byte characters keep 85 of them (255 bytes); of two-byte
    // ones 127 (254 bytes), not half of the 128th.
    for (const auto& [character, kept] : {std::pair<std::string, std::size_t>{"\xE6\x97\xA5", 255}, {"\xC3\xA9", 254}}) {
        std::string name;
        for (int i = 0; i < 150; ++i) name += character;
        DiscoveryResponder wide(name, 9876, 0);
        ASSERT_TRUE(wide.start());
        EXPECT_EQ(discover(wide.getListenPort()),
                  bytes("QUILLANE_HOST" + std::string(1, '\0') + name.substr(0, kept) + std::string("\0" "9876\0", 6)));
    }
}

// Platform failures, through a scripted socket.
struct ScriptedSocket final : UdpSocket {
    struct Shared {
        std::mutex mutex;
        std::condition_variable changed;
        int openError = 0;
        int reuseError = 0;
        int broadcastError = 0;
        int bindError = 0;
        int sendError = 0;
        std::deque<std::pair<ReceiveResult, std::string>> incoming;
        int sent = 0;
        bool woken = false;
        bool closed = false;
        bool idle = false;
    };

    explicit ScriptedSocket(std::shared_ptr<Shared> shared) : shared(std::move(shared)) {}

    int open() override { return shared->openError; }
    int setReuseAddress() override { return shared->reuseError; }
    int setBroadcast() override { return shared->broadcastError; }
    int bind(std::uint16_t) override { return shared->bindError; }
    std::uint16_t localPort() const override { return 9877; }

    WaitResult waitReadable(std::chrono::milliseconds timeout) override {
        std::unique_lock lock(shared->mutex);
        // Everything handed over before has been handled in full.
        shared->idle = shared->incoming.empty();
        shared->changed.notify_all();
        const bool ready =
            shared->changed.wait_for(lock, timeout, [&] { return shared->woken || !shared->incoming.empty(); });
        shared->idle = false;
        return ready && !shared->incoming.empty() ? WaitResult::Readable : WaitResult::TimedOut;
    }

    ReceiveResult receiveFrom(std::span<std::uint8_t> buffer) override {
        std::lock_guard lock(shared->mutex);
        auto [result, payload] = shared->incoming.front();
        shared->incoming.pop_front();
        std::copy_n(payload.begin(), std::min(payload.size(), buffer.size()), buffer.begin());
        return result;
    }

    int sendTo(std::span<const std::uint8_t>, const Ipv4Endpoint&) override {
        std::lock_guard lock(shared->mutex);
        ++shared->sent;
        return shared->sendError;
    }

    void wake() override {
        std::lock_guard lock(shared->mutex);
        shared->woken = true;
        shared->changed.notify_all();
    }

    void close() override {
        std::lock_guard lock(shared->mutex);
        shared->closed = true;
    }

    std::shared_ptr<Shared> shared;
};

class DiscoveryFakeSocketTest : public ::testing::Test {
protected:
    DiscoveryResponder::SocketFactory factory() {
        return [this] { return std::make_unique<ScriptedSocket>(shared); };
    }

    void push(const UdpSocket::ReceiveResult& result, std::string payload = {}) {
        std::lock_guard lock(shared->mutex);
        shared->incoming.emplace_back(result, std::move(payload));
        shared->changed.notify_all();
    }

    static UdpSocket::ReceiveResult received(UdpSocket::ReceiveResult::Status status, int error = 0) {
        UdpSocket::ReceiveResult result;
        result.status = status;
        result.error = error;
        result.size = 17;
        result.from = {0xC0A80105, 50000};  // 192.168.1.5
        return result;
    }

    // Waits until the listener has handled everything pushed so far.
    void drain() {
        std::unique_lock lock(shared->mutex);
        ASSERT_TRUE(shared->changed.wait_for(lock, 5s, [&] { return shared->incoming.empty() && shared->idle; }));
    }

    LogCapture log;
    std::shared_ptr<ScriptedSocket::Shared> shared = std::make_shared<ScriptedSocket::Shared>();
};

TEST_F(DiscoveryFakeSocketTest, StartFailuresAndWarnings) {
    struct Case {
        int open, reuse, broadcast, bind;
        bool started;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {10093, 0, 0, 0, false, {"Failed to create discovery socket: 10093"}},
        {0, 10042, 10013, 0, true,
         {"Failed to set SO_REUSEADDR: 10042", "Failed to set SO_BROADCAST: 10013",
          "Discovery responder started on UDP port 9877"}},
        {0, 0, 0, 10048, false, {"Failed to bind discovery socket to port 9877: 10048"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lines.front());
        shared = std::make_shared<ScriptedSocket::Shared>();
        shared->openError = c.open;
        shared->reuseError = c.reuse;
        shared->broadcastError = c.broadcast;
        shared->bindError = c.bind;
        DiscoveryResponder responder("Host", 9876, kDiscoveryPort, factory());
        EXPECT_EQ(responder.start(), c.started);
        EXPECT_EQ(responder.isRunning(), c.started);
        for (const auto& line : c.lines) {
            EXPECT_TRUE(log.contains(line)) << line;
        }
        EXPECT_EQ(shared->closed, c.bind != 0) << "a socket that failed to bind is closed";
    }
}

TEST_F(DiscoveryFakeSocketTest, ReceiveAndSendFailuresAreLoggedAndStopWakesTheListener) {
    using Status = UdpSocket::ReceiveResult::Status;
    DiscoveryResponder responder("Host", 9876, kDiscoveryPort, factory());
    ASSERT_TRUE(responder.start());
    push(received(Status::Interrupted, 10054));
    push(received(Status::Oversized, 10040));
    for (int i = 0; i < 50; ++i) {
        push(received(Status::Failed, 10050));
    }
    push(received(Status::Datagram), "QUILLANE_DISCOVER");
    drain();
    EXPECT_EQ(log.count("Discovery recvfrom error: 10050"), 1u) << "rate-limited";
    EXPECT_TRUE(log.matching("10054").empty());
    EXPECT_TRUE(log.matching("10040").empty());
    EXPECT_TRUE(log.contains("Discovery request from 192.168.1.5 (Unknown)"));
    {
        std::lock_guard lock(shared->mutex);
        ASSERT_EQ(shared->sent, 1);
        shared->sendError = 10065;
    }
    push(received(Status::Datagram), "QUILLANE_DISCOVER");
    push(received(Status::Datagram), "QUILLANE_DISCOVER");
    drain();
    EXPECT_EQ(log.count("Failed to send discovery response: 10065"), 2u);

    // drain() returns while the listener waits, so stop meets it inside a wait.
    const auto before = std::chrono::steady_clock::now();
    responder.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 900ms);
    std::lock_guard lock(shared->mutex);
    EXPECT_TRUE(shared->woken);
    EXPECT_TRUE(shared->closed);
    EXPECT_EQ(log.count("recvfrom"), 1u);
}

}  // namespace
}  // namespace quillane::host::test
