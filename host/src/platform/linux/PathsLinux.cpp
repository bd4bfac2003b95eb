#include "platform/Paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace quillane::host {
namespace {

std::filesystem::path homeFolder() {
    if (const char* home = std::getenv("HOME"); home && home[0] == '/') return home;
    // No usable HOME (a service, a scrubbed environment): ask the user database.
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir && found->pw_dir[0] == '/')
        return found->pw_dir;
    return {};
}

// The XDG base-directory rule: the variable when it holds an absolute path,
// otherwise the fallback under the home folder.
std::filesystem::path xdgFolder(const char* variable, const char* fallbackUnderHome) {
    if (const char* value = std::getenv(variable); value && value[0] == '/')
        return std::filesystem::path(value) / "Quillane";
    const auto home = homeFolder();
    if (home.empty()) return {};
    return home / fallbackUnderHome / "Quillane";
}

}  // namespace

std::filesystem::path appConfigFolder() { return xdgFolder("XDG_CONFIG_HOME", ".config"); }

std::filesystem::path appStateFolder() { return xdgFolder("XDG_STATE_HOME", ".local/state"); }

std::filesystem::path executableFolder() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path() : exe.parent_path();
}

}  // namespace quillane::host
