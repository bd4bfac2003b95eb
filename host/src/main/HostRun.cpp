#include "main/HostRun.h"

#include "app/Logging.h"
#include "common/Version.h"
#include "main/MainLoop.h"
#include "platform/HostWindow.h"
#include "platform/PlatformRuntime.h"
#include "platform/SingleInstance.h"
#include "platform/TrayIcon.h"

#include <spdlog/spdlog.h>

#include <chrono>
#include <exception>
#include <functional>
#include <vector>

namespace quillane::host {

namespace {

constexpr const char* kFatalTitle = "Quillane Host - Fatal Error";

// One run from logging set-up to the end of logging. Each stage that came up
// records how it is undone, so that every way out undoes exactly those, the
// last one first.
class HostRun {
public:
    explicit HostRun(HostServices& services) : services(services) {}

    int execute() {
        try {
            logPath = services.logFilePath();
            initializeLogging("QuillaneHost", true, 1, logPath);
            loggingUp = true;
            if (services.loggingReady) services.loggingReady();
            SPDLOG_INFO("========================================");
            SPDLOG_INFO("Quillane Host starting...");
            SPDLOG_INFO("Version: {}", kHostVersion);

            std::string error;
            if (!services.runtime.initialize(error)) {
                return failStartup(error);
            }
            cameUp("the platform runtime", [this] { services.runtime.shutdown(); });
            // Recorded before create(): destroy() undoes whatever create() got to.
            cameUp("the window", [this] { services.window.destroy(); });
            if (!services.window.create(error)) {
                return failStartup(error);
            }
            services.window.show();

            if (!services.tray.supported()) {
                SPDLOG_INFO("This platform has no notification-area icon: the window minimises instead of hiding");
                services.window.setHideToTray(false);
            } else if (services.tray.add(services.window)) {
                cameUp("the tray icon", [this] { services.tray.remove(); });
                SPDLOG_INFO("System tray icon created");
            } else {
                SPDLOG_WARN("Failed to create system tray icon");
                services.window.setHideToTray(false);
            }

            // Application and the UI are created, wired and given their turn
            // hooks here; they are torn down first in tearDown().
            TurnHooks hooks;
            if (services.startApplication) {
                // Recorded before the start: stopApplication releases a half-built one too.
                cameUp("the application", [this] { services.stopApplication(); });
                if (!services.startApplication(hooks)) {
                    return failStartup("Failed to initialize application");
                }
            }
            if (services.startUi) {
                cameUp("the UI", [this] { services.stopUi(); });
                if (!services.startUi(hooks)) {
                    return failStartup("Failed to initialize UI");
                }
            }

            SPDLOG_INFO("Streaming optimizations active: {}", services.runtime.streamingOptimizations());
            SPDLOG_INFO("Application initialized, entering main loop...");
            MainLoop loop(services.window, services.singleInstance, std::move(hooks));
            loop.run();

            tearDown();
            finishLogging();
            return 0;
        } catch (const std::exception& e) {
            SPDLOG_CRITICAL("Unhandled exception: {}", e.what());
            tearDown();
            services.tellUser(UserMessageKind::Error, kFatalTitle, e.what());
            finishLogging();
            return 1;
        }
    }

private:
    int failStartup(const std::string& error) {
        SPDLOG_ERROR("{}", error);
        tearDown();
        std::string text = "Quillane Host could not start.\n\n" + error;
        if (!logPath.empty()) {
            text += "\n\nDetails are in the log file " + logPath;
        }
        services.tellUser(UserMessageKind::Error, kFatalTitle, text);
        finishLogging();
        return 1;
    }

    template <typename Step>
    static void guarded(const char* what, Step step) {
        try {
            step();
        } catch (const std::exception& e) {
            SPDLOG_ERROR("Failed to shut down {}: {}", what, e.what());
        }
    }

    void cameUp(const char* what, std::function<void()> undo) { undoSteps.push_back({what, std::move(undo)}); }

    void tearDown() {
        // The UI goes first (it comes in later), then Application, tray, window, runtime.
        while (!undoSteps.empty()) {
            const UndoStep step = std::move(undoSteps.back());
            undoSteps.pop_back();
            guarded(step.what, step.undo);
        }
        guarded("the single-instance guard", [this] { services.singleInstance.release(); });
    }

    void finishLogging() {
        if (loggingUp) {
            SPDLOG_INFO("Quillane Host exiting");
            shutdownLogging();
            loggingUp = false;
        }
    }

    HostServices& services;
    std::string logPath;
    bool loggingUp = false;
    struct UndoStep {
        const char* what;
        std::function<void()> undo;
    };
    std::vector<UndoStep> undoSteps;  // in the order the stages came up
};

} // namespace

int runHost(HostServices& services) {
    if (!services.singleInstance.acquire()) {
        // Nothing is logged here: the log belongs to the running host.
        services.singleInstance.handOverToRunningInstance();
        return 0;
    }
    HostRun run(services);
    return run.execute();
}

std::string FormatLastUpdateCheck(std::int64_t lastUpdateCheck, std::int64_t now) {
    if (lastUpdateCheck == 0) {
        return "Never";
    }
    std::int64_t elapsed = now - lastUpdateCheck;
    if (elapsed < 60) {
        return "Just now";
    }
    if (elapsed < 3600) {
        return std::to_string(elapsed / 60) + " minutes ago";
    }
    if (elapsed < 86400) {
        return std::to_string(elapsed / 3600) + " hours ago";
    }
    return std::to_string(elapsed / 86400) + " days ago";
}

std::string FormatLastUpdateCheck(std::int64_t lastUpdateCheck) {
    auto now = std::chrono::duration_cast<std::chrono::seconds>(
                   std::chrono::system_clock::now().time_since_epoch())
                   .count();
    return FormatLastUpdateCheck(lastUpdateCheck, now);
}

} // namespace quillane::host
