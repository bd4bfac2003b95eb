// The host on Linux, for the entry point and the tests.

#include "app/Logging.h"
#include "platform/linux/X11ErrorTrap.h"
#include "main/ApplicationWiring.h"
#include "main/HostRun.h"
#include "main/linux/LinuxHost.h"
#include "main/UIWiring.h"
#include "platform/CrashHandler.h"
#include "platform/Paths.h"
#include "platform/linux/ExitSignals.h"
#include "platform/linux/GlfwHostWindow.h"
#include "platform/linux/SingleInstanceLinux.h"
#include "platform/linux/TrayIconLinux.h"
#include "platform/linux/X11DisplayLoss.h"

namespace quillane::host {

int runLinuxHost(std::function<std::unique_ptr<UpdateChecker>()> makeUpdateChecker) {
    installCrashHandler();
    installExitSignalHandlers();
    // Before any thread opens a display: its loss then ends the host once.
    installX11DisplayLossHandler();

    LinuxSingleInstance singleInstance;
    const auto runtime = createGlfwRuntime();
    const auto window = createGlfwHostWindow();
    LinuxTrayIcon tray;
    HostServices services{singleInstance, *runtime, *window, tray, [] { return pathToUtf8(GetLogFilePath()); }};
    services.makeUpdateChecker = std::move(makeUpdateChecker);
    ApplicationWiring application(services);
    UIWiring ui(services, application);
    // GLFW puts Xlib's exiting error handler back while it creates the window;
    // capture connections rely on the recording one.
    services.startApplication = [start = services.startApplication](TurnHooks& hooks) {
        X11ErrorTrap::reinstall();
        return start(hooks);
    };
    return runHost(services);
}

}  // namespace quillane::host
