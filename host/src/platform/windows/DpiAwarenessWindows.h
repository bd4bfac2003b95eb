#pragma once

#include <windows.h>

namespace quillane::host {

// Finds a user32 function by name; null when this Windows lacks it.
using User32Lookup = FARPROC (*)(const char* name);
FARPROC findUser32Function(const char* name);

// Makes the process per-monitor DPI aware (version 2). SetProcessDpiAwarenessContext
// came with Windows 10 1703, so it is looked up at run time: where it is missing
// the program still starts, unscaled. True when the function was there and
// agreed; `lookup` is for tests.
bool enablePerMonitorDpiAwareness(User32Lookup lookup = findUser32Function);

}  // namespace quillane::host
