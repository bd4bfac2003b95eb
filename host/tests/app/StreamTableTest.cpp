#include "app/StreamTable.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace quillane::host::test {

using quillane::host::StreamTable;

namespace {

using Sent = std::vector<std::pair<std::uint8_t, std::uint32_t>>;  // stream, window

// Stands in for the encoder's parameter sets and the signalling broadcast.
struct Announcer {
    bool parameterSetsKnown = true;
    Sent sent;
    StreamTable::AnnounceFn fn() {
        return [this](std::uint8_t stream, std::uint32_t window) {
            if (!parameterSetsKnown) return false;
            sent.emplace_back(stream, window);
            return true;
        };
    }
};

}  // namespace

TEST(StreamTable, ClientStreamIsAnnouncedOnItsFirstKeyframeAndAfterEachResolutionChange) {
    StreamTable table;
    Announcer a;
    table.registerClientStream(1, 0x1234);
    // Without parameter sets the next keyframe tries again.
    a.parameterSetsKnown = false;
    EXPECT_FALSE(table.announceIfDue(1, a.fn()));
    a.parameterSetsKnown = true;
    EXPECT_TRUE(table.announceIfDue(1, a.fn()));
    EXPECT_FALSE(table.announceIfDue(1, a.fn()));
    table.markConfigDue(1);
    EXPECT_TRUE(table.announceIfDue(1, a.fn()));
    EXPECT_FALSE(table.announceIfDue(1, a.fn()));
    // A restart on the same id is announced again, with its new window.
    table.registerClientStream(1, 0x5678);
    EXPECT_TRUE(table.announceIfDue(1, a.fn()));
    EXPECT_EQ(a.sent, (Sent{{1, 0x1234}, {1, 0x1234}, {1, 0x5678}}));
}

TEST(StreamTable, HostWindowStreamIsAnnouncedWithWindowZeroOnlyAfterAResize) {
    StreamTable table;
    Announcer a;
    EXPECT_FALSE(table.announceIfDue(200, a.fn()));
    table.markConfigDue(200);
    EXPECT_TRUE(table.announceIfDue(200, a.fn()));
    EXPECT_FALSE(table.announceIfDue(200, a.fn()));
    // Still not a client stream: congestion control leaves it alone.
    EXPECT_FALSE(table.hasClientStream(200));
    EXPECT_TRUE(table.clientStreams().empty());
    EXPECT_EQ(a.sent, (Sent{{200, 0}}));
}

TEST(StreamTable, EraseForgetsTheStreamAndAbsentIdsAreHarmless) {
    StreamTable table;
    Announcer a;
    table.registerClientStream(5, 50);
    table.registerClientStream(6, 60);
    table.erase(42);
    EXPECT_EQ(table.clientStreams(), (std::vector<std::uint8_t>{5, 6}));
    table.erase(5);
    EXPECT_EQ(table.clientStreams(), (std::vector<std::uint8_t>{6}));
    EXPECT_EQ(table.windowOf(5), 0u);
    EXPECT_FALSE(table.announceIfDue(5, a.fn()));
    EXPECT_EQ(table.windowOf(6), 60u);
}

}  // namespace quillane::host::test
