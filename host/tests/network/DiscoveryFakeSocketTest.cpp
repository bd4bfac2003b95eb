// The responder's handling of platform failures, through a scripted socket.
#include <condition_variable>
#include <deque>
#include <mutex>

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "network/DiscoveryResponder.h"

namespace quillane::host::test {
namespace {

using namespace std::chrono_literals;

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
        std::vector<std::vector<std::uint8_t>> sent;
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

    int sendTo(std::span<const std::uint8_t> data, const Ipv4Endpoint&) override {
        std::lock_guard lock(shared->mutex);
        shared->sent.emplace_back(data.begin(), data.end());
        shared->changed.notify_all();
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

    void push(UdpSocket::ReceiveResult result, std::string payload = {}) {
        std::lock_guard lock(shared->mutex);
        shared->incoming.emplace_back(result, std::move(payload));
        shared->changed.notify_all();
    }

    static UdpSocket::ReceiveResult datagram(std::size_t size) {
        UdpSocket::ReceiveResult result;
        result.status = UdpSocket::ReceiveResult::Status::Datagram;
        result.size = size;
        result.from = {0xC0A80105, 50000};  // 192.168.1.5
        return result;
    }

    static UdpSocket::ReceiveResult failure(UdpSocket::ReceiveResult::Status status, int error) {
        UdpSocket::ReceiveResult result;
        result.status = status;
        result.error = error;
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
    DiscoveryResponder responder("Host", 9876, kDiscoveryPort, factory());
    ASSERT_TRUE(responder.start());
    push(failure(UdpSocket::ReceiveResult::Status::Interrupted, 10054));
    push(failure(UdpSocket::ReceiveResult::Status::Oversized, 10040));
    for (int i = 0; i < 50; ++i) {
        push(failure(UdpSocket::ReceiveResult::Status::Failed, 10050));
    }
    push(datagram(17), "QUILLANE_DISCOVER");
    drain();
    EXPECT_EQ(log.count("Discovery recvfrom error: 10050"), 1u) << "rate-limited";
    EXPECT_TRUE(log.matching("10054").empty());
    EXPECT_TRUE(log.matching("10040").empty());
    EXPECT_TRUE(log.contains("Discovery request from 192.168.1.5 (Unknown)"));
    {
        std::lock_guard lock(shared->mutex);
        ASSERT_EQ(shared->sent.size(), 1u);
        shared->sendError = 10065;
    }
    push(datagram(17), "QUILLANE_DISCOVER");
    push(datagram(17), "QUILLANE_DISCOVER");
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
