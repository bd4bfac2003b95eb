#include "platform/linux/GlfwHostWindow.h"

#include "platform/linux/ExitSignals.h"
#include "platform/linux/ProcessPriorityLinux.h"

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

} // namespace

bool GlfwRuntime::initialize(std::string& error) {
    glfwSetErrorCallback(onGlfwError);
    if (!glfwInit()) {
        error = "Failed to initialize GLFW: " + lastGlfwError();
        return false;
    }
    initialized = true;
    return true;
}

void GlfwRuntime::shutdown() {
    if (initialized) {
        glfwTerminate();
        initialized = false;
    }
}

std::string GlfwRuntime::streamingOptimizations() const {
    return canRaiseProcessPriority() ? "Priority Boost" : "none";
}

GlfwHostWindow::GlfwHostWindow() = default;

GlfwHostWindow::~GlfwHostWindow() {
    destroy();
}

bool GlfwHostWindow::create(std::string& error) {
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

void GlfwHostWindow::show() {
    glfwShowWindow(window);
    redraw = true;
}

bool GlfwHostWindow::pumpMessages(std::chrono::milliseconds wait) {
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

void GlfwHostWindow::applyPendingResize() {
    if (resizeWidth != 0 && resizeHeight != 0) {
        glViewport(0, 0, resizeWidth, resizeHeight);
        resizeWidth = 0;
        resizeHeight = 0;
    }
}

void GlfwHostWindow::clear() {
    glClearColor(0.06f, 0.06f, 0.10f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
}

void GlfwHostWindow::present() {
    glfwSwapBuffers(window);
}

bool GlfwHostWindow::isVisible() const {
    return window && glfwGetWindowAttrib(window, GLFW_VISIBLE) && !glfwGetWindowAttrib(window, GLFW_ICONIFIED);
}

bool GlfwHostWindow::takeRedrawRequest() {
    return std::exchange(redraw, false);
}

double GlfwHostWindow::displayRefreshRate() const {
    GLFWmonitor* monitor = glfwGetPrimaryMonitor();
    const GLFWvidmode* mode = monitor ? glfwGetVideoMode(monitor) : nullptr;
    return mode ? mode->refreshRate : 0.0;
}

void GlfwHostWindow::showAndRaise() {
    glfwShowWindow(window);
    glfwRestoreWindow(window);
    glfwFocusWindow(window);
    redraw = true;
}

void GlfwHostWindow::setHideToTray(bool hide) {
    hideToTray = hide;
}

void GlfwHostWindow::destroy() {
    if (!window) {
        return;
    }
    screenWatcher.close();
    glfwMakeContextCurrent(nullptr);
    glfwDestroyWindow(window);
    window = nullptr;
}

void GlfwHostWindow::onClose(GLFWwindow* window) {
    // Closing never ends the program; only "Exit" (here: SIGINT or SIGTERM) does.
    glfwSetWindowShouldClose(window, GLFW_FALSE);
    auto* self = static_cast<GlfwHostWindow*>(glfwGetWindowUserPointer(window));
    if (self->hideToTray) {
        glfwHideWindow(window);
    } else {
        glfwIconifyWindow(window);
    }
}

void GlfwHostWindow::onIconify(GLFWwindow* window, int iconified) {
    auto* self = static_cast<GlfwHostWindow*>(glfwGetWindowUserPointer(window));
    if (iconified && self->hideToTray) {
        glfwHideWindow(window);
    }
    if (!iconified) {
        self->redraw = true;
    }
}

void GlfwHostWindow::onFramebufferSize(GLFWwindow* window, int width, int height) {
    auto* self = static_cast<GlfwHostWindow*>(glfwGetWindowUserPointer(window));
    self->resizeWidth = width;
    self->resizeHeight = height;
    self->redraw = true;
}

void GlfwHostWindow::onRefresh(GLFWwindow* window) {
    static_cast<GlfwHostWindow*>(glfwGetWindowUserPointer(window))->redraw = true;
}

std::uint32_t GlfwHostWindow::windowId() const {
    return window ? static_cast<std::uint32_t>(glfwGetX11Window(window)) : 0;
}

} // namespace quillane::host
