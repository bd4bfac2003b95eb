#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "app/UpdateChecker.h"

namespace quillane::host {

class Settings;
class UIManager;

// The update side of the host window: hands a newer version than the running
// one that the user has not dismissed to the UI, once per version, and keeps
// "Check Now" and "Last checked:" in step with the checker.
class UpdateNotice {
public:
    std::optional<UpdateInfo> poll(const UpdateChecker& checker, const Settings& settings);

    // Every 60th turn: offers an update to the UI while it shows none, then
    // shows the check's state.
    void offer(const UpdateChecker* checker, const Settings& settings, UIManager& ui, std::int64_t now);
    // "Checking..." while a check runs (whoever started it), else how the last
    // one went. Cheap: the loop calls it every turn while the UI shows a check.
    static void showCheckState(const UpdateChecker* checker, const Settings& settings, UIManager& ui,
                               std::int64_t now);

private:
    std::string shownVersion;
};

// "Last checked:" text: how long ago the last check ran, and whether it failed.
std::string lastUpdateCheckText(bool lastCheckFailed, std::int64_t lastUpdateCheck, std::int64_t now);

}  // namespace quillane::host
