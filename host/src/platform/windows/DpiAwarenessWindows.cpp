#include "platform/windows/DpiAwarenessWindows.h"

namespace quillane::host {

FARPROC findUser32Function(const char* name) {
    HMODULE user32 = GetModuleHandleW(L"user32.dll");
    return user32 ? GetProcAddress(user32, name) : nullptr;
}

bool enablePerMonitorDpiAwareness(User32Lookup lookup) {
    using SetContext = BOOL(WINAPI*)(DPI_AWARENESS_CONTEXT);
    const auto set = reinterpret_cast<SetContext>(
        reinterpret_cast<void (*)()>(lookup("SetProcessDpiAwarenessContext")));
    return set && set(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
}

}  // namespace quillane::host
