#include "main/ApplicationWiring.h"

#include "app/Application.h"
#include "capture/WindowEnumerator.h"
#include "main/HostRun.h"
#include "platform/HostWindow.h"

#include <spdlog/spdlog.h>

namespace quillane::host {

ApplicationWiring::ApplicationWiring(HostServices& services) {
    services.startApplication = [this, &services](TurnHooks& hooks) {
        // The host's own window is never offered to clients.
        WindowEnumerator::setOwnWindowIds(std::vector<std::uint32_t>{services.window.windowId()});
        application = std::make_unique<Application>();
        running = application->initialize();
        if (!running) return false;
        if (services.applicationReady) services.applicationReady(*application);
        hooks.updateApplication = [app = application.get()] { app->update(); };
        services.window.onDisplayChange = [app = application.get()] { app->onDisplayChange(); };
        wireUpdateCheck(services.window);
        return true;
    };
    services.stopApplication = [this, &services] {
        services.window.onDisplayChange = nullptr;
        services.window.onCheckForUpdates = nullptr;
        // After a failed start the destructor releases what was created.
        if (running) application->shutdown();
        running = false;
        application.reset();
    };
}

ApplicationWiring::~ApplicationWiring() = default;

void ApplicationWiring::wireUpdateCheck(HostWindow& window) {
    Application* app = application.get();
    window.onCheckForUpdates = [app] { app->checkForUpdatesAsync(true); };
    if (app->getSettings().values().autoCheckUpdates) {
        SPDLOG_INFO("Checking for updates on startup...");
        app->checkForUpdatesAsync(false);
    }
}

}  // namespace quillane::host
