#pragma once

#include <chrono>
#include <functional>

namespace quillane::host {

class HostWindow;
class SingleInstance;

// Work that later components hang into each main-loop turn, in this order.
// An empty hook is skipped.
struct TurnHooks {
    std::function<void()> updateApplication;      // Application::update
    std::function<void()> updateConnectionStatus; // the UI's connection status
    std::function<void()> everySixtiethTurn;      // window list, update-check result
    std::function<void()> renderUi;               // UIManager::render, onto the cleared frame
    // Whether the UI's picture may have changed; left empty, the UI draws every turn.
    std::function<bool()> uiNeedsFrame;
};

// Keeps the loop at the display's rate when presenting does not wait for the
// vertical blank (hidden or minimised window, a virtual display): the time left
// of the turn is spent waiting for window events instead of spinning a core.
// When presenting does wait, turns come at the period anyway and no extra wait
// arises.
class TurnPacer {
public:
    using Clock = std::chrono::steady_clock;

    // `refreshRate` in hertz; 0 (unknown) counts as 60.
    explicit TurnPacer(double refreshRate = 0);

    // How long to wait for events before the turn that begins at `now`. A late
    // turn starts at once and does not shorten the turns after it.
    std::chrono::milliseconds beginTurn(Clock::time_point now);

    Clock::duration period() const { return turnPeriod; }

private:
    Clock::duration turnPeriod;
    Clock::time_point nextTurn{};
    bool first = true;
};

// The main loop: drains window messages, lets the running host answer a second
// instance, then runs the hooks around clearing and presenting the window.
class MainLoop {
public:
    static constexpr int kSlowDutyInterval = 60;

    MainLoop(HostWindow& window, SingleInstance& singleInstance, TurnHooks hooks);

    // One turn; false (and nothing else done) once the program should end.
    bool turn();

    // Turns until the program should end.
    void run();

private:
    HostWindow& window;
    SingleInstance& singleInstance;
    TurnHooks hooks;
    TurnPacer pacer;
    int turnCounter = 0;
};

} // namespace quillane::host
