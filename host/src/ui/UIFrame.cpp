// The frame around the pages: sidebar and status bar.
#include "ui/UIManager.h"

#include "ui/UITheme.h"
#include "ui/UIWidgets.h"

#include <imgui.h>

#include <algorithm>
#include <cstdio>
#include <string>

namespace quillane::host {

using widgets::textColored;

namespace {

constexpr float kNavButtonHeight = 48;
constexpr float kSidebarBottomMargin = 16;

void gradientBar(float width, float thickness, ImU32 left, ImU32 right) {
    const ImVec2 p = ImGui::GetCursorScreenPos();
    ImGui::GetWindowDrawList()->AddRectFilledMultiColor(p, ImVec2(p.x + width, p.y + thickness), left, right, right,
                                                        left);
}

std::string dashIfEmpty(const std::string& text) { return text.empty() ? "-" : text; }

}  // namespace

void UIManager::renderSidebar(float width, float height) {
    ImGui::SetCursorPos(ImVec2(0, 0));
    ImGui::BeginChild("LogoArea", ImVec2(width, 100), false, ImGuiWindowFlags_NoScrollbar);
    ImGui::Dummy(ImVec2(0, 20));
    if (logoView) {
        ImGui::SetCursorPosX((width - 60) / 2);
        ImGui::Image(logoView, ImVec2(60, 60), ImVec2(0, 0), ImVec2(1, 1));
    }
    ImGui::EndChild();

    ImGui::Dummy(ImVec2(0, 10));
    ImGui::SetCursorPosX(20);
    gradientBar(width - 40, 2, IM_COL32(115, 89, 230, 100), IM_COL32(140, 102, 250, 100));
    ImGui::Dummy(ImVec2(0, 15));
    ImGui::Dummy(ImVec2(0, 10));

    renderNavButton("  Dashboard", Dashboard);
    renderNavButton("  Streaming", Streaming);
    renderNavButton("  Audio", Audio);
    renderNavButton("  Input", Input);
    renderNavButton("  Settings", SettingsPage);
    renderNavButton("  Logs", Logs);

    // The filler leaves exactly the room the bar, its gap and "About" take, so
    // the last button ends inside the sidebar.
    const float spacing = ImGui::GetStyle().ItemSpacing.y;
    const float tail = 2 * spacing + 15 + kNavButtonHeight + kSidebarBottomMargin;
    const float filler = height - ImGui::GetCursorPosY() - tail;
    if (filler > 0) ImGui::Dummy(ImVec2(0, filler));
    ImGui::SetCursorPosX(20);
    gradientBar(width - 40, 1, IM_COL32(50, 50, 80, 150), IM_COL32(80, 60, 120, 150));
    ImGui::Dummy(ImVec2(0, 15));
    renderNavButton("  About", About);
}

void UIManager::renderNavButton(const char* label, int page) {
    using namespace palette;
    ImGui::SetCursorPosX(15);
    const bool selected = currentPage == page;
    ImGui::PushStyleColor(ImGuiCol_Button, selected ? Accent : Transparent);
    ImGui::PushStyleColor(ImGuiCol_ButtonHovered, selected ? AccentBright : SurfaceRaised);
    ImGui::PushStyleColor(ImGuiCol_Text, selected ? TextPrimary : TextSecondary);
    if (fontHeading) ImGui::PushFont(fontHeading);
    if (ImGui::Button(label, ImVec2(230, kNavButtonHeight)) && currentPage != page) {
        currentPage = page;
        dirty = true;
    }
    if (fontHeading) ImGui::PopFont();
    ImGui::PopStyleColor(3);
    if (page != About) ImGui::Dummy(ImVec2(0, 4));
}

void UIManager::renderStatusBar(float width) {
    using namespace palette;
    const ConnectionStatus& status = connectionStatus;
    ImGui::PushStyleColor(ImGuiCol_ChildBg, BackgroundDeep);
    ImGui::BeginChild("StatusBar", ImVec2(width, 56), false, ImGuiWindowFlags_NoScrollbar);
    ImGui::SetCursorPos(ImVec2(25, 18));
    const ImVec2 p = ImGui::GetCursorScreenPos();
    ImGui::GetWindowDrawList()->AddCircleFilled(
        ImVec2(p.x + 6, p.y + 8), 6, status.connected ? IM_COL32(77, 217, 140, 255) : IM_COL32(115, 115, 140, 255));
    ImGui::Dummy(ImVec2(20, 0));
    ImGui::SameLine();
    if (status.connected) {
        const std::string peer = !status.clientName.empty() ? status.clientName : dashIfEmpty(status.clientIp);
        textColored(Success, ("Connected to " + peer).c_str());
    } else {
        textColored(TextHint, "Waiting for client...");
    }

    // Label and value pairs, right-aligned 25 pixels from the edge.
    std::vector<std::pair<std::string, std::string>> pairs;
    const ImVec4* valueColour = &TextPrimary;
    if (status.connected) {
        char buffer[64];
        auto known = [&](auto value, const char* format) -> std::string {
            if (!value) return "-";
            std::snprintf(buffer, sizeof(buffer), format, *value);
            return buffer;
        };
        pairs = {{"FPS:", known(status.fps, "%u")},
                 {"Latency:", known(status.latencyMs, "%.1f ms")},
                 {"Bitrate:", known(status.bitrateMbps, "%.1f Mbps")}};
    } else {
        pairs = {{"Encoder:", dashIfEmpty(systemInfo.encoderName)}};
        const bool none = systemInfo.encoderName.empty() || systemInfo.encoderName == "None";
        valueColour = none ? &Warning : &Success;
    }
    const ImGuiStyle& style = ImGui::GetStyle();
    float total = 0;
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        total += ImGui::CalcTextSize(pairs[i].first.c_str()).x + style.ItemSpacing.x +
                 ImGui::CalcTextSize(pairs[i].second.c_str()).x + (i + 1 < pairs.size() ? 25 : 0);
    }
    ImGui::SetCursorPos(ImVec2(std::min(width - 400, width - total - 25), 18));
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        if (i > 0) ImGui::SameLine(0, 25);
        textColored(TextSecondary, pairs[i].first.c_str());
        ImGui::SameLine();
        textColored(*valueColour, pairs[i].second.c_str());
    }
    ImGui::EndChild();
    ImGui::PopStyleColor();
}

}  // namespace quillane::host
