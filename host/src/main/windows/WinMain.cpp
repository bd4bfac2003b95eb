// Entry point on Windows: a GUI process without command-line options.

#include "app/Logging.h"
#include "main/ApplicationWiring.h"
#include "main/HostRun.h"
#include "main/UIWiring.h"
#include "platform/CrashHandler.h"
#include "platform/Paths.h"
#include "platform/windows/DpiAwarenessWindows.h"
#include "platform/windows/HostWindowWindows.h"
#include "platform/windows/SingleInstanceWindows.h"
#include "platform/windows/TrayIconWindows.h"

#include <windows.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    using namespace quillane::host;
    installCrashHandler();
    enablePerMonitorDpiAwareness();

    Win32SingleInstance singleInstance;
    ComRuntime runtime;
    Win32HostWindow window(instance, showCommand);
    Win32TrayIcon tray;
    HostServices services{singleInstance, runtime, window, tray, [] { return pathToUtf8(GetLogFilePath()); }};
    ApplicationWiring application(services);
    UIWiring ui(services, application);
    return runHost(services);
}
