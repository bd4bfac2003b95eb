#include "main/MainLoop.h"

#include "platform/HostWindow.h"
#include "platform/SingleInstance.h"

#include <algorithm>

namespace quillane::host {

namespace {
// A turn this close to its time starts at once: a wait this short would only
// add jitter to a loop that presenting already paces.
constexpr auto kWaitTolerance = std::chrono::milliseconds(2);
} // namespace

TurnPacer::TurnPacer(double refreshRate)
    : turnPeriod(std::chrono::duration_cast<Clock::duration>(
          std::chrono::duration<double>(1.0 / (refreshRate >= 1.0 ? refreshRate : 60.0)))) {}

std::chrono::milliseconds TurnPacer::beginTurn(Clock::time_point now) {
    // An event can end a wait early; never let the schedule run more than one
    // period ahead of the clock, or those early turns would add up to a stall.
    nextTurn = std::min(nextTurn, now + turnPeriod);
    if (first || now + kWaitTolerance >= nextTurn) {
        first = false;
        nextTurn = now + turnPeriod;
        return std::chrono::milliseconds(0);
    }
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(nextTurn - now);
    nextTurn += turnPeriod;
    return wait;
}

MainLoop::MainLoop(HostWindow& window, SingleInstance& singleInstance, TurnHooks hooks)
    : window(window), singleInstance(singleInstance), hooks(std::move(hooks)),
      pacer(window.displayRefreshRate()) {}

bool MainLoop::turn() {
    if (!window.pumpMessages(pacer.beginTurn(TurnPacer::Clock::now()))) {
        return false;
    }
    singleInstance.pollRequests([this] { window.showAndRaise(); });
    window.applyPendingResize();

    if (hooks.updateApplication) {
        hooks.updateApplication();
    }
    if (hooks.updateConnectionStatus) {
        hooks.updateConnectionStatus();
    }
    // Enumerating windows is costly, so the window list and the update-check
    // result are looked at once every 60 turns.
    if (++turnCounter >= kSlowDutyInterval) {
        turnCounter = 0;
        if (hooks.everySixtiethTurn) {
            hooks.everySixtiethTurn();
        }
    }

    // A hidden or minimised window shows nothing: no drawing, and a pending
    // redraw request waits for the window to come back.
    if (!window.isVisible()) {
        return true;
    }
    const bool exposed = window.takeRedrawRequest();
    const bool uiChanged = hooks.renderUi && (!hooks.uiNeedsFrame || hooks.uiNeedsFrame());
    if (exposed || uiChanged) {
        window.clear();
        if (hooks.renderUi) {
            hooks.renderUi();
        }
        window.present();
    }
    return true;
}

void MainLoop::run() {
    while (turn()) {
    }
}

} // namespace quillane::host
