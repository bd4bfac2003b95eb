// The Streaming, Audio and Input pages: each control writes its settings field
// and hands the whole record on. Controls for what this host does not act on
// are shown disabled, so none of them pretends to change anything.
#include "ui/UIManager.h"

#include "app/Settings.h"
#include "ui/UITheme.h"
#include "ui/UIWidgets.h"

#include <imgui.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <iterator>

namespace quillane::host {

using namespace widgets;

namespace {

constexpr std::uint32_t kFrameRates[] = {72, 80, 90, 120};
constexpr const char* kNotUsedHint = "Not used by this host";

// The preset table's labels, in its order, as the combo box takes them.
constexpr auto kPresetLabels = [] {
    std::array<const char*, std::size(kQualityPresets)> labels{};
    for (std::size_t i = 0; i < labels.size(); ++i) labels[i] = kQualityPresets[i].label;
    return labels;
}();

void pageTitle(ImFont* font, const char* title, const char* subtitle) {
    heading(font, title);
    textColored(palette::TextSecondary, subtitle);
    gap(25);
}

// Draws a slider `width` wide with the accent grab (and the light one while
// dragged, where `withActive`); returns what `draw` returns: whether it moved.
template <typename Draw>
bool accentSlider(float width, bool withActive, Draw draw) {
    ImGui::PushItemWidth(width);
    ImGui::PushStyleColor(ImGuiCol_SliderGrab, palette::AccentGrab);
    if (withActive) ImGui::PushStyleColor(ImGuiCol_SliderGrabActive, palette::AccentLight);
    const bool moved = draw();
    ImGui::PopStyleColor(withActive ? 2 : 1);
    ImGui::PopItemWidth();
    return moved;
}

// An unsigned setting on an integer slider; true when it moved.
bool settingSlider(const char* id, std::uint32_t& value, int min, int max, const char* format, float width) {
    int shown = static_cast<int>(value);
    if (!accentSlider(width, false, [&] { return ImGui::SliderInt(id, &shown, min, max, format); })) return false;
    value = static_cast<std::uint32_t>(shown);
    return true;
}

// A "(?)" marker after the previous item, with its tooltip while hovered.
void helpMarker(const char* tooltip) {
    ImGui::SameLine();
    textColored(palette::TextHint, "(?)");
    if (ImGui::IsItemHovered()) ImGui::SetTooltip("%s", tooltip);
}

}  // namespace

void UIManager::settingsChanged() {
    dirty = true;
    if (onSettingsChanged) onSettingsChanged(settings);
}

void UIManager::renderStreamingPage() {
    pageTitle(fontTitle, "Streaming", "Configure video quality and encoding settings");
    renderQualityPresetChoice();
    gap(25);
    renderFrameRateChoice();
    gap(25);
    renderBitrateSlider();
    // Streams are always H.264 here.
    gap(25);
    renderCodecChoice();
    gap(30);
    renderAdvancedStreamingOptions();
    gap(30);
    renderVideoQualityOptions();
}

void UIManager::renderQualityPresetChoice() {
    heading(fontHeading, "Quality Preset");
    gap(10);
    ImGui::PushItemWidth(350);
    ImGui::PushStyleVar(ImGuiStyleVar_FramePadding, ImVec2(14, 12));
    int preset = settings.qualityPreset <= kCustomPreset ? static_cast<int>(settings.qualityPreset) : kCustomPreset;
    if (ImGui::Combo("##QualityPreset", &preset, kPresetLabels.data(), static_cast<int>(kPresetLabels.size())) &&
        static_cast<std::uint32_t>(preset) != settings.qualityPreset) {
        settings.qualityPreset = static_cast<std::uint32_t>(preset);
        if (settings.qualityPreset != kCustomPreset) {
            settings.targetBitrate = kQualityPresets[preset].targetBitrate;
            settings.maxBitrate = kQualityPresets[preset].maxBitrate;
        }
        settingsChanged();
    }
    ImGui::PopStyleVar();
    ImGui::PopItemWidth();
}

void UIManager::renderFrameRateChoice() {
    using namespace palette;
    heading(fontHeading, "Target Frame Rate");
    gap(10);
    for (std::size_t i = 0; i < std::size(kFrameRates); ++i) {
        const std::uint32_t fps = kFrameRates[i];
        if (i > 0) ImGui::SameLine(0, 10);
        char label[32];
        std::snprintf(label, sizeof(label), "%u Hz", fps);
        const bool selected = settings.targetFps == fps;
        ImGui::PushStyleColor(ImGuiCol_Button, selected ? Accent : Surface);
        ImGui::PushStyleColor(ImGuiCol_ButtonHovered, selected ? AccentBright : SurfaceRaised);
        if (button(label, ImVec2(90, 45))) {
            settings.targetFps = fps;
            settingsChanged();
        }
        ImGui::PopStyleColor(2);
    }
}

void UIManager::renderBitrateSlider() {
    using namespace palette;
    heading(fontHeading, "Video Bitrate");
    textColored(TextSecondary, "Higher bitrate improves quality but increases latency");
    gap(10);
    int mbps = static_cast<int>(settings.targetBitrate / 1000);
    if (accentSlider(450, true, [&] { return ImGui::SliderInt("##Bitrate", &mbps, 5, 150, "%d Mbps"); })) {
        // Ctrl+click lets any number be typed: keep both bitrates within the
        // settings file's range, the maximum at half as much again.
        mbps = std::clamp(mbps, static_cast<int>(kMinBitrateKbps + 999) / 1000,
                          static_cast<int>(kMaxBitrateKbps / 1500));
        settings.qualityPreset = kCustomPreset;
        settings.targetBitrate = static_cast<std::uint32_t>(mbps) * 1000;
        settings.maxBitrate = static_cast<std::uint32_t>(mbps) * 1500;
        settingsChanged();
    }
}

void UIManager::renderCodecChoice() {
    heading(fontHeading, "Video Codec");
    gap(10);
    int codec = settings.codec == "h264" ? 0 : 1;
    ImGui::PushItemWidth(250);
    ImGui::PushStyleVar(ImGuiStyleVar_FramePadding, ImVec2(14, 12));
    ImGui::BeginDisabled();
    static const char* const kCodecs[] = {"H.264", "HEVC (H.265)"};
    if (ImGui::Combo("##Codec", &codec, kCodecs, 2)) {
        settings.codec = codec == 0 ? "h264" : "hevc";
        settingsChanged();
    }
    ImGui::EndDisabled();
    ImGui::PopStyleVar();
    ImGui::PopItemWidth();
    hint(kNotUsedHint);
}

void UIManager::renderAdvancedStreamingOptions() {
    heading(fontHeading, "Advanced Options");
    hint(kNotUsedHint);
    gap(10);
    ImGui::PushStyleVar(ImGuiStyleVar_FramePadding, ImVec2(6, 6));
    ImGui::BeginDisabled();
    if (ImGui::Checkbox("Low Latency Mode", &settings.lowLatencyMode)) settingsChanged();
    hint("Optimizes for minimal motion-to-photon latency");
    gap(8);
    if (ImGui::Checkbox("Adaptive Bitrate", &settings.adaptiveBitrate)) settingsChanged();
    hint("Automatically adjusts bitrate based on network conditions");
    gap(8);
    if (ImGui::Checkbox("Slice-based Encoding", &settings.sliceEncoding)) settingsChanged();
    hint("Enables parallel encoding for lower latency");
    ImGui::EndDisabled();
    ImGui::PopStyleVar();
}

void UIManager::renderVideoQualityOptions() {
    using namespace palette;
    heading(fontHeading, "Video Quality");
    textColored(TextSecondary, "Post-processing effects applied before encoding");
    gap(10);
    ImGui::PushStyleVar(ImGuiStyleVar_FramePadding, ImVec2(6, 6));
    if (ImGui::Checkbox("Enable Sharpening (CAS)", &settings.sharpeningEnabled)) settingsChanged();
    helpMarker("Contrast Adaptive Sharpening (AMD FidelityFX)\nImproves text and UI clarity before encoding.\n"
               "Adds slight GPU overhead.");
    if (settings.sharpeningEnabled) {
        gap(8);
        textColored(TextSecondary, "Sharpness");
        const auto slide = [&] { return ImGui::SliderFloat("##Sharpness", &settings.sharpness, 0.0f, 1.0f, "%.1f"); };
        if (accentSlider(350, true, slide)) settingsChanged();
        hint("0.0 = Off, 0.7 = Default, 1.0 = Maximum");
    }
    gap(15);
    if (ImGui::Checkbox("VSync Frame Pacing", &settings.vsyncEnabled)) settingsChanged();
    helpMarker("Synchronize frame capture with monitor VSync.\nReduces screen tearing and improves frame consistency.\n"
               "May add up to 1 frame of latency.");
    gap(15);
    if (ImGui::Checkbox("Full Range Color", &settings.fullRangeColor)) settingsChanged();
    helpMarker("Expand color range from limited (16-235) to full (0-255).\n"
               "Improves color accuracy and reduces banding in gradients.\nRequires encoder restart to take effect.");
    ImGui::PopStyleVar();
}

void UIManager::renderAudioPage() {
    using namespace palette;
    pageTitle(fontTitle, "Audio", "Configure audio streaming and microphone settings");
    // The Opus stream's rate is fixed and no microphone is forwarded.
    ImGui::BeginDisabled();
    heading(fontHeading, "Audio Quality");
    gap(10);
    if (settingSlider("##AudioQuality", settings.audioBitrate, 64, 320, "%d kbps", 400)) settingsChanged();
    hint(kNotUsedHint);

    gap(30);
    heading(fontHeading, "Microphone");
    gap(10);
    ImGui::PushStyleVar(ImGuiStyleVar_FramePadding, ImVec2(6, 6));
    if (ImGui::Checkbox("Enable Microphone Passthrough", &settings.micPassthrough)) settingsChanged();
    hint("Forward Quest microphone audio to PC");
    if (settings.micPassthrough) {
        gap(15);
        textColored(TextSecondary, "Microphone Volume");
        if (settingSlider("##MicVolume", settings.micVolume, 0, 100, "%d %%", 350)) settingsChanged();
        gap(10);
        if (ImGui::Checkbox("Noise Cancellation", &settings.noiseCancellation)) settingsChanged();
        hint("Reduce background noise from microphone");
    }
    hint(kNotUsedHint);
    ImGui::PopStyleVar();
    ImGui::EndDisabled();
}

void UIManager::renderInputPage() {
    pageTitle(fontTitle, "Input", "Configure controller and tracking input");
    ImGui::PushStyleVar(ImGuiStyleVar_FramePadding, ImVec2(6, 6));
    // The client's mouse and keyboard events always reach the streamed window.
    ImGui::BeginDisabled();
    if (ImGui::Checkbox("Track Controllers", &settings.trackControllers)) settingsChanged();
    hint("Use Quest controllers as mouse/keyboard input");
    gap(15);
    if (ImGui::Checkbox("Forward Tracking Data", &settings.forwardTrackingData)) settingsChanged();
    hint("Send headset and controller tracking to PC applications");
    gap(10);
    hint(kNotUsedHint);
    ImGui::EndDisabled();
    ImGui::PopStyleVar();
}

}  // namespace quillane::host
