#include "main/UpdateNotice.h"

#include "app/Settings.h"

namespace quillane::host {

std::optional<UpdateInfo> UpdateNotice::poll(const UpdateChecker& checker, const Settings& settings) {
    if (!checker.isUpdateAvailable()) return std::nullopt;
    UpdateInfo info = checker.getUpdateInfo();
    if (info.version == shownVersion || info.version == settings.values().dismissedVersion) return std::nullopt;
    shownVersion = info.version;
    return info;
}

}  // namespace quillane::host
