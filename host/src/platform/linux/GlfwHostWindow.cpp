#include "platform/linux/GlfwHostWindow.h"

#include "platform/linux/ExitSignals.h"
#include "platform/linux/ProcessPriorityLinux.h"
#include "platform/linux/XRandrScreenWatcher.h"

#include "platform/linux/DriverLeakPause.h"

#include <GLFW/glfw3.h>
#define GLFW_EXPOSE_NATIVE_X11
#include <GLFW/glfw3native.h>
#include <utility>

#include <spdlog/spdlog.h>

namespace quillane::host {

namespace {
constexpr int kWidth = 1400;
constexpr int kHeight = 900;
constexpr const char* kTitle = "Quillane Host";


std::string lastGlfwError() {
    const char* description = nullptr;
    int code = glfwGetError(&description);
    if (code == GLFW_NO_ERROR) {
        return "unknown error";
    }
    return description ? description : "error " + std::to_string(code);
}

void onGlfwError(int code, const char* description) {
    SPDLOG_ERROR("GLFW error {}: {}", code, description ? description : "");
}

// GLFW itself: its start and end around the window's life.
class GlfwRuntime final : public PlatformRuntime {
public:
    bool initialize(std::string& error) override {
        glfwSetErrorCallback(onGlfwError);
        if (!glfwInit()) {
            error = "Failed to initialize GLFW: " + lastGlfwError();
            return false;
        }
        initialized = true;
        return true;
    }

    void shutdown() override {
        if (initialized) {
            glfwTerminate();
            initialized = false;
        }
    }

    std::string streamingOptimizations() const override {
        return canRaiseProcessPriority() ? "Priority Boost" : "none";
    }

private:
    bool initialized = false;
};

// The host window on Linux: a 1400 x 900 GLFW window with an OpenGL 3 context,
// presented with vertical sync.
class GlfwHostWindow final : public HostWindow {
public:
    ~GlfwHostWindow() override {
        destroy();
    }

    bool create(std::string& error) override {
        const DriverLoadLeakPause pause;
        glfwDefaultWindowHints();
        glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 3);
        glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 0);
        glfwWindowHint(GLFW_VISIBLE, GLFW_FALSE);
        window = glfwCreateWindow(kWidth, kHeight, kTitle, nullptr, nullptr);
        if (!window) {
            error = "Failed to create window: " + lastGlfwError();
            return false;
        }
        glfwSetWindowUserPointer(window, this);
        glfwSetWindowCloseCallback(window, onClose);
        glfwSetWindowIconifyCallback(window, onIconify);
        glfwSetFramebufferSizeCallback(window, onFramebufferSize);
        glfwSetWindowRefreshCallback(window, onRefresh);
        if (!screenWatcher.open()) {
            SPDLOG_WARN("Display changes cannot be followed: the X server has no RandR");
        }

        glfwMakeContextCurrent(window);
        glfwSwapInterval(1);
        SPDLOG_INFO("OpenGL context created: {}", reinterpret_cast<const char*>(glGetString(GL_VERSION)));
        return true;
    }

    void show() override {
        glfwShowWindow(window);
        redraw = true;
    }

    bool pumpMessages(std::chrono::milliseconds wait) override {
        if (exitSignalReceived()) {
            return false;
        }
        if (wait.count() > 0) {
            glfwWaitEventsTimeout(std::chrono::duration<double>(wait).count());
        } else {
            glfwPollEvents();
        }
        if (screenWatcher.takeChange()) {
            if (onDisplayChange) {
                onDisplayChange();
            }
            SPDLOG_INFO("Display configuration changed");
            redraw = true;
        }
        return !exitSignalReceived();
    }

    void applyPendingResize() override {
        if (resizeWidth != 0 && resizeHeight != 0) {
            glViewport(0, 0, resizeWidth, resizeHeight);
            resizeWidth = 0;
            resizeHeight = 0;
        }
    }

    void clear() override {
        glClearColor(0.06f, 0.06f, 0.10f, 1.0f);
        glClear(GL_COLOR_BUFFER_BIT);
    }

    void present() override {
        glfwSwapBuffers(window);
    }

    bool isVisible() const override {
        return window && glfwGetWindowAttrib(window, GLFW_VISIBLE) && !glfwGetWindowAttrib(window, GLFW_ICONIFIED);
    }

    bool takeRedrawRequest() override {
        return std::exchange(redraw, false);
    }

    double displayRefreshRate() const override {
        GLFWmonitor* monitor = glfwGetPrimaryMonitor();
        const GLFWvidmode* mode = monitor ? glfwGetVideoMode(monitor) : nullptr;
        return mode ? mode->refreshRate : 0.0;
    }

    void showAndRaise() override {
        glfwShowWindow(window);
        glfwRestoreWindow(window);
        glfwFocusWindow(window);
        redraw = true;
    }

    void setHideToTray(bool hide) override {
        hideToTray = hide;
    }

    void destroy() override {
        if (!window) {
            return;
        }
        screenWatcher.close();
        glfwMakeContextCurrent(nullptr);
        glfwDestroyWindow(window);
        window = nullptr;
    }

    static void onClose(GLFWwindow* window) {
        // Closing never ends the program; only "Exit" (here: SIGINT or SIGTERM) does.
        glfwSetWindowShouldClose(window, GLFW_FALSE);
        auto* self = static_cast<GlfwHostWindow*>(glfwGetWindowUserPointer(window));
        if (self->hideToTray) {
            glfwHideWindow(window);
        } else {
            glfwIconifyWindow(window);
        }
    }

    static void onIconify(GLFWwindow* window, int iconified) {
        auto* self = static_cast<GlfwHostWindow*>(glfwGetWindowUserPointer(window));
        if (iconified && self->hideToTray) {
            glfwHideWindow(window);
        }
        if (!iconified) {
            self->redraw = true;
        }
    }

    static void onFramebufferSize(GLFWwindow* window, int width, int height) {
        auto* self = static_cast<GlfwHostWindow*>(glfwGetWindowUserPointer(window));
        self->resizeWidth = width;
        self->resizeHeight = height;
        self->redraw = true;
    }

    static void onRefresh(GLFWwindow* window) {
        static_cast<GlfwHostWindow*>(glfwGetWindowUserPointer(window))->redraw = true;
    }

    std::uint32_t windowId() const override {
        return window ? static_cast<std::uint32_t>(glfwGetX11Window(window)) : 0;
    }

    GLFWwindow* nativeWindow() const { return window; }

private:
    GLFWwindow* window = nullptr;
    XRandrScreenWatcher screenWatcher;
    bool hideToTray = false;
    bool redraw = true;
    int resizeWidth = 0;
    int resizeHeight = 0;
};

} // namespace

std::unique_ptr<PlatformRuntime> createGlfwRuntime() { return std::make_unique<GlfwRuntime>(); }

std::unique_ptr<HostWindow> createGlfwHostWindow() { return std::make_unique<GlfwHostWindow>(); }

std::optional<GLFWwindow*> glfwWindowOf(const HostWindow& window) {
    const auto* glfw = dynamic_cast<const GlfwHostWindow*>(&window);
    if (!glfw) return std::nullopt;
    return glfw->nativeWindow();
}

} // namespace quillane::host
