#include "app/RunningStreams.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using quillane::host::RunningStreams;

namespace {

struct PriorityLog {
    std::vector<bool> calls;  // true = boost, false = restore
    RunningStreams::PriorityFn fn() {
        return [this](bool boost) { calls.push_back(boost); };
    }
};

}  // namespace

TEST(ApplicationRunningStreams, TwoStartsBoostOnceAndTwoStopsRestoreOnce) {
    PriorityLog log;
    RunningStreams running(log.fn());
    EXPECT_TRUE(running.add(1));
    EXPECT_TRUE(running.add(2));
    EXPECT_EQ(log.calls, std::vector<bool>{true});
    EXPECT_TRUE(running.remove(1));
    EXPECT_EQ(log.calls, std::vector<bool>{true});
    EXPECT_TRUE(running.boosted());
    EXPECT_TRUE(running.remove(2));
    EXPECT_EQ(log.calls, (std::vector<bool>{true, false}));
    EXPECT_FALSE(running.boosted());
}

TEST(ApplicationRunningStreams, StopOfAnIdThatIsNotRunningChangesNothing) {
    PriorityLog log;
    RunningStreams running(log.fn());
    EXPECT_FALSE(running.remove(9));
    EXPECT_TRUE(log.calls.empty());
    ASSERT_TRUE(running.add(3));
    EXPECT_FALSE(running.remove(9));
    EXPECT_TRUE(running.contains(3));
    EXPECT_TRUE(running.boosted());
    EXPECT_EQ(log.calls, std::vector<bool>{true});
    // The one real stop still restores.
    EXPECT_TRUE(running.remove(3));
    EXPECT_FALSE(running.remove(3));
    EXPECT_EQ(log.calls, (std::vector<bool>{true, false}));
}

TEST(ApplicationRunningStreams, RestartingARunningIdDoesNotCountTwice) {
    PriorityLog log;
    RunningStreams running(log.fn());
    EXPECT_TRUE(running.add(4));
    EXPECT_FALSE(running.add(4));
    EXPECT_EQ(running.size(), 1u);
    EXPECT_TRUE(running.remove(4));
    EXPECT_EQ(log.calls, (std::vector<bool>{true, false}));
}

TEST(ApplicationRunningStreams, BoostAndRestoreAlternateUnderConcurrentUse) {
    std::atomic<int> level{0};
    std::atomic<bool> broken{false};
    RunningStreams running([&](bool boost) {
        const int now = boost ? ++level : --level;
        if (now < 0 || now > 1) broken = true;
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&running, t] {
            for (int i = 0; i < 2000; ++i) {
                const auto id = static_cast<std::uint8_t>(t * 10 + i % 3);
                running.add(id);
                running.remove(id);
                running.remove(static_cast<std::uint8_t>(id + 100));  // never running
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_FALSE(broken);
    EXPECT_EQ(running.size(), 0u);
    EXPECT_EQ(level, 0);
    EXPECT_FALSE(running.boosted());
}

TEST(ApplicationRunningStreams, IdsListsWhatRuns) {
    RunningStreams running;
    running.add(255);
    running.add(0);
    running.add(17);
    EXPECT_EQ(running.ids(), (std::vector<std::uint8_t>{0, 17, 255}));
}
