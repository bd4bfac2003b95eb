#pragma once

#include "ui/UIManager.h"
#include "ui/UISink.h"
#include "main/UpdateNotice.h"

#include <chrono>
#include <cstdint>
#include <memory>

namespace quillane::host {

class Application;
class ApplicationWiring;
struct HostServices;
struct TurnHooks;

// Gives runHost the host window's UI: its log sink from the logging set-up on
// (empty until the UI exists, emptied before it goes), the UIManager created
// after Application and wired to it, and the UI's duties in each turn.
class UIWiring {
public:
    UIWiring(HostServices& services, ApplicationWiring& application);
    ~UIWiring();
    UIWiring(const UIWiring&) = delete;
    UIWiring& operator=(const UIWiring&) = delete;

    // The connection as the UI shows it, from what Application knows now;
    // frames per second are counted over at least a second.
    ConnectionStatus connectionStatus(Application& application, std::chrono::steady_clock::time_point now);

    // The settings-changed handler: applies to Application only what changed
    // since the last edit and marks the settings file for saving.
    void applyEdit(Application& application, const UISettings& edited);
    // Saves a marked edit once the user lets go of the control, or at most once
    // a second while a slider is dragged; `force` saves at once.
    void flushSettings(Application& application, std::chrono::steady_clock::time_point now, bool force);

private:
    bool start(HostServices& services, Application& application, TurnHooks& hooks);
    void wireCallbacks(Application& application);
    void stop();

    std::shared_ptr<UISinkMt> sink;
    std::unique_ptr<UIManager> ui;
    Application* app = nullptr;
    UpdateNotice updateNotice;
    ApplicationWiring& wiring;  // the update checker
    UISettings applied;  // what Application was last given
    bool savePending = false;
    std::chrono::steady_clock::time_point savedAt{};
    std::chrono::steady_clock::time_point fpsSampledAt{};
    std::uint64_t fpsFrames = 0;
    std::optional<std::uint32_t> fps;
    bool wasConnected = false;
};

}  // namespace quillane::host
