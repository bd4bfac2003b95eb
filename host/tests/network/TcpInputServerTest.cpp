// The input connection's framing, as a client meets it on the wire.
#include "network/TcpInputServer.h"

#include "Eventually.h"
#include "LogCapture.h"
#include "VideoClient.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <numeric>
#include <vector>

namespace quillane::host::test {
namespace {

using namespace std::chrono_literals;
using test::eventually;
using test::VideoClient;

class TcpInputServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        server.setInputEventCallback([this](const InputEvent& event) {
            std::lock_guard lock(mutex);
            events.push_back(event);
        });
        server.setClientGoneCallback([this] {
            std::lock_guard lock(mutex);
            eventsWhenGone.push_back(events.size());
            ++gone;
        });
        ASSERT_TRUE(server.start());
    }

    std::vector<InputEvent> received() {
        std::lock_guard lock(mutex);
        return events;
    }
    bool receivedCount(std::size_t n) { return eventually([&] { return received().size() >= n; }, 5s); }
    // A body whose bytes count up from `first`.
    static std::vector<std::uint8_t> body(std::size_t size, std::uint8_t first = 0) {
        std::vector<std::uint8_t> bytes(size);
        std::iota(bytes.begin(), bytes.end(), first);
        return bytes;
    }

    test::LogCapture log;
    TcpInputServer server{0};
    std::mutex mutex;
    std::vector<InputEvent> events;
    std::vector<std::size_t> eventsWhenGone;  // how many events had arrived at each gone report
    std::atomic<int> gone{0};
};

// Lengths 0 (skipped), 11 (too small, reading goes on), 16 and 1,024 (one event from the first 12
// bytes, packed little-endian with x at offset 3), then 1,025: logged, and the connection closes.
TEST_F(TcpInputServerTest, FramingAtTheLengthLimits) {
    VideoClient client;
    ASSERT_TRUE(client.connect(server.port()));
    ASSERT_TRUE(client.sendMessage({}));
    ASSERT_TRUE(client.sendMessage(body(11)));
    ASSERT_TRUE(client.sendMessage(body(16, 1)));
    ASSERT_TRUE(client.sendMessage(body(1024, 100)));
    ASSERT_TRUE(receivedCount(2));
    EXPECT_TRUE(log.contains("TCP input message too small: 11 bytes"));
    const auto got = received();
    ASSERT_EQ(got.size(), 2u);
    const InputEvent& e = got[0];  // the packed fields cannot be bound to references: copies
    EXPECT_EQ(std::make_tuple(int{e.streamId}, int{e.deviceType}, int{e.action}, int{e.x}, int{e.y}, int{e.code},
                              int{e.modifiers}, int{e.wheelDelta}),
              std::make_tuple(1, 2, 3, 0x0504, 0x0706, 8, 9, 0x0B0A));
    EXPECT_EQ(got[1].streamId, 100);

    ASSERT_TRUE(client.sendMessage(body(1025)));
    EXPECT_TRUE(client.waitForClose(5s)) << "a broken frame closes the connection";
    EXPECT_TRUE(log.waitFor("TCP input message too large: 1025 bytes"));
    EXPECT_TRUE(eventually([&] { return gone == 1; }, 5s));
    EXPECT_FALSE(server.isConnected());
    EXPECT_EQ(received().size(), 2u);
}

// A second client replaces the first, whose read then ends; the second one's events arrive.
TEST_F(TcpInputServerTest, ANewClientReplacesTheOld) {
    VideoClient first;
    ASSERT_TRUE(first.connect(server.port()));
    ASSERT_TRUE(first.sendMessage(body(12, 1)));
    ASSERT_TRUE(receivedCount(1));
    VideoClient second;
    ASSERT_TRUE(second.connect(server.port()));
    EXPECT_TRUE(first.waitForClose(5s));
    EXPECT_TRUE(log.waitFor("Closing existing TCP input client connection"));
    ASSERT_TRUE(second.sendMessage(body(12, 2)));
    ASSERT_TRUE(receivedCount(2));
    EXPECT_EQ(received()[1].streamId, 2);
    EXPECT_TRUE(server.isConnected());
    EXPECT_TRUE(eventually([&] { return gone == 1; }, 5s)) << "the replaced client counts as gone";

    server.stop();
    EXPECT_TRUE(second.waitForClose(5s));
    EXPECT_TRUE(eventually([&] { return gone == 2; }, 5s));
    std::lock_guard lock(mutex);
    // The first client was gone before the second's record came in, and each was gone once: what
    // the first left held is released before the second can press anything, never after.
    EXPECT_EQ(eventsWhenGone, (std::vector<std::size_t>{1, 2}));
    EXPECT_TRUE(log.contains("TCP input server stopped"));
}

}  // namespace
}  // namespace quillane::host::test
