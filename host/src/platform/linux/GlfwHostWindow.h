#pragma once

#include "platform/HostWindow.h"
#include "platform/PlatformRuntime.h"
#include "platform/linux/XRandrScreenWatcher.h"

struct GLFWwindow;

namespace quillane::host {

// GLFW itself: its start and end around the window's life.
class GlfwRuntime final : public PlatformRuntime {
public:
    bool initialize(std::string& error) override;
    void shutdown() override;
    std::string streamingOptimizations() const override;

private:
    bool initialized = false;
};

// The host window on Linux: a 1400 x 900 GLFW window with an OpenGL 3 context,
// presented with vertical sync.
class GlfwHostWindow final : public HostWindow {
public:
    GlfwHostWindow();
    ~GlfwHostWindow() override;

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

    GLFWwindow* nativeWindow() const { return window; }
    std::uint32_t windowId() const override;

private:
    static void onClose(GLFWwindow* window);
    static void onIconify(GLFWwindow* window, int iconified);
    static void onFramebufferSize(GLFWwindow* window, int width, int height);
    static void onRefresh(GLFWwindow* window);

    GLFWwindow* window = nullptr;
    XRandrScreenWatcher screenWatcher;
    bool hideToTray = false;
    bool redraw = true;
    int resizeWidth = 0;
    int resizeHeight = 0;
};

} // namespace quillane::host
