#include "app/RunningStreams.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace quillane::host::test {

using quillane::host::RunningStreams;

// The priority is boosted by the first running stream and restored by the
// stop of the last; stops of ids that do not run and repeated starts change nothing.
TEST(RunningStreams, BoostFollowsTheFirstStartAndTheLastStop) {
    std::vector<bool> calls;  // true = boost, false = restore
    RunningStreams running([&](bool boost) { calls.push_back(boost); });
    EXPECT_FALSE(running.remove(9));
    EXPECT_TRUE(calls.empty());
    EXPECT_TRUE(running.add(255));
    EXPECT_TRUE(running.add(0));
    EXPECT_FALSE(running.add(0));
    EXPECT_EQ(running.ids(), (std::vector<std::uint8_t>{0, 255}));
    EXPECT_EQ(calls, std::vector<bool>{true});
    EXPECT_FALSE(running.remove(9));
    EXPECT_TRUE(running.remove(255));
    EXPECT_TRUE(running.boosted());
    EXPECT_EQ(calls, std::vector<bool>{true});
    EXPECT_TRUE(running.remove(0));
    EXPECT_FALSE(running.remove(0));
    EXPECT_FALSE(running.boosted());
    EXPECT_EQ(calls, (std::vector<bool>{true, false}));
}

TEST(RunningStreams, BoostAndRestoreAlternateUnderConcurrentUse) {
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

}  // namespace quillane::host::test
