#pragma once

#include <optional>
#include <string>

#include "app/UpdateChecker.h"

namespace quillane::host {

class Settings;

// What the main loop's every-60th-turn look at the update check hands on: a
// newer version than the running one that the user has not dismissed, once
// per version.
class UpdateNotice {
public:
    std::optional<UpdateInfo> poll(const UpdateChecker& checker, const Settings& settings);

private:
    std::string shownVersion;
};

}  // namespace quillane::host
