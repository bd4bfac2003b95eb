#pragma once

#include <windows.h>

#include <filesystem>

namespace quillane::host {

// Loads a runtime library that a driver installs into the system folder (the
// encoder runtimes of the graphics vendors) from that folder only: never from
// the program's folder or the current one, where a planted file of the same
// name would otherwise be loaded. Null when it is not there (GetLastError says why).
HMODULE loadSystemLibrary(const wchar_t* name);

// Tests: load from `folder` instead (where the fake runtimes are built); an
// empty path returns to the system folder. Set it before anything loads.
void setSystemLibraryFolderForTesting(const std::filesystem::path& folder);

}  // namespace quillane::host
