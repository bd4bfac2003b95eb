#pragma once

#include "main/MainLoop.h"
#include "platform/UserMessage.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace quillane::host {

class HostWindow;
class PlatformRuntime;
class SingleInstance;
class TrayIcon;
class Application;
class UpdateChecker;

// The platform's services for one run of the host; the entry point owns them.
struct HostServices {
    SingleInstance& singleInstance;
    PlatformRuntime& runtime;
    HostWindow& window;
    TrayIcon& tray;
    // The log file's path as UTF-8, asked for when logging starts; may throw.
    std::function<std::string()> logFilePath;
    // Tells the user what ended the program early.
    std::function<void(UserMessageKind, const std::string& title, const std::string& text)> tellUser =
        showUserMessage;
    // Creates and initialises Application and hangs it into the turn hooks;
    // false ends the start-up. Left empty, the host runs without it (tests).
    std::function<bool(TurnHooks& hooks)> startApplication{};
    // Shuts Application down and destroys it (also after a failed start).
    std::function<void()> stopApplication{};
    // The update checker made once Application is initialised; left empty, one
    // that asks the product's update service (tests give a local service).
    std::function<std::unique_ptr<UpdateChecker>()> makeUpdateChecker{};
    // The host window's UI: attaches its log sink once logging is up, is created
    // after Application (false ends the start-up) and goes before it.
    std::function<void()> loggingReady{};
    std::function<bool(TurnHooks& hooks)> startUi{};
    std::function<void()> stopUi{};
};

// Start-up, main loop and shutdown, after the crash handler is in place. Returns
// the process's exit code: 0 after a normal end or when another host was already
// running (it is asked to show its window), 1 when start-up failed or an
// exception ended the run. Every way out tears down in order: the UI, then
// Application, then the window's device and the window, the platform runtime,
// the single-instance guard and logging.
int runHost(HostServices& services);

// How long ago the last update check ran, from seconds since 1970 (UTC):
// "Never" for 0, then "Just now", "N minutes ago", "N hours ago", "N days ago".
std::string FormatLastUpdateCheck(std::int64_t lastUpdateCheck, std::int64_t now);
std::string FormatLastUpdateCheck(std::int64_t lastUpdateCheck);

} // namespace quillane::host
