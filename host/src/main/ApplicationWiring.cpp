#include "main/ApplicationWiring.h"

#include "app/Application.h"
#include "app/UpdateChecker.h"
#include "common/Version.h"
#include "capture/WindowEnumerator.h"
#include "main/HostRun.h"
#include "platform/HostWindow.h"

#include <spdlog/spdlog.h>

namespace quillane::host {
namespace {

std::unique_ptr<UpdateChecker> productUpdateChecker() {
    auto checker = std::make_unique<UpdateChecker>();
    checker->setCurrentVersion(kHostVersion);
    checker->setUpdateUrl(kDefaultUpdateUrl);
    return checker;
}

}  // namespace

ApplicationWiring::ApplicationWiring(HostServices& services) {
    services.startApplication = [this, &services](TurnHooks& hooks) {
        // The host's own window is never offered to clients.
        WindowEnumerator::setOwnWindowIds(std::vector<std::uint32_t>{services.window.windowId()});
        application = std::make_unique<Application>();
        running = application->initialize();
        if (!running) return false;
        SPDLOG_INFO("Initializing update checker...");
        checker = services.makeUpdateChecker ? services.makeUpdateChecker() : productUpdateChecker();
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
        checker.reset();
        application.reset();
    };
}

ApplicationWiring::~ApplicationWiring() = default;

void ApplicationWiring::checkForUpdates(bool force) {
    if (application) startUpdateCheck(checker.get(), application->getSettings(), force);
}

void ApplicationWiring::wireUpdateCheck(HostWindow& window) {
    window.onCheckForUpdates = [this] { checkForUpdates(true); };
    if (application->getSettings().values().autoCheckUpdates) {
        SPDLOG_INFO("Checking for updates on startup...");
        checkForUpdates(false);
    }
}

}  // namespace quillane::host
