// The UI's back end on Linux: ImGui's GLFW platform and OpenGL 3 renderer on
// the host window's context.
#include "ui/UIBackend.h"

#include "platform/linux/DriverLeakPause.h"
#include "platform/linux/GlfwHostWindow.h"

#include <GLFW/glfw3.h>
#include <backends/imgui_impl_glfw.h>
#include <backends/imgui_impl_opengl3.h>
#include <spdlog/spdlog.h>

#include <cstdint>
#include <stdexcept>
#include <utility>

namespace quillane::host {
namespace {

class GlfwOpenGL3UIBackend final : public UIBackend {
public:
    explicit GlfwOpenGL3UIBackend(GLFWwindow* window) : window(window) {}
    ~GlfwOpenGL3UIBackend() override { shutdown(); }

    bool initialize() override {
        if (!window || !ImGui_ImplGlfw_InitForOpenGL(window, false)) {
            SPDLOG_ERROR("Failed to initialize the UI's GLFW back end");
            return false;
        }
        platformUp = true;
        // ImGui's own handlers, each first noting that input arrived.
        active = this;
        glfwSetWindowFocusCallback(window, [](GLFWwindow* w, int focused) {
            note();
            ImGui_ImplGlfw_WindowFocusCallback(w, focused);
        });
        glfwSetCursorEnterCallback(window, [](GLFWwindow* w, int entered) {
            note();
            ImGui_ImplGlfw_CursorEnterCallback(w, entered);
        });
        glfwSetCursorPosCallback(window, [](GLFWwindow*, double, double) { note(); });
        glfwSetMouseButtonCallback(window, [](GLFWwindow* w, int button, int action, int mods) {
            note();
            ImGui_ImplGlfw_MouseButtonCallback(w, button, action, mods);
        });
        glfwSetScrollCallback(window, [](GLFWwindow* w, double x, double y) {
            note();
            ImGui_ImplGlfw_ScrollCallback(w, x, y);
        });
        glfwSetKeyCallback(window, [](GLFWwindow* w, int key, int scancode, int action, int mods) {
            note();
            ImGui_ImplGlfw_KeyCallback(w, key, scancode, action, mods);
        });
        glfwSetCharCallback(window, [](GLFWwindow* w, unsigned int c) {
            note();
            ImGui_ImplGlfw_CharCallback(w, c);
        });
        const DriverLoadLeakPause pause;
        if (!ImGui_ImplOpenGL3_Init("#version 130") || !ImGui_ImplOpenGL3_CreateDeviceObjects()) {
            SPDLOG_ERROR("Failed to initialize the UI's OpenGL 3 renderer");
            return false;
        }
        rendererUp = true;
        return true;
    }

    void shutdown() override {
        if (rendererUp) ImGui_ImplOpenGL3_Shutdown();
        rendererUp = false;
        if (platformUp) {
            glfwSetWindowFocusCallback(window, nullptr);
            glfwSetCursorEnterCallback(window, nullptr);
            glfwSetCursorPosCallback(window, nullptr);
            glfwSetMouseButtonCallback(window, nullptr);
            glfwSetScrollCallback(window, nullptr);
            glfwSetKeyCallback(window, nullptr);
            glfwSetCharCallback(window, nullptr);
            ImGui_ImplGlfw_Shutdown();
        }
        platformUp = false;
        if (active == this) active = nullptr;
    }

    void newFrame() override {
        ImGui_ImplOpenGL3_NewFrame();
        ImGui_ImplGlfw_NewFrame();
    }

    void renderDrawData(ImDrawData* drawData) override {
        const DriverLoadLeakPause pause;  // shader variants are built at draws
        ImGui_ImplOpenGL3_RenderDrawData(drawData);
    }

    ImTextureID createTexture(const unsigned char* rgba, int width, int height) override {
        const DriverLoadLeakPause pause;
        GLint previous = 0;
        glGetIntegerv(GL_TEXTURE_BINDING_2D, &previous);
        GLuint texture = 0;
        glGenTextures(1, &texture);
        glBindTexture(GL_TEXTURE_2D, texture);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
        glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, width, height, 0, GL_RGBA, GL_UNSIGNED_BYTE, rgba);
        glBindTexture(GL_TEXTURE_2D, static_cast<GLuint>(previous));
        if (texture == 0 || glGetError() != GL_NO_ERROR) {
            SPDLOG_ERROR("Failed to create logo texture");
            if (texture) glDeleteTextures(1, &texture);
            return nullptr;
        }
        return reinterpret_cast<ImTextureID>(static_cast<std::uintptr_t>(texture));
    }

    void releaseTexture(ImTextureID texture) override {
        const auto name = static_cast<GLuint>(reinterpret_cast<std::uintptr_t>(texture));
        if (name) glDeleteTextures(1, &name);
    }

    bool takeInputActivity() override { return std::exchange(inputSeen, false); }

    std::vector<std::string> fontFiles() const override {
        return {"/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"};
    }

private:
    static void note() {
        if (active) active->inputSeen = true;
    }

    // GLFW's callbacks carry no context of ours; there is one host window.
    static inline GlfwOpenGL3UIBackend* active = nullptr;

    GLFWwindow* window;
    bool platformUp = false;
    bool rendererUp = false;
    bool inputSeen = false;
};

}  // namespace

std::unique_ptr<UIBackend> createUIBackend(HostWindow& window) {
    const auto glfw = glfwWindowOf(window);
    if (!glfw) throw std::invalid_argument("the UI needs the GLFW host window");
    return std::make_unique<GlfwOpenGL3UIBackend>(*glfw);
}

}  // namespace quillane::host
