// The Dashboard and Logs pages.
#include "ui/UIManager.h"

#include "ui/TextFit.h"
#include "ui/UITheme.h"
#include "ui/UIWidgets.h"

#include <imgui.h>

#include <algorithm>
#include <cstdio>
#include <string>

namespace quillane::host {
using widgets::heading;
using widgets::textColored;

namespace {

// Log lines longer than this are cut for drawing (copies keep them whole).
constexpr std::size_t kMaxDrawnLogBytes = 2000;

void labelRow(const char* label, const std::string& value, const ImVec4& colour) {
    ImGui::SetCursorPosX(20);
    textColored(palette::TextSecondary, label);
    ImGui::SameLine(130);
    textColored(colour, value);
}

// Opens a dashboard card and draws its title.
void beginCard(const char* id, float width, float height, ImFont* titleFont, const char* title) {
    ImGui::PushStyleColor(ImGuiCol_ChildBg, palette::Surface);
    ImGui::PushStyleVar(ImGuiStyleVar_ChildRounding, 16);
    ImGui::BeginChild(id, ImVec2(width, height), true, ImGuiWindowFlags_NoScrollbar);
    ImGui::Dummy(ImVec2(0, 10));
    ImGui::SetCursorPosX(20);
    heading(titleFont, title);
    ImGui::Dummy(ImVec2(0, 15));
}

// Ends the card; returns the height that fits what it held (at least `minimum`).
// The frame's zero window padding holds inside cards too: the margin is ours.
float endCard(float minimum) {
    constexpr float kBottomMargin = 15;
    const float fitted = std::max(minimum, ImGui::GetCursorPosY() - ImGui::GetStyle().ItemSpacing.y + kBottomMargin);
    ImGui::EndChild();
    ImGui::PopStyleVar();
    ImGui::PopStyleColor();
    return fitted;
}

// Cards take the height of their content from the frame before, growing only
// (so a card does not jump when its content changes back and forth).
void fitCard(float& height, float fitted, bool& dirty) {
    if (fitted > height) {
        height = fitted;
        dirty = true;
    }
}

}  // namespace

void UIManager::renderDashboard() {
    heading(fontTitle, "Dashboard");
    ImGui::Dummy(ImVec2(0, 20));
    renderConnectionCard();
    ImGui::SameLine(0, 30);
    renderSystemCard();
    ImGui::Dummy(ImVec2(0, 30));
    heading(fontHeading, "Available Windows");
    textColored(palette::TextSecondary, "Select windows to stream to your Quest headset");
    ImGui::Dummy(ImVec2(0, 15));
    renderWindowList();
}

void UIManager::renderConnectionCard() {
    using namespace palette;
    beginCard("ConnectionCard", 420, connectionCardHeight, fontHeading, "Connection Status");
    ImGui::SetCursorPosX(20);
    const ImVec2 p = ImGui::GetCursorScreenPos();
    const bool connected = connectionStatus.connected;
    ImGui::GetWindowDrawList()->AddCircleFilled(
        ImVec2(p.x + 6, p.y + 8), 6, connected ? IM_COL32(77, 217, 140, 255) : IM_COL32(165, 165, 191, 255));
    ImGui::Dummy(ImVec2(20, 0));
    ImGui::SameLine();
    if (connected) {
        textColored(Success, "Connected");
        const auto orDash = [](const std::string& s) { return s.empty() ? std::string("-") : s; };
        ImGui::SetCursorPosX(20);
        textColored(TextSecondary, "Client: " + orDash(connectionStatus.clientName));
        ImGui::SetCursorPosX(20);
        textColored(TextSecondary, "IP: " + orDash(connectionStatus.clientIp));
    } else {
        textColored(TextHint, "Waiting for connection...");
        ImGui::Dummy(ImVec2(0, 10));
        char buffer[128];
        const auto address = [&](const char* scheme, std::uint32_t port) {
            std::snprintf(buffer, sizeof(buffer), "%s://%s:%u", scheme, localIp.c_str(), port);
            return std::string(buffer);
        };
        labelRow("Signaling:", address("ws", settings.signalingPort), AccentBright);
        labelRow("Video:", address("tcp", settings.videoPort), AccentBright);
        labelRow("Audio:", address("tcp", settings.audioPort), AccentBright);
        labelRow("Input:", address("tcp", settings.inputPort), AccentBright);
    }
    fitCard(connectionCardHeight, endCard(230), dirty);
}

void UIManager::renderSystemCard() {
    using namespace palette;
    beginCard("SystemCard", 420, systemCardHeight, fontHeading, "System Information");
    labelRow("GPU:", systemInfo.gpuName.empty() ? "-" : systemInfo.gpuName, TextPrimary);
    const bool noEncoder = systemInfo.encoderName.empty() || systemInfo.encoderName == "None";
    labelRow("Encoder:", noEncoder ? "None" : systemInfo.encoderName, noEncoder ? Warning : Success);
    // 0 is what a platform that cannot tell reports, not an empty card.
    labelRow("VRAM:", systemInfo.vramMB ? std::to_string(systemInfo.vramMB) + " MB" : "-", TextPrimary);
    const std::string capture = systemInfo.captureApi.empty() ? "Supported" : systemInfo.captureApi;
    labelRow("Capture:", systemInfo.wgcSupported ? capture : "Not Available",
             systemInfo.wgcSupported ? Success : Warning);
    fitCard(systemCardHeight, endCard(200), dirty);
}

void UIManager::renderWindowList() {
    using namespace palette;
    ImGui::PushStyleColor(ImGuiCol_ChildBg, Surface);
    ImGui::PushStyleVar(ImGuiStyleVar_ChildRounding, 12);
    const float L = ImGui::GetContentRegionAvail().x - 30;
    // 350 pixels high, less when the window is too low for that, so the list's
    // bottom edge stays in sight.
    const float height = std::max(120.0f, std::min(350.0f, ImGui::GetContentRegionAvail().y - 20));
    ImGui::BeginChild("WindowList", ImVec2(L, height), true, 0);
    ImGui::Dummy(ImVec2(0, 5));
    if (windowEntries.empty()) {
        ImGui::Dummy(ImVec2(0, 30));
        for (const char* hint : {"No windows available for capture", "Open some applications to see them here"}) {
            ImGui::SetCursorPosX((L - ImGui::CalcTextSize(hint).x) / 2);
            textColored(TextHint, hint);
        }
    } else {
        const float R = L - 30;
        const auto measure = [](std::string_view s) { return ImGui::CalcTextSize(s.data(), s.data() + s.size()).x; };
        // Rows are fixed in height, so only the visible ones are built.
        ImGuiListClipper clipper;
        clipper.Begin(static_cast<int>(windowEntries.size()), 61);
        while (clipper.Step()) {
            for (int i = clipper.DisplayStart; i < clipper.DisplayEnd; ++i) {
                WindowEntry& entry = windowEntries[i];
                ImGui::PushID(static_cast<int>(entry.windowId));
                const ImVec2 P = ImGui::GetCursorPos();
                ImGui::SetCursorPosX(P.x + 10);
                ImGui::PushStyleColor(ImGuiCol_Header, Field);
                ImGui::PushStyleColor(ImGuiCol_HeaderHovered, SurfaceRaised);
                ImGui::PushStyleColor(ImGuiCol_HeaderActive, AccentDeep);
                if (ImGui::Selectable("##item", entry.streaming, 0, ImVec2(R, 56))) toggleWindowStream(entry);
                ImGui::PopStyleColor(3);

                ImGui::SetCursorPos(ImVec2(P.x + 20, P.y + 10));
                if (fontHeading) ImGui::PushFont(fontHeading);
                textColored(TextPrimary, fitText(entry.title, R - 200, measure));
                if (fontHeading) ImGui::PopFont();
                ImGui::SetCursorPos(ImVec2(P.x + 20, P.y + 32));
                textColored(TextHint, fitText(entry.processName, R - 200, measure));
                ImGui::SetCursorPos(ImVec2(P.x + R - 100, P.y + 18));
                if (entry.streaming) {
                    textColored(Success, "Streaming");
                } else {
                    textColored(TextHint, "Ready");
                }
                ImGui::SetCursorPos(ImVec2(P.x, P.y + 61));
                ImGui::PopID();
            }
        }
    }
    ImGui::EndChild();
    ImGui::PopStyleVar();
    ImGui::PopStyleColor();
}

void UIManager::renderLogsPage() {
    using namespace palette;
    heading(fontTitle, "Logs");
    textColored(TextSecondary, "Real-time application logs");
    ImGui::Dummy(ImVec2(0, 15));

    ImGui::PushStyleVar(ImGuiStyleVar_FrameRounding, 6);
    ImGui::PushStyleColor(ImGuiCol_Button, Surface);
    ImGui::PushStyleColor(ImGuiCol_ButtonHovered, SurfaceRaised);
    if (ImGui::Button("Clear Logs")) logEntries.clear();
    ImGui::SameLine();
    if (ImGui::Button("Copy All")) ImGui::SetClipboardText(logEntries.copyAll().c_str());
    if (ImGui::IsItemHovered()) ImGui::SetTooltip("Copy all logs to clipboard");
    ImGui::SameLine();
    ImGui::Checkbox("Auto-scroll", &autoScroll);
    ImGui::SameLine(ImGui::GetWindowWidth() - 200);
    ImGui::SetNextItemWidth(180);
    static const char* const kFilters[] = {"All", "Debug+", "Info+", "Warn+", "Error+"};
    ImGui::Combo("##LogLevel", &logLevelFilter, kFilters, 5);
    ImGui::PopStyleColor(2);
    ImGui::PopStyleVar();

    textColored(TextHint, "Tip: Right-click a log entry to copy it");
    ImGui::Dummy(ImVec2(0, 10));

    ImGui::PushStyleColor(ImGuiCol_ChildBg, Background);
    ImGui::PushStyleVar(ImGuiStyleVar_WindowPadding, ImVec2(10, 6));  // lines off the border
    ImGui::BeginChild("LogScroll", ImVec2(0, -5), true, ImGuiWindowFlags_HorizontalScrollbar);
    ImGui::PopStyleVar();
    drawnLogVersion = logEntries.snapshot(logSnapshot, drawnLogVersion);
    std::vector<const LogEntry*> shown;
    shown.reserve(logSnapshot.size());
    for (const auto& entry : logSnapshot)
        if (LogRing::passes(entry.level, logLevelFilter)) shown.push_back(&entry);
    ImGuiListClipper clipper;
    clipper.Begin(static_cast<int>(shown.size()));
    while (clipper.Step()) {
        for (int i = clipper.DisplayStart; i < clipper.DisplayEnd; ++i) renderLogLine(*shown[i]);
    }
    if (autoScroll && ImGui::GetScrollY() >= ImGui::GetScrollMaxY() - 20) ImGui::SetScrollHereY(1.0f);
    ImGui::EndChild();
    ImGui::PopStyleColor();
}

void UIManager::renderLogLine(const LogEntry& entry) {
    using namespace palette;
    static const ImVec4 kLevelColours[] = {{0.5f, 0.5f, 0.5f, 1}, {0.6f, 0.6f, 0.6f, 1}, {0.4f, 0.8f, 0.4f, 1},
                                           {1.0f, 0.8f, 0.2f, 1}, {1.0f, 0.4f, 0.4f, 1}, {1.0f, 0.2f, 0.2f, 1}};
    // The line's own id, so a click or menu reaches this line even while new
    // lines push older ones out.
    ImGui::PushID(static_cast<int>(entry.id));
    const ImVec2 start = ImGui::GetCursorPos();
    if (ImGui::Selectable("##logline", false,
                          ImGuiSelectableFlags_SpanAllColumns | ImGuiSelectableFlags_AllowDoubleClick))
        ImGui::SetClipboardText(LogRing::lineText(entry).c_str());
    if (ImGui::BeginPopupContextItem("LogContextMenu")) {
        if (ImGui::MenuItem("Copy")) ImGui::SetClipboardText(LogRing::lineText(entry).c_str());
        if (ImGui::MenuItem("Copy Message Only")) ImGui::SetClipboardText(entry.message.c_str());
        ImGui::EndPopup();
    }
    ImGui::SetCursorPos(start);
    textColored(TextSecondary, entry.timestamp);
    ImGui::SameLine();
    const bool known = entry.level >= 0 && entry.level <= 5;
    textColored(known ? kLevelColours[entry.level] : TextSecondary, LogRing::tag(entry.level));
    ImGui::SameLine();
    textColored(TextPrimary, utf8Prefix(entry.message, kMaxDrawnLogBytes));
    ImGui::PopID();
}

}  // namespace quillane::host
