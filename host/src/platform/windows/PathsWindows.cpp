#include "platform/Paths.h"

#include <windows.h>
#include <shlobj.h>

namespace quillane::host {
namespace {

// The wide call: the ANSI one mangles profile folders outside the code page.
std::filesystem::path localAppDataFolder() {
    wchar_t buffer[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, buffer)))
        return {};
    return std::filesystem::path(buffer) / L"Quillane";
}

}  // namespace

std::filesystem::path appConfigFolder() { return localAppDataFolder(); }

std::filesystem::path appStateFolder() { return localAppDataFolder(); }

std::filesystem::path executableFolder() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length == MAX_PATH) return {};
    return std::filesystem::path(path).parent_path();
}

}  // namespace quillane::host
