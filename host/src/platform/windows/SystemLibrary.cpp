#include "platform/windows/SystemLibrary.h"

namespace quillane::host {
namespace {

std::filesystem::path& testFolder() {
    static std::filesystem::path folder;
    return folder;
}

}  // namespace

HMODULE loadSystemLibrary(const wchar_t* name) {
    if (!testFolder().empty()) {
        const std::filesystem::path path = testFolder() / name;
        // Its own dependencies still come from the system folder.
        return LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
    return LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

void setSystemLibraryFolderForTesting(const std::filesystem::path& folder) {
    testFolder() = folder;
}

}  // namespace quillane::host
