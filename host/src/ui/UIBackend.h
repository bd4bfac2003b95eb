#pragma once

#include <memory>
#include <string>
#include <vector>

#include <imgui.h>

namespace quillane::host {

class HostWindow;

// What the UI needs from the platform: the window's input fed into ImGui, the
// draw data turned into pixels on the window's device, and textures on it
// (GLFW + OpenGL 3 on Linux, Win32 + Direct3D 11 on Windows). Main thread only.
class UIBackend {
public:
    virtual ~UIBackend() = default;

    // Called with the ImGui context current; false (after one error line) when
    // the platform or the renderer back end does not start.
    virtual bool initialize() = 0;
    // Undoes initialize(); safe when it did not succeed.
    virtual void shutdown() = 0;

    // Starts a frame: renderer, then platform (display size, input, time).
    virtual void newFrame() = 0;
    virtual void renderDrawData(ImDrawData* drawData) = 0;

    // An RGBA8 image as a texture for ImGui::Image; null (logged) on failure.
    virtual ImTextureID createTexture(const unsigned char* rgba, int width, int height) = 0;
    virtual void releaseTexture(ImTextureID texture) = 0;

    // True when input reached the window since the last call (so the next
    // frame may look different).
    virtual bool takeInputActivity() = 0;

    // Font files to try for the UI's text, in order.
    virtual std::vector<std::string> fontFiles() const = 0;
};

// The platform's back end for the host window (defined in linux/ and windows/).
std::unique_ptr<UIBackend> createUIBackend(HostWindow& window);

}  // namespace quillane::host
