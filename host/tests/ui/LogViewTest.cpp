#include "ui/LogRing.h"
#include "ui/UISink.h"

#include <gtest/gtest.h>
#include <spdlog/details/os.h>
#include <spdlog/logger.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>

namespace quillane::host::test {
namespace {

TEST(LogRingTest, KeepsTheNewestThousandLinesWithStableIds) {
    LogRing ring;
    for (int i = 0; i < 1001; ++i) ring.add(2, "line " + std::to_string(i));
    std::vector<LogEntry> lines;
    ring.snapshot(lines, 0);
    ASSERT_EQ(lines.size(), LogRing::kCapacity);
    EXPECT_EQ(lines.front().message, "line 1");
    EXPECT_EQ(lines.back().message, "line 1000");
    // Ids follow the line, not its place: the oldest one left is the second ever added.
    EXPECT_EQ(lines.front().id, 2u);
    EXPECT_EQ(lines.back().id, 1001u);

    ring.clear();
    EXPECT_EQ(ring.size(), 0u);
    EXPECT_EQ(ring.copyAll(), "");
    ring.add(3, "after clear");
    ring.snapshot(lines, 0);
    EXPECT_EQ(lines.front().id, 1002u);
}

TEST(LogRingTest, SnapshotsCopyOnlyWhenSomethingChanged) {
    LogRing ring;
    std::vector<LogEntry> lines;
    std::uint64_t version = ring.snapshot(lines, 0);
    ring.add(2, "one");
    version = ring.snapshot(lines, version);
    ASSERT_EQ(lines.size(), 1u);
    lines.clear();
    EXPECT_EQ(ring.snapshot(lines, version), version);
    EXPECT_TRUE(lines.empty());  // unchanged: not copied again
}

TEST(LogRingTest, FilterTagsAndCopyAll) {
    LogRing ring;
    for (int level : {0, 1, 2, 3, 4, 5, 6}) ring.add(level, std::string("m") + std::to_string(level));
    std::vector<LogEntry> lines;
    ring.snapshot(lines, 0);
    const auto shown = [&](int filter) {
        std::string text;
        for (const auto& line : lines)
            if (LogRing::passes(line.level, filter)) text += line.message;
        return text;
    };
    EXPECT_EQ(shown(0), "m0m1m2m3m4m5m6");  // "All" shows levels outside 0 to 5 too
    EXPECT_EQ(shown(1), "m1m2m3m4m5m6");
    EXPECT_EQ(shown(4), "m4m5m6");
    EXPECT_STREQ(LogRing::tag(2), "[INFO] ");
    EXPECT_STREQ(LogRing::tag(5), "[CRIT] ");
    EXPECT_STREQ(LogRing::tag(6), "[???]  ");

    const std::string all = ring.copyAll();
    const std::string expectedFirst = lines[0].timestamp + " [TRACE] m0\n";
    EXPECT_EQ(all.substr(0, expectedFirst.size()), expectedFirst);
    EXPECT_NE(all.find(" [???]   m6\n"), std::string::npos);
    EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 7);
}

TEST(LogRingTest, TimestampsCarryMillisecondsWithoutLeadingZeros) {
    const std::int64_t base = 1'700'000'000'000;  // a whole second
    EXPECT_EQ(LogRing::formatTimestamp(base + 5).substr(8), ".5");
    EXPECT_EQ(LogRing::formatTimestamp(base + 250).substr(8), ".250");
    EXPECT_EQ(LogRing::formatTimestamp(base).size(), 10u);  // "HH:MM:SS.0"
}

TEST(UISinkTest, HandsOnFormattedLinesWithoutOneLineEndUntilTheCallbackIsCleared) {
    auto sink = std::make_shared<UISinkMt>();
    spdlog::logger logger("ui-sink-test", sink);
    logger.set_level(spdlog::level::trace);
    sink->set_pattern("%v");
    std::vector<std::pair<int, std::string>> seen;
    logger.info("before the callback");
    sink->setCallback([&](int level, const std::string& text) { seen.emplace_back(level, text); });
    logger.warn("plain");
    logger.error("two\n");
    logger.info("crlf\r");
    logger.critical("%d and %s stay");
    sink->setCallback({});
    logger.info("after");
    // The pattern ends in the platform's line end ("\r\n" on Windows), whose
    // "\n" goes and whose "\r" stays; a message's own line end stays.
    const std::string eol = spdlog::details::os::default_eol;
    const std::string rest = eol.substr(0, eol.size() - 1);
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0], (std::pair<int, std::string>{3, "plain" + rest}));
    EXPECT_EQ(seen[1], (std::pair<int, std::string>{4, "two\n" + rest}));
    EXPECT_EQ(seen[2].second, "crlf\r" + rest);
    EXPECT_EQ(seen[3], (std::pair<int, std::string>{5, "%d and %s stay" + rest}));
}

// A logging thread never reaches a callback once setCallback({}) returned.
TEST(UISinkTest, ClearingTheCallbackWaitsForARecordInFlight) {
    auto sink = std::make_shared<UISinkMt>();
    spdlog::logger logger("ui-sink-race", sink);
    std::atomic<bool> released{false};
    std::atomic<int> lateCalls{0};
    sink->setCallback([&](int, const std::string&) {
        if (released) ++lateCalls;
    });
    std::thread writer([&] {
        for (int i = 0; i < 20000; ++i) logger.info("line {}", i);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    sink->setCallback({});
    released = true;
    writer.join();
    EXPECT_EQ(lateCalls, 0);
}

}  // namespace
}  // namespace quillane::host::test
