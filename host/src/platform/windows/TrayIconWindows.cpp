#include "platform/windows/TrayIconWindows.h"

#include "platform/CrashHandler.h"
#include "platform/windows/HostWindowWindows.h"
#include "platform/windows/Win32Shell.h"

#include <spdlog/spdlog.h>

#include <cwchar>

namespace quillane::host {

NOTIFYICONDATAW g_trayIcon{};
bool g_trayIconAdded = false;

namespace {
// The icon must not outlive a crashed process in the notification area.
void removeTrayIconOnCrash() noexcept {
    if (g_trayIconAdded) {
        Shell_NotifyIconW(NIM_DELETE, &g_trayIcon);
        g_trayIconAdded = false;
    }
}
} // namespace

bool Win32TrayIcon::add(HostWindow& window) {
    HWND hwnd = static_cast<Win32HostWindow&>(window).handle();
    g_trayIcon = NOTIFYICONDATAW{};
    g_trayIcon.cbSize = sizeof(g_trayIcon);
    g_trayIcon.hWnd = hwnd;
    g_trayIcon.uID = 1;
    g_trayIcon.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    g_trayIcon.uCallbackMessage = WM_TRAYICON;
    g_trayIcon.hIcon = LoadIconW(GetModuleHandleW(nullptr), L"IDI_APPICON");
    if (!g_trayIcon.hIcon) {
        g_trayIcon.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    }
    wcsncpy(g_trayIcon.szTip, L"Quillane Host - Waiting for connection", std::size(g_trayIcon.szTip) - 1);
    if (!Shell_NotifyIconW(NIM_ADD, &g_trayIcon)) {
        return false;
    }
    // The shell's announcement of a new taskbar reaches an elevated host too.
    if (const UINT created = TaskbarCreatedMessage()) {
        ChangeWindowMessageFilterEx(hwnd, created, MSGFLT_ALLOW, nullptr);
    }
    g_trayIconAdded = true;
    static bool cleanupRegistered = registerCrashCleanup(removeTrayIconOnCrash);
    (void)cleanupRegistered;
    return true;
}

void Win32TrayIcon::remove() {
    if (g_trayIconAdded) {
        Shell_NotifyIconW(NIM_DELETE, &g_trayIcon);
        g_trayIconAdded = false;
    }
}

UINT TaskbarCreatedMessage() {
    static const UINT message = RegisterWindowMessageW(L"TaskbarCreated");
    return message;
}

bool RestoreTrayIcon() {
    if (!g_trayIconAdded) {
        return false;
    }
    // The icon went with the old taskbar (Explorer restarted); a shell that
    // still shows it would refuse a second add, so it is removed first.
    Shell_NotifyIconW(NIM_DELETE, &g_trayIcon);
    if (Shell_NotifyIconW(NIM_ADD, &g_trayIcon)) {
        SPDLOG_INFO("System tray icon restored");
        return true;
    }
    g_trayIconAdded = false;
    SPDLOG_WARN("Failed to restore system tray icon");
    return false;
}

void ShowTrayMenu(HWND window) {
    POINT cursor{};
    GetCursorPos(&cursor);
    HMENU menu = CreatePopupMenu();
    if (!menu) {
        return;
    }
    AppendMenuW(menu, MF_STRING, ID_TRAY_SHOW_HIDE, IsWindowVisible(window) ? L"Hide Window" : L"Show Window");
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, ID_TRAY_CHECK_UPDATES, L"Check for Updates");
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, ID_TRAY_EXIT, L"Exit");
    // Without the foreground the menu would not close when the user clicks elsewhere.
    SetForegroundWindow(window);
    TrackPopupMenu(menu, TPM_BOTTOMALIGN, cursor.x, cursor.y, 0, window, nullptr);
    // Lets the menu close when the user clicks elsewhere the next time it opens.
    PostMessageW(window, WM_NULL, 0, 0);
    DestroyMenu(menu);
}

} // namespace quillane::host
