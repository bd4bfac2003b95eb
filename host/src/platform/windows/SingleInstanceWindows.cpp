#include "platform/windows/SingleInstanceWindows.h"

#include "platform/CrashHandler.h"
#include "platform/UserMessage.h"
#include "platform/windows/Win32Shell.h"

namespace quillane::host {

HANDLE g_singleInstanceMutex = nullptr;

void ReleaseSingleInstanceMutex() {
    if (g_singleInstanceMutex) {
        ReleaseMutex(g_singleInstanceMutex);
        CloseHandle(g_singleInstanceMutex);
        g_singleInstanceMutex = nullptr;
    }
}

namespace {
void releaseMutexOnCrash() noexcept {
    ReleaseSingleInstanceMutex();
}
} // namespace

Win32SingleInstance::Win32SingleInstance(std::wstring mutexName) : mutexName(std::move(mutexName)) {}

Win32SingleInstance::~Win32SingleInstance() {
    release();
}

bool Win32SingleInstance::acquire() {
    // Into a local first: only the holder's handle belongs in the global that
    // the crash handler releases.
    HANDLE mutex = CreateMutexW(nullptr, TRUE, mutexName.c_str());
    DWORD error = GetLastError();
    // ACCESS_DENIED: the mutex exists but was made by a process whose security
    // does not let us open it (another elevation level): a host is running.
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_ACCESS_DENIED) {
        if (mutex) {
            CloseHandle(mutex);
        }
        return false;
    }
    g_singleInstanceMutex = mutex;
    held = true;
    static bool cleanupRegistered = registerCrashCleanup(releaseMutexOnCrash);
    (void)cleanupRegistered;
    return true;
}

void Win32SingleInstance::handOverToRunningInstance() {
    if (HWND running = FindWindowW(kWindowClassName, nullptr)) {
        ShowWindow(running, SW_RESTORE);
        SetForegroundWindow(running);
    }
    showUserMessage(UserMessageKind::Information, "Quillane Host",
                    "Quillane Host is already running.\n\nCheck the system tray.");
}

void Win32SingleInstance::release() {
    if (held) {
        held = false;
        ReleaseSingleInstanceMutex();
    }
}

} // namespace quillane::host
