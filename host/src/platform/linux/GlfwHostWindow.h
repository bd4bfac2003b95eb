#pragma once

#include "platform/HostWindow.h"
#include "platform/PlatformRuntime.h"

#include <memory>
#include <optional>

struct GLFWwindow;

namespace quillane::host {

// GLFW itself: its start and end around the window's life.
std::unique_ptr<PlatformRuntime> createGlfwRuntime();

// The host window on Linux: a 1400 x 900 GLFW window with an OpenGL 3 context,
// presented with vertical sync.
std::unique_ptr<HostWindow> createGlfwHostWindow();

// The GLFW window behind a host window from createGlfwHostWindow (null before
// create()); nothing for any other host window.
std::optional<GLFWwindow*> glfwWindowOf(const HostWindow& window);

} // namespace quillane::host
