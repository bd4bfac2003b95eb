#pragma once

#include "platform/HostWindow.h"
#include "platform/PlatformRuntime.h"

#include <windows.h>

#include <functional>

struct ID3D11Device;
struct ID3D11DeviceContext;

namespace quillane::host {

// COM's single-threaded apartment for the main thread.
class ComRuntime final : public PlatformRuntime {
public:
    bool initialize(std::string& error) override;
    void shutdown() override;
    std::string streamingOptimizations() const override;

private:
    bool initialized = false;
};

// The host window on Windows: class "QuillaneHostClass", a 1400 x 900 window
// "Quillane Host" and the Direct3D 11 device and swap chain the UI draws on.
// There is one per process; its window procedure is `WindowProc`.
class Win32HostWindow final : public HostWindow {
public:
    Win32HostWindow(HINSTANCE instance, int showCommand);
    ~Win32HostWindow() override;

    bool create(std::string& error) override;
    void show() override;
    bool pumpMessages(std::chrono::milliseconds wait) override;
    void applyPendingResize() override;
    void clear() override;
    void present() override;
    double displayRefreshRate() const override;
    bool takeRedrawRequest() override;
    bool isVisible() const override;
    void showAndRaise() override;
    void setHideToTray(bool hide) override;
    void destroy() override;

    HWND handle() const;
    std::uint32_t windowId() const override;
    ID3D11Device* device() const;
    ID3D11DeviceContext* deviceContext() const;

    // Offered every window message first (the UI); true means handled.
    std::function<bool(HWND, UINT, WPARAM, LPARAM)> messageHook;

private:
    HINSTANCE instance;
    int showCommand;
    bool classRegistered = false;
};

} // namespace quillane::host
