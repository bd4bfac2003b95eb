#pragma once

// State and commands that the host window, its tray icon and the
// single-instance guard share on Windows. Main thread only, except where the
// crash handler reads them.

#include <windows.h>
#include <shellapi.h>

#include <string>
#include <string_view>

namespace quillane::host {

constexpr UINT WM_TRAYICON = WM_USER + 1;
constexpr UINT ID_TRAY_SHOW_HIDE = 1001;
constexpr UINT ID_TRAY_EXIT = 1002;
constexpr UINT ID_TRAY_CHECK_UPDATES = 1003;

constexpr const wchar_t* kWindowClassName = L"QuillaneHostClass";
constexpr const wchar_t* kWindowTitle = L"Quillane Host";

// The tray icon record, kept for the whole run (see TrayIconWindows.cpp).
extern NOTIFYICONDATAW g_trayIcon;
extern bool g_trayIconAdded;

// The named single-instance mutex; null when not held (see SingleInstanceWindows.cpp).
extern HANDLE g_singleInstanceMutex;
void ReleaseSingleInstanceMutex();

// Shows, restores and raises the window.
void ShowFromTray(HWND window);

// Shows the tray icon's popup menu at the cursor; its choice arrives as WM_COMMAND.
void ShowTrayMenu(HWND window);

// The message the shell broadcasts when it has created a new taskbar (0 when
// it cannot be registered), and the re-adding of the icon that it calls for;
// false when there is no icon any more.
UINT TaskbarCreatedMessage();
bool RestoreTrayIcon();

std::wstring toWide(std::string_view utf8);

} // namespace quillane::host
