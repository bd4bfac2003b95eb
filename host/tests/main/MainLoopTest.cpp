#include "main/MainLoop.h"

#include "FakePlatform.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace quillane::host {
namespace {

using namespace std::chrono_literals;
using testing::FakeSingleInstance;
using testing::FakeWindow;
using testing::Journal;
using Clock = TurnPacer::Clock;

TEST(TurnPacerTest, FirstTurnStartsAtOnce) {
    TurnPacer pacer(60);
    EXPECT_EQ(pacer.beginTurn(Clock::time_point{} + 5s), 0ms);
}

TEST(TurnPacerTest, EarlyTurnWaitsForTheRestOfThePeriod) {
    TurnPacer pacer(60);
    auto start = Clock::time_point{} + 10s;
    pacer.beginTurn(start);
    // A present that did not block: the next turn comes 1 ms later and waits
    // until about 16.7 ms after the first one began.
    EXPECT_EQ(pacer.beginTurn(start + 1ms), 16ms);
    // The grid holds: the turn after starts 33.3 ms after the first.
    EXPECT_EQ(pacer.beginTurn(start + 17ms), 17ms);
}

TEST(TurnPacerTest, TurnsThatPresentingPacesNeverWait) {
    TurnPacer pacer(60);
    auto t = Clock::time_point{} + 10s;
    for (int i = 0; i < 600; ++i) {
        // Vertical sync returns a little before or after the nominal period.
        t += (i % 2 == 0) ? 16500us : 16800us;
        EXPECT_EQ(pacer.beginTurn(t), 0ms) << "turn " << i;
    }
}

TEST(TurnPacerTest, LateTurnDoesNotShortenLaterTurns) {
    TurnPacer pacer(60);
    auto start = Clock::time_point{} + 10s;
    pacer.beginTurn(start);
    // A turn that took half a second starts at once ...
    EXPECT_EQ(pacer.beginTurn(start + 500ms), 0ms);
    // ... and the one after it still waits for a full period.
    EXPECT_EQ(pacer.beginTurn(start + 501ms), 16ms);
}

TEST(TurnPacerTest, PeriodFollowsTheDisplay) {
    EXPECT_NEAR(std::chrono::duration<double>(TurnPacer(144).period()).count(), 1.0 / 144, 1e-6);
    EXPECT_NEAR(std::chrono::duration<double>(TurnPacer(0).period()).count(), 1.0 / 60, 1e-6);
    EXPECT_NEAR(std::chrono::duration<double>(TurnPacer(0.5).period()).count(), 1.0 / 60, 1e-6);
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
};

TEST_F(MainLoopTest, TurnRunsItsStepsInOrder) {
    window.turnsLeft = 1;
    MainLoop loop(window, guard, recordingHooks());
    EXPECT_TRUE(loop.turn());
    Journal expected = {"window.pump",   "guard.poll",   "window.resize", "app.update",
                        "ui.connection", "window.clear", "ui.render",     "window.present"};
    EXPECT_EQ(journal, expected);
}

TEST_F(MainLoopTest, EndOfRunStopsBeforeAnyOtherStep) {
    window.turnsLeft = 0;
    MainLoop loop(window, guard, recordingHooks());
    EXPECT_FALSE(loop.turn());
    EXPECT_EQ(journal, Journal{"window.pump"});
}

TEST_F(MainLoopTest, SlowDutiesRunOnEverySixtiethTurn) {
    window.turnsLeft = 150;
    MainLoop loop(window, guard, recordingHooks());
    loop.run();
    std::vector<int> dutyTurns;
    int turn = 0;
    for (const auto& entry : journal) {
        if (entry == "window.pump") {
            ++turn;
        } else if (entry == "sixtieth") {
            dutyTurns.push_back(turn);
        }
    }
    EXPECT_EQ(turn, 151);  // the last pump ends the run
    EXPECT_EQ(dutyTurns, (std::vector<int>{60, 120}));
}

TEST_F(MainLoopTest, EmptyHooksAreSkipped) {
    window.turnsLeft = 2;
    MainLoop loop(window, guard, TurnHooks{});
    loop.run();
    EXPECT_EQ(std::count(journal.begin(), journal.end(), "window.present"), 2);
}

TEST_F(MainLoopTest, WithoutUiAnUnchangedWindowIsNotRedrawn) {
    window.turnsLeft = 4;
    window.redrawAnswers = {true, false, false, true};
    MainLoop loop(window, guard, TurnHooks{});
    loop.run();
    EXPECT_EQ(std::count(journal.begin(), journal.end(), "window.clear"), 2);
    EXPECT_EQ(std::count(journal.begin(), journal.end(), "window.present"), 2);
    EXPECT_EQ(std::count(journal.begin(), journal.end(), "window.pump"), 5) << "every turn still runs";
}

TEST_F(MainLoopTest, UiIsDrawnEveryTurn) {
    window.turnsLeft = 3;
    window.redrawAnswers = {false, false, false};
    MainLoop loop(window, guard, recordingHooks());
    loop.run();
    EXPECT_EQ(std::count(journal.begin(), journal.end(), "ui.render"), 3);
    EXPECT_EQ(std::count(journal.begin(), journal.end(), "window.present"), 3);
}

TEST_F(MainLoopTest, RequestFromASecondStartRaisesTheWindowInThatTurn) {
    window.turnsLeft = 2;
    MainLoop loop(window, guard, TurnHooks{});
    ASSERT_TRUE(loop.turn());
    EXPECT_EQ(std::count(journal.begin(), journal.end(), "window.showAndRaise"), 0);
    guard.showRequests = 1;
    ASSERT_TRUE(loop.turn());
    auto raised = std::find(journal.begin(), journal.end(), "window.showAndRaise");
    ASSERT_NE(raised, journal.end());
    // Raised before this turn's frame is drawn.
    EXPECT_LT(raised - journal.begin(), std::find(journal.rbegin(), journal.rend(), "window.present").base() - journal.begin());
}

TEST(TurnPacerTest, WaitsEndedEarlyByEventsNeverAddUpToAStall) {
    TurnPacer pacer(60);
    auto t = Clock::time_point{} + 10s;
    pacer.beginTurn(t);
    // A stream of input events wakes every wait after 1 ms.
    for (int i = 0; i < 100; ++i) {
        auto wait = pacer.beginTurn(t);
        EXPECT_LE(wait, 17ms) << "turn " << i;
        t += 1ms;
    }
}

TEST_F(MainLoopTest, LoopWaitsForEventsWhenPresentingDoesNotBlock) {
    window.turnsLeft = 30;
    MainLoop loop(window, guard, TurnHooks{});
    loop.run();
    // The fake presents instantly; without pacing 30 turns would take no time.
    auto nonZeroWaits = std::count_if(window.waits.begin(), window.waits.end(), [](auto w) { return w > 0ms; });
    EXPECT_GE(nonZeroWaits, 25);
    for (auto wait : window.waits) {
        EXPECT_LE(wait, 17ms);
    }
}

} // namespace
} // namespace quillane::host
