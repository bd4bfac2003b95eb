#pragma once

#include "ui/UIManager.h"
#include "ui/UISink.h"

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

private:
    bool start(HostServices& services, Application& application, TurnHooks& hooks);
    void wireCallbacks(Application& application);
    void stop();

    std::shared_ptr<UISinkMt> sink;
    std::unique_ptr<UIManager> ui;
    std::chrono::steady_clock::time_point fpsSampledAt{};
    std::uint64_t fpsFrames = 0;
    std::optional<std::uint32_t> fps;
    bool wasConnected = false;
};

}  // namespace quillane::host
