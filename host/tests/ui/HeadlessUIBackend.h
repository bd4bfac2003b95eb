#pragma once

#include "ui/UIBackend.h"

#include <imgui.h>

#include <string>
#include <utility>
#include <vector>

namespace quillane::host::test {

// Draws nowhere: ImGui gets a display size and a clock, the draw data is only
// counted. Tests feed the mouse through `mouse` and `pressed`.
class HeadlessUIBackend final : public UIBackend {
public:
    struct State {
        bool failInitialize = false;
        bool input = false;
        int frames = 0;
        int drawnVertices = 0;
        int textures = 0;
        ImVec2 displaySize{1400, 900};
        ImVec2 mouse{-1, -1};
        bool pressed = false;
        std::vector<std::string> fonts;
    };

    explicit HeadlessUIBackend(State& state) : state(state) {}

    bool initialize() override {
        // Keyboard navigation needs every key mapped.
        for (int key = 0; key < ImGuiKey_COUNT; ++key) ImGui::GetIO().KeyMap[key] = key;
        return !state.failInitialize;
    }
    void shutdown() override {}
    void newFrame() override {
        ImGuiIO& io = ImGui::GetIO();
        io.DisplaySize = state.displaySize;
        io.DeltaTime = 1.0f / 60.0f;
        io.MousePos = state.mouse;
        io.MouseDown[0] = state.pressed;
        unsigned char* pixels = nullptr;
        int width = 0;
        int height = 0;
        io.Fonts->GetTexDataAsRGBA32(&pixels, &width, &height);
    }
    void renderDrawData(ImDrawData* drawData) override {
        ++state.frames;
        state.drawnVertices = drawData->TotalVtxCount;
    }
    ImTextureID createTexture(const unsigned char*, int, int) override {
        ++state.textures;
        return reinterpret_cast<ImTextureID>(static_cast<intptr_t>(state.textures));
    }
    void releaseTexture(ImTextureID) override { --state.textures; }
    bool takeInputActivity() override { return std::exchange(state.input, false); }
    std::vector<std::string> fontFiles() const override { return state.fonts; }

private:
    State& state;
};

}  // namespace quillane::host::test
