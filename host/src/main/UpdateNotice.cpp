#include "main/UpdateNotice.h"

#include "app/Settings.h"
#include "main/HostRun.h"
#include "ui/UIManager.h"

namespace quillane::host {

std::optional<UpdateInfo> UpdateNotice::poll(const UpdateChecker& checker, const Settings& settings) {
    if (!checker.isUpdateAvailable()) return std::nullopt;
    UpdateInfo info = checker.getUpdateInfo();
    if (info.version == shownVersion || info.version == settings.values().dismissedVersion) return std::nullopt;
    shownVersion = info.version;
    return info;
}

void UpdateNotice::offer(const UpdateChecker* checker, const Settings& settings, UIManager& ui, std::int64_t now) {
    if (checker && !ui.isUpdateNotificationShown()) {
        if (auto update = poll(*checker, settings)) ui.setUpdateAvailable(*update);
    }
    showCheckState(checker, settings, ui, now);
}

void UpdateNotice::showCheckState(const UpdateChecker* checker, const Settings& settings, UIManager& ui,
                                  std::int64_t now) {
    // Without a checker nothing runs, so a click's "Checking..." ends here.
    const bool running = checker && checker->isCheckInProgress();
    ui.updateCheckInProgress = running;
    if (running) return;
    ui.lastUpdateCheckText =
        lastUpdateCheckText(checker && checker->lastCheckFailed(), settings.values().lastUpdateCheck, now);
}

std::string lastUpdateCheckText(bool lastCheckFailed, std::int64_t lastUpdateCheck, std::int64_t now) {
    // The stamp is the last check's, whatever its outcome.
    const std::string when = FormatLastUpdateCheck(lastUpdateCheck, now);
    if (!lastCheckFailed) return when;
    return lastUpdateCheck == 0 ? "Failed" : "Failed (" + when + ")";
}

}  // namespace quillane::host
