#pragma once

#include <memory>

#include "main/UpdateNotice.h"

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

private:
    // The tray's "Check for Updates", the start-up check and the look at its result.
    void wireUpdateCheck(HostWindow& window, TurnHooks& hooks);

    std::unique_ptr<Application> application;
    bool running = false;
    UpdateNotice updateNotice;
};

}  // namespace quillane::host
