#include "main/ApplicationWiring.h"

#include "app/Application.h"
#include "main/HostRun.h"

namespace quillane::host {

ApplicationWiring::ApplicationWiring(HostServices& services) {
    services.startApplication = [this](TurnHooks& hooks) {
        application = std::make_unique<Application>();
        running = application->initialize();
        if (!running) return false;
        hooks.updateApplication = [app = application.get()] { app->update(); };
        return true;
    };
    services.stopApplication = [this] {
        // After a failed start the destructor releases what was created.
        if (running) application->shutdown();
        running = false;
        application.reset();
    };
}

ApplicationWiring::~ApplicationWiring() = default;

}  // namespace quillane::host
