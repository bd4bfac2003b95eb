#pragma once

#include <memory>

namespace quillane::host {

class Application;
class UpdateChecker;
class HostWindow;
struct HostServices;
struct TurnHooks;

// Gives runHost the host's Application: created and initialised during
// start-up, updated every main-loop turn, shut down and destroyed before the
// window goes; and the update checker, which lives while Application does.
// Lives as long as the services it is attached to.
// Threads: the main thread; a check runs on the checker's own thread.
class ApplicationWiring {
public:
    explicit ApplicationWiring(HostServices& services);
    ~ApplicationWiring();
    ApplicationWiring(const ApplicationWiring&) = delete;
    ApplicationWiring& operator=(const ApplicationWiring&) = delete;

    // The running Application; null outside start-up to shutdown.
    Application* get() const { return application.get(); }
    // Null outside start-up to shutdown.
    UpdateChecker* updateChecker() const { return checker.get(); }
    // An update check on the checker's thread; unless forced, at most one a day.
    void checkForUpdates(bool force);

private:
    // The tray's "Check for Updates" and the start-up check; the UI shows the result.
    void wireUpdateCheck(HostWindow& window);

    std::unique_ptr<Application> application;
    // Its check thread stamps Application's settings: released (cancelled and joined) first.
    std::unique_ptr<UpdateChecker> checker;
    bool running = false;
};

}  // namespace quillane::host
