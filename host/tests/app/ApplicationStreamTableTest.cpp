#include "app/StreamTable.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

using quillane::host::StreamTable;

namespace {

// Stands in for the encoder's parameter sets and the signalling broadcast.
struct Announcer {
    bool parameterSetsKnown = true;
    std::vector<std::pair<std::uint8_t, std::uint32_t>> sent;  // stream, window
    StreamTable::AnnounceFn fn() {
        return [this](std::uint8_t stream, std::uint32_t window) {
            if (!parameterSetsKnown) return false;
            sent.emplace_back(stream, window);
            return true;
        };
    }
};

}  // namespace

TEST(ApplicationStreamTable, ClientStreamIsAnnouncedOnceOnItsFirstKeyframe) {
    StreamTable table;
    Announcer a;
    table.registerClientStream(1, 0x1234);
    EXPECT_TRUE(table.announceIfDue(1, a.fn()));
    EXPECT_FALSE(table.announceIfDue(1, a.fn()));
    EXPECT_FALSE(table.announceIfDue(1, a.fn()));
    ASSERT_EQ(a.sent.size(), 1u);
    EXPECT_EQ(a.sent[0], std::make_pair(std::uint8_t{1}, std::uint32_t{0x1234}));
}

TEST(ApplicationStreamTable, KeyframeWithoutParameterSetsIsRetriedOnTheNextOne) {
    StreamTable table;
    Announcer a;
    table.registerClientStream(2, 77);
    a.parameterSetsKnown = false;
    EXPECT_FALSE(table.announceIfDue(2, a.fn()));
    EXPECT_FALSE(table.announceIfDue(2, a.fn()));
    a.parameterSetsKnown = true;
    EXPECT_TRUE(table.announceIfDue(2, a.fn()));
    EXPECT_EQ(a.sent.size(), 1u);
}

TEST(ApplicationStreamTable, ResolutionChangeGivesExactlyOneNewAnnouncement) {
    StreamTable table;
    Announcer a;
    table.registerClientStream(3, 9);
    ASSERT_TRUE(table.announceIfDue(3, a.fn()));
    table.markConfigDue(3);
    EXPECT_TRUE(table.announceIfDue(3, a.fn()));
    EXPECT_FALSE(table.announceIfDue(3, a.fn()));
    ASSERT_EQ(a.sent.size(), 2u);
    EXPECT_EQ(a.sent[1].second, 9u);  // still the client's window
}

TEST(ApplicationStreamTable, HostWindowStreamIsAnnouncedWithWindowZeroOnlyAfterAResize) {
    StreamTable table;
    Announcer a;
    // Started from the host window: never registered as a client stream.
    EXPECT_FALSE(table.announceIfDue(200, a.fn()));
    EXPECT_FALSE(table.hasClientStream(200));
    table.markConfigDue(200);
    EXPECT_TRUE(table.announceIfDue(200, a.fn()));
    ASSERT_EQ(a.sent.size(), 1u);
    EXPECT_EQ(a.sent[0], std::make_pair(std::uint8_t{200}, std::uint32_t{0}));
    // It is still not a client stream: congestion control does not touch it.
    EXPECT_TRUE(table.clientStreams().empty());
    table.markConfigDue(200);
    EXPECT_TRUE(table.announceIfDue(200, a.fn()));
    EXPECT_EQ(a.sent.back().second, 0u);
}

TEST(ApplicationStreamTable, EraseForgetsBothEntriesAndAbsentIdsAreHarmless) {
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

TEST(ApplicationStreamTable, RestartOnTheSameIdResetsTheAnnouncementAndWindow) {
    StreamTable table;
    Announcer a;
    table.registerClientStream(7, 70);
    ASSERT_TRUE(table.announceIfDue(7, a.fn()));
    table.registerClientStream(7, 71);
    EXPECT_TRUE(table.announceIfDue(7, a.fn()));
    EXPECT_EQ(a.sent.back().second, 71u);
}
