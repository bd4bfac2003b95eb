#pragma once

#include <memory>

namespace quillane::host {

class Application;
class HostWindow;
struct HostServices;
struct TurnHooks;

// Gives runHost the host's Application: created and initialised during
// start-up, updated every main-loop turn, shut down and destroyed before the
// window goes. Lives as long as the services it is attached to.
class ApplicationWiring {
public:
    explicit ApplicationWiring(HostServices& services);
    ~ApplicationWiring();
    ApplicationWiring(const ApplicationWiring&) = delete;
    ApplicationWiring& operator=(const ApplicationWiring&) = delete;

    // The running Application; null outside start-up to shutdown.
    Application* get() const { return application.get(); }

private:
    // The tray's "Check for Updates" and the start-up check; the UI shows the result.
    void wireUpdateCheck(HostWindow& window);

    std::unique_ptr<Application> application;
    bool running = false;
};

}  // namespace quillane::host
