// The Settings page (update notice, start-up options, updates, reset) and the
// About page.
#include "ui/UIManager.h"

#include "app/UrlOpener.h"
#include "common/Version.h"
#include "platform/Paths.h"
#include "ui/UITheme.h"
#include "ui/UIWidgets.h"

#include <imgui.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <cstdio>
#include <system_error>

namespace quillane::host {

using namespace widgets;

namespace {

constexpr const char* kNotUsedHint = "Not used by this host";
constexpr const char* kRightsNotice = "Copyright (c) 2026 Quillane. All rights reserved.";

// Held until the process ends; nothing reads them.
bool startWithSystem = false;
bool startMinimized = false;

void labelValue(const char* label, float offset, std::string_view value, const ImVec4& colour) {
    textColored(palette::TextSecondary, label);
    ImGui::SameLine(offset);
    textColored(colour, value);
}

}  // namespace

void UIManager::renderSettingsPage() {
    using namespace palette;
    heading(fontTitle, "Settings");
    textColored(TextSecondary, "Application configuration");
    gap(15);
    renderUpdateNotification();

    gap(10);
    heading(fontHeading, "Startup");
    gap(10);
    ImGui::PushStyleVar(ImGuiStyleVar_FramePadding, ImVec2(6, 6));
    ImGui::BeginDisabled();
    ImGui::Checkbox("Start with Windows", &startWithSystem);
    ImGui::Checkbox("Start Minimized", &startMinimized);
    hint(kNotUsedHint);
    ImGui::EndDisabled();
    ImGui::PopStyleVar();

    gap(25);
    renderUpdatesSection();

    gap(30);
    ImGui::PushStyleColor(ImGuiCol_Button, Surface);
    ImGui::PushStyleColor(ImGuiCol_ButtonHovered, Danger);
    if (button("Reset to Defaults", ImVec2(180, 45))) {
        UISettings reset = resetSettings;
        reset.signalingPort = settings.signalingPort;
        reset.videoPort = settings.videoPort;
        reset.audioPort = settings.audioPort;
        reset.inputPort = settings.inputPort;
        reset.qualityPreset = presetForBitrates(reset.targetBitrate, reset.maxBitrate);
        settings = reset;
        settingsChanged();
    }
    ImGui::PopStyleColor(2);
}

void UIManager::renderUpdateNotification() {
    using namespace palette;
    UpdateInfo info;
    {
        std::lock_guard lock(updateMutex);
        if (!updateNotificationShown) return;
        info = updateInfo;
    }
    ImGui::PushStyleColor(ImGuiCol_ChildBg, ImVec4(0.15f, 0.25f, 0.50f, 0.95f));
    ImGui::PushStyleVar(ImGuiStyleVar_ChildRounding, 8);
    ImGui::PushStyleVar(ImGuiStyleVar_WindowPadding, ImVec2(15, 15));
    // Tall enough for the heading, the notes and the buttons in the UI's fonts.
    const float headingSize = fontHeading ? fontHeading->FontSize : ImGui::GetFontSize();
    const float height =
        2 * 15 + headingSize + ImGui::GetFontSize() + 10 + 32 + 3 * ImGui::GetStyle().ItemSpacing.y;
    ImGui::BeginChild("UpdateNotification", ImVec2(0, std::max(110.0f, height)), true, ImGuiWindowFlags_NoScrollbar);
    char title[160];
    std::snprintf(title, sizeof(title), "Update Available: v%s", info.version.c_str());
    heading(fontHeading, title);
    textColored(TextSecondary, info.releaseNotes);
    gap(10);

    ImGui::PushStyleColor(ImGuiCol_Button, Accent);
    ImGui::PushStyleColor(ImGuiCol_ButtonHovered, AccentBright);
    if (button("Download Update", ImVec2(140, 32)) && onOpenDownloadPage) onOpenDownloadPage(info.downloadPage);
    ImGui::PopStyleColor(2);
    ImGui::SameLine();
    ImGui::PushStyleColor(ImGuiCol_Button, Surface);
    ImGui::PushStyleColor(ImGuiCol_ButtonHovered, SurfaceRaised);
    if (button("Release Notes", ImVec2(120, 32)) && urlOpener)
        UpdateChecker::openDownloadPage(kReleaseNotesUrl, *urlOpener);
    ImGui::PopStyleColor(2);
    ImGui::SameLine();
    ImGui::PushStyleColor(ImGuiCol_Button, Transparent);
    ImGui::PushStyleColor(ImGuiCol_ButtonHovered, SurfaceRaised);
    if (button("Dismiss", ImVec2(80, 32))) {
        if (onDismissUpdate) onDismissUpdate(info.version);
        std::lock_guard lock(updateMutex);
        updateNotificationShown = false;
        dirty = true;
    }
    ImGui::PopStyleColor(2);
    ImGui::EndChild();
    ImGui::PopStyleVar(2);
    ImGui::PopStyleColor();
}

void UIManager::renderUpdatesSection() {
    using namespace palette;
    heading(fontHeading, "Updates");
    gap(10);
    ImGui::PushStyleVar(ImGuiStyleVar_FramePadding, ImVec2(6, 6));
    if (ImGui::Checkbox("Check for updates automatically", &settings.autoCheckUpdates)) settingsChanged();
    ImGui::PopStyleVar();

    gap(10);
    labelValue("Current version:", 180, kHostVersion, AccentBright);
    labelValue("Last checked:", 180, lastUpdateCheckText, TextHint);

    gap(10);
    ImGui::PushStyleColor(ImGuiCol_Button, Surface);
    ImGui::PushStyleColor(ImGuiCol_ButtonHovered, SurfaceRaised);
    const bool checking = updateCheckInProgress;
    if (checking) ImGui::BeginDisabled();
    if (button(checking ? "Checking..." : "Check Now", ImVec2(120, 36)) && onCheckForUpdates) {
        updateCheckInProgress = true;
        onCheckForUpdates();
    }
    if (checking) ImGui::EndDisabled();
    ImGui::PopStyleColor(2);
}

void UIManager::renderAboutPage() {
    using namespace palette;
    heading(fontTitle, "About");
    gap(30);
    if (logoView) {
        ImGui::Image(logoView, ImVec2(80, 80));
        gap(15);
    }
    if (fontTitle) ImGui::PushFont(fontTitle);
    textColored(AccentBright, "Quillane Host");
    if (fontTitle) ImGui::PopFont();
    char version[64];
    std::snprintf(version, sizeof(version), "Version %s", kHostVersion);
    textColored(TextSecondary, version);

    gap(20);
    ImGui::PushTextWrapPos(ImGui::GetCursorPosX() + 500);
    ImGui::PushStyleColor(ImGuiCol_Text, TextPrimary);
    ImGui::TextWrapped("%s", "A native VR window streaming platform for Meta Quest. Stream individual windows to your "
                             "headset with ultra-low latency.");
    ImGui::PopStyleColor();
    ImGui::PopTextWrapPos();

    gap(30);
    heading(fontHeading, "Help & Support");
    gap(10);
    const auto open = [this](const std::string& target) {
        if (urlOpener) urlOpener->open(target);
    };
    ImGui::PushStyleColor(ImGuiCol_Button, ImVec4(0.35f, 0.35f, 0.75f, 1.0f));
    ImGui::PushStyleColor(ImGuiCol_ButtonHovered, ImVec4(0.45f, 0.45f, 0.85f, 1.0f));
    if (button("Visit Website", ImVec2(160, 35))) open(kWebsiteUrl);
    ImGui::SameLine();
    ImGui::PushStyleColor(ImGuiCol_Button, ImVec4(0.35f, 0.40f, 0.90f, 1.0f));
    ImGui::PushStyleColor(ImGuiCol_ButtonHovered, ImVec4(0.45f, 0.50f, 1.00f, 1.0f));
    if (button("Join Discord", ImVec2(160, 35))) open(kCommunityUrl);
    ImGui::PopStyleColor(4);
    ImGui::SameLine();
    if (button("Open Log Folder", ImVec2(160, 35)) && !logFolder.empty()) {
        // Logging made it at start-up; made again in case it was removed since.
        std::error_code error;
        std::filesystem::create_directories(logFolder, error);
        open(pathToUtf8(logFolder));
    }

    gap(30);
    heading(fontHeading, "System Information");
    gap(10);
    char vram[32];
    std::snprintf(vram, sizeof(vram), "%llu MB", static_cast<unsigned long long>(systemInfo.vramMB));
    labelValue("Graphics Card:", 200, systemInfo.gpuName, TextPrimary);
    // 0 is what a platform that cannot tell reports.
    labelValue("VRAM:", 200, systemInfo.vramMB ? vram : "-", TextPrimary);
    const bool noEncoder = systemInfo.encoderName.empty() || systemInfo.encoderName == "None";
    labelValue("Hardware Encoder:", 200, systemInfo.encoderName, noEncoder ? Warning : Success);
    const char* captureLabel = systemInfo.captureApi.empty() ? "Windows Graphics Capture:" : "Window Capture:";
    const std::string capture = systemInfo.captureApi.empty() ? "Supported" : systemInfo.captureApi;
    labelValue(captureLabel, 200, systemInfo.wgcSupported ? capture : "Not Available",
               systemInfo.wgcSupported ? Success : Warning);

    gap(30);
    hint(kRightsNotice);
}

}  // namespace quillane::host
