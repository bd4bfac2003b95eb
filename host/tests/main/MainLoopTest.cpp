#include "main/MainLoop.h"

#include "FakePlatform.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace quillane::host::test {
namespace {

using namespace std::chrono_literals;
using Clock = TurnPacer::Clock;

TEST(TurnPacerTest, EarlyTurnsWaitForTheDisplaysGridAndLateOnesDoNotShortenIt) {
    TurnPacer pacer(60);
    const auto start = Clock::time_point{} + 10s;
    EXPECT_EQ(pacer.beginTurn(start), 0ms);
    // A present that did not block: wait until about 16.7 ms after the first turn.
    EXPECT_EQ(pacer.beginTurn(start + 1ms), 16ms);
    EXPECT_EQ(pacer.beginTurn(start + 17ms), 17ms);  // 33.3 ms after the first
    // A turn that took half a second starts at once; the next still waits a full period.
    EXPECT_EQ(pacer.beginTurn(start + 500ms), 0ms);
    EXPECT_EQ(pacer.beginTurn(start + 501ms), 16ms);

    EXPECT_NEAR(std::chrono::duration<double>(TurnPacer(144).period()).count(), 1.0 / 144, 1e-6);
    EXPECT_NEAR(std::chrono::duration<double>(TurnPacer(0).period()).count(), 1.0 / 60, 1e-6);
    EXPECT_NEAR(std::chrono::duration<double>(TurnPacer(0.5).period()).count(), 1.0 / 60, 1e-6);
}

TEST(TurnPacerTest, NeitherVerticalSyncNorEarlyWakingAddsUpToAStall) {
    TurnPacer paced(60);
    auto t = Clock::time_point{} + 10s;
    for (int i = 0; i < 600; ++i) {
        t += (i % 2 == 0) ? 16500us : 16800us;  // a little before or after the nominal period
        EXPECT_EQ(paced.beginTurn(t), 0ms) << "turn " << i;
    }
    // Input events wake every wait after 1 ms.
    TurnPacer woken(60);
    woken.beginTurn(t);
    for (int i = 0; i < 100; ++i, t += 1ms) EXPECT_LE(woken.beginTurn(t), 17ms) << "turn " << i;
}

class MainLoopTest : public ::testing::Test {
protected:
    Journal journal;
    FakeWindow window{journal};
    FakeSingleInstance guard{journal};

    TurnHooks recordingHooks() {
        TurnHooks hooks;
        hooks.updateApplication = [this] { journal.push_back("app.update"); };
        hooks.updateConnectionStatus = [this] { journal.push_back("ui.connection"); };
        hooks.everySixtiethTurn = [this] { journal.push_back("sixtieth"); };
        hooks.renderUi = [this] { journal.push_back("ui.render"); };
        return hooks;
    }
    long count(const std::string& entry) const { return std::count(journal.begin(), journal.end(), entry); }
};

TEST_F(MainLoopTest, TurnRunsItsStepsInOrderAndTheEndOfRunStopsBeforeThem) {
    window.turnsLeft = 1;
    MainLoop loop(window, guard, recordingHooks());
    EXPECT_TRUE(loop.turn());
    Journal expected = {"window.pump",   "guard.poll",   "window.resize", "app.update",
                        "ui.connection", "window.clear", "ui.render",     "window.present"};
    EXPECT_EQ(journal, expected);
    EXPECT_FALSE(loop.turn());
    expected.push_back("window.pump");
    EXPECT_EQ(journal, expected);
}

TEST_F(MainLoopTest, SlowDutiesRunOnEverySixtiethTurn) {
    window.turnsLeft = 150;
    MainLoop loop(window, guard, recordingHooks());
    loop.run();
    std::vector<int> dutyTurns;
    int turn = 0;
    for (const auto& entry : journal) {
        if (entry == "window.pump") ++turn;
        else if (entry == "sixtieth") dutyTurns.push_back(turn);
    }
    EXPECT_EQ(turn, 151);  // the last pump ends the run
    EXPECT_EQ(dutyTurns, (std::vector<int>{60, 120}));
}

// Without UI (and its hooks) an unchanged window is not redrawn; the UI is drawn every turn.
TEST_F(MainLoopTest, RedrawsFollowTheWindowsRequestsUnlessTheUiDraws) {
    window.turnsLeft = 4;
    window.redrawAnswers = {true, false, false, true};
    MainLoop(window, guard, TurnHooks{}).run();
    EXPECT_EQ(count("window.clear"), 2);
    EXPECT_EQ(count("window.present"), 2);
    EXPECT_EQ(count("window.pump"), 5) << "every turn still runs";

    journal.clear();
    window.turnsLeft = 3;
    window.redrawAnswers = {false, false, false};
    MainLoop(window, guard, recordingHooks()).run();
    EXPECT_EQ(count("ui.render"), 3);
    EXPECT_EQ(count("window.present"), 3);
}

// The UI draws when it changed or the window asks; a hidden or minimised window
// draws nothing, and its pending request waits, while Application keeps running.
TEST_F(MainLoopTest, UiDrawsOnChangeAndNothingIsDrawnWhileTheWindowIsHidden) {
    std::vector<bool> uiChanges = {false, true, false, false, false};
    TurnHooks hooks = recordingHooks();
    hooks.uiNeedsFrame = [&] {
        const bool changed = uiChanges.front();
        uiChanges.erase(uiChanges.begin());
        return changed;
    };
    MainLoop loop(window, guard, std::move(hooks));
    window.turnsLeft = 5;
    window.redrawAnswers = {false, false, true};
    loop.turn();  // nothing changed
    loop.turn();  // the UI changed
    EXPECT_EQ(count("ui.render"), 1);
    window.visible = false;
    loop.turn();
    loop.turn();
    EXPECT_EQ(count("ui.render"), 1);
    EXPECT_EQ(count("app.update"), 4);
    window.visible = true;
    loop.turn();  // the window's request: drawn though the UI did not change
    EXPECT_EQ(count("ui.render"), 2);
    EXPECT_EQ(count("window.present"), 2);
}

TEST_F(MainLoopTest, RequestFromASecondStartRaisesTheWindowInThatTurn) {
    window.turnsLeft = 2;
    MainLoop loop(window, guard, TurnHooks{});
    ASSERT_TRUE(loop.turn());
    EXPECT_EQ(count("window.showAndRaise"), 0);
    guard.showRequests = 1;
    ASSERT_TRUE(loop.turn());
    auto raised = std::find(journal.begin(), journal.end(), "window.showAndRaise");
    ASSERT_NE(raised, journal.end());
    // Raised before this turn's frame is drawn.
    EXPECT_LT(raised - journal.begin(), std::find(journal.rbegin(), journal.rend(), "window.present").base() - journal.begin());
}

TEST_F(MainLoopTest, LoopWaitsForEventsWhenPresentingDoesNotBlock) {
    window.turnsLeft = 30;
    MainLoop loop(window, guard, TurnHooks{});
    loop.run();
    // The fake presents instantly; without pacing 30 turns would take no time.
    auto nonZeroWaits = std::count_if(window.waits.begin(), window.waits.end(), [](auto w) { return w > 0ms; });
    EXPECT_GE(nonZeroWaits, 25);
    for (auto wait : window.waits) EXPECT_LE(wait, 17ms);
}

} // namespace
} // namespace quillane::host
