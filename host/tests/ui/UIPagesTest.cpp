#include "HeadlessUIBackend.h"

#include "app/UrlOpener.h"
#include "ui/UIManager.h"

#include <gtest/gtest.h>
#include <imgui.h>
#include <imgui_internal.h>

#include <chrono>
#include <cstring>

namespace quillane::host::test {
namespace {

class RecordingOpener final : public UrlOpener {
public:
    explicit RecordingOpener(std::vector<std::string>& opened) : opened(opened) {}
    bool open(const std::string& url) override {
        opened.push_back(url);
        return true;
    }
    std::vector<std::string>& opened;
};

// Drives the pages with the headless back end: finds a control by its label
// (through what ImGui reports as hovered) and clicks it.
class UIPagesTest : public ::testing::Test {
protected:
    void SetUp() override {
        state.fonts = {QH_UI_TEST_FONT};
        state.displaySize = ImVec2(1400, 2000);  // tall enough for the longest page, unscrolled
        ui = std::make_unique<UIManager>(std::make_unique<HeadlessUIBackend>(state));
        ASSERT_TRUE(ui->initialize());
        ui->urlOpener = std::make_unique<RecordingOpener>(opened);
        ui->onSettingsChanged = [this](const UISettings& s) { changes.push_back(s); };
    }

    void frame() {
        state.input = true;
        ui->render();
    }

    // The id `label` has in the window whose name holds `window` (as the
    // `index`th item of a list when not negative).
    static ImGuiID idOf(const char* window, const char* label, int index = -1) {
        for (ImGuiWindow* w : ImGui::GetCurrentContext()->Windows) {
            if (!std::strstr(w->Name, window)) continue;
            return index < 0 ? w->GetID(label) : ImHashStr(label, 0, w->GetID(index));
        }
        return 0;
    }

    // Moves the mouse down the column at `x` until `label` is hovered.
    bool hover(const char* label, float x = 330, const char* window = "/Content_", int index = -1) {
        const ImGuiID id = idOf(window, label, index);
        if (id == 0) return false;
        for (float y = 0; y < state.displaySize.y; y += 3) {
            state.mouse = ImVec2(x, y);
            frame();
            if (ImGui::GetCurrentContext()->HoveredId == id) {
                hoveredDisabled = ImGui::GetCurrentContext()->HoveredIdDisabled;
                return true;
            }
        }
        return false;
    }

    bool click(const char* label, float x = 330, const char* window = "/Content_", int index = -1) {
        if (!hover(label, x, window, index) || hoveredDisabled) return false;
        state.pressed = true;
        frame();
        state.pressed = false;
        frame();
        frame();
        return true;
    }

    bool enabled(const char* label, float x = 330) {
        return hover(label, x) && !hoveredDisabled;
    }

    void show(int page) {
        ui->currentPage = page;
        state.mouse = ImVec2(-1, -1);
        frame();
        frame();
    }

    HeadlessUIBackend::State state;
    std::unique_ptr<UIManager> ui;
    std::vector<UISettings> changes;
    std::vector<std::string> opened;
    bool hoveredDisabled = false;
};

TEST_F(UIPagesTest, PresetsAndTheBitrateSliderAgree) {
    EXPECT_EQ(presetForBitrates(50000, 75000), 2u);
    EXPECT_EQ(presetForBitrates(20000, 50000), kCustomPreset);  // the settings file's defaults
    EXPECT_EQ(presetForBitrates(10000, 15000), 0u);

    show(UIManager::Streaming);
    // "90 Hz" is the third frame-rate button: 90 px wide, 10 apart.
    ASSERT_TRUE(click("90 Hz", 310 + 2 * 100 + 45));
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes.back().targetFps, 90u);

    // A click on the slider sets whole megabits, 1.5 times that as maximum,
    // and switches the preset to "Custom".
    ui->settings.qualityPreset = 2;
    ASSERT_TRUE(click("##Bitrate", 310 + 100));
    ASSERT_EQ(changes.size(), 2u);
    const UISettings& slid = changes.back();
    EXPECT_EQ(slid.qualityPreset, kCustomPreset);
    EXPECT_EQ(slid.targetBitrate % 1000, 0u);
    EXPECT_GE(slid.targetBitrate, 5000u);
    EXPECT_LT(slid.targetBitrate, 50000u);
    EXPECT_EQ(slid.maxBitrate, slid.targetBitrate / 1000 * 1500);
    EXPECT_EQ(slid.targetFps, 90u);

    // The preset combo: "Ultra (100 Mbps)" sets both bitrates.
    ASSERT_TRUE(click("##QualityPreset"));
    ASSERT_TRUE(click("Ultra (100 Mbps)", 330, "##Combo_", 3));
    ASSERT_EQ(changes.size(), 3u);
    EXPECT_EQ(changes.back().qualityPreset, 3u);
    EXPECT_EQ(changes.back().targetBitrate, 100000u);
    EXPECT_EQ(changes.back().maxBitrate, 150000u);
}

TEST_F(UIPagesTest, EachActiveControlHandsOnItsField) {
    show(UIManager::Streaming);
    ASSERT_TRUE(click("Enable Sharpening (CAS)"));
    ASSERT_FALSE(changes.empty());
    EXPECT_TRUE(changes.back().sharpeningEnabled);
    ASSERT_TRUE(click("VSync Frame Pacing"));
    EXPECT_TRUE(changes.back().vsyncEnabled);
    ASSERT_TRUE(click("Full Range Color"));
    EXPECT_TRUE(changes.back().fullRangeColor);
    // The sharpness slider appears with sharpening.
    ASSERT_TRUE(click("##Sharpness", 310 + 20));
    EXPECT_LT(changes.back().sharpness, 0.7f);
    EXPECT_EQ(changes.size(), 4u);

    ui->settings.sharpeningEnabled = false;
    show(UIManager::Streaming);
    EXPECT_FALSE(hover("##Sharpness", 310 + 20));
    EXPECT_LT(ui->settings.sharpness, 0.7f);  // kept while hidden

    // What this host does not act on cannot be changed.
    for (const char* label : {"##Codec", "Low Latency Mode", "Adaptive Bitrate", "Slice-based Encoding"})
        EXPECT_FALSE(enabled(label)) << label;
    show(UIManager::Audio);
    EXPECT_FALSE(enabled("##AudioQuality"));
    EXPECT_FALSE(enabled("Enable Microphone Passthrough"));
    show(UIManager::Input);
    EXPECT_FALSE(enabled("Track Controllers"));
    show(UIManager::SettingsPage);
    EXPECT_FALSE(enabled("Start with Windows"));
    EXPECT_EQ(changes.size(), 4u);

    ASSERT_TRUE(click("Check for updates automatically"));
    EXPECT_FALSE(changes.back().autoCheckUpdates);
}

TEST_F(UIPagesTest, ResetRestoresTheResetValuesAndKeepsThePorts) {
    ui->settings.signalingPort = 19876;
    ui->settings.videoPort = 19944;
    ui->settings.targetBitrate = 80000;
    ui->settings.targetFps = 120;
    ui->settings.sharpeningEnabled = true;
    ui->resetSettings.targetBitrate = 20000;
    ui->resetSettings.maxBitrate = 50000;
    show(UIManager::SettingsPage);
    ASSERT_TRUE(click("Reset to Defaults"));
    ASSERT_EQ(changes.size(), 1u);
    const UISettings& reset = changes.back();
    EXPECT_EQ(reset.targetBitrate, 20000u);
    EXPECT_EQ(reset.maxBitrate, 50000u);
    EXPECT_EQ(reset.qualityPreset, kCustomPreset);
    EXPECT_EQ(reset.targetFps, 72u);
    EXPECT_FALSE(reset.sharpeningEnabled);
    EXPECT_EQ(reset.signalingPort, 19876u);
    EXPECT_EQ(reset.videoPort, 19944u);
}

TEST_F(UIPagesTest, UpdatePanelButtons) {
    std::vector<std::string> downloads;
    std::vector<std::string> dismissed;
    ui->onOpenDownloadPage = [&](const std::string& url) { downloads.push_back(url); };
    ui->onDismissUpdate = [&](const std::string& version) { dismissed.push_back(version); };
    show(UIManager::SettingsPage);
    EXPECT_FALSE(hover("Dismiss", 650, "/UpdateNotification_"));

    UpdateInfo info;
    info.version = "1.2.0";
    info.downloadPage = "https://quillane.app/download";
    info.releaseNotes = "Faster streams";
    ui->updateCheckInProgress = true;
    ui->setUpdateAvailable(info);
    EXPECT_TRUE(ui->needsFrame());
    EXPECT_FALSE(ui->updateCheckInProgress);
    EXPECT_TRUE(ui->isUpdateNotificationShown());
    show(UIManager::SettingsPage);

    // Buttons on one line: 140, 120 and 80 wide from the panel's padding.
    const float left = 310 + 15;
    ASSERT_TRUE(click("Download Update", left + 70, "/UpdateNotification_"));
    EXPECT_EQ(downloads, std::vector<std::string>{"https://quillane.app/download"});
    ASSERT_TRUE(click("Release Notes", left + 140 + 12 + 60, "/UpdateNotification_"));
    EXPECT_EQ(opened, std::vector<std::string>{kReleaseNotesUrl});
    ASSERT_TRUE(click("Dismiss", left + 140 + 12 + 120 + 12 + 40, "/UpdateNotification_"));
    EXPECT_EQ(dismissed, std::vector<std::string>{"1.2.0"});
    EXPECT_FALSE(ui->isUpdateNotificationShown());
    frame();
    EXPECT_EQ(dismissed.size(), 1u);
}

TEST_F(UIPagesTest, CheckNowStaysDisabledWhileTheCheckRuns) {
    show(UIManager::SettingsPage);
    // Without a handler a click changes nothing.
    ASSERT_TRUE(click("Check Now"));
    EXPECT_FALSE(ui->updateCheckInProgress);

    int checks = 0;
    ui->onCheckForUpdates = [&] { ++checks; };
    ASSERT_TRUE(click("Check Now"));
    EXPECT_EQ(checks, 1);
    EXPECT_TRUE(ui->updateCheckInProgress);
    EXPECT_FALSE(enabled("Checking..."));
    EXPECT_FALSE(click("Checking..."));
    EXPECT_EQ(checks, 1);

    ui->updateCheckInProgress = false;
    ui->lastUpdateCheckText = "Failed";
    EXPECT_TRUE(ui->needsFrame());
    show(UIManager::SettingsPage);
    ASSERT_TRUE(click("Check Now"));
    EXPECT_EQ(checks, 2);
}

TEST_F(UIPagesTest, AboutPageLinksAndLogFolder) {
    const auto folder = std::filesystem::temp_directory_path() / ("qh-ui-logs-" +
        std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::filesystem::remove_all(folder);
    ui->logFolder = folder;
    show(UIManager::About);
    ASSERT_TRUE(click("Visit Website", 310 + 80));
    ASSERT_TRUE(click("Join Discord", 310 + 160 + 12 + 80));
    ASSERT_TRUE(click("Open Log Folder", 310 + 2 * (160 + 12) + 80));
    ASSERT_EQ(opened.size(), 3u);
    EXPECT_EQ(opened[0], kWebsiteUrl);
    EXPECT_EQ(opened[1], kCommunityUrl);
    EXPECT_EQ(std::filesystem::path(opened[2]), folder);
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    std::filesystem::remove_all(folder);

    ui->logFolder.clear();
    ASSERT_TRUE(click("Open Log Folder", 310 + 2 * (160 + 12) + 80));
    EXPECT_EQ(opened.size(), 3u);
}

// Every state each page has renders without one of ImGui's assertions.
TEST_F(UIPagesTest, EveryPageStateRenders) {
    UpdateInfo info;
    info.version = std::string(300, '9');
    info.releaseNotes = std::string(5000, 'n') + "%s%d";
    for (int variant = 0; variant < 4; ++variant) {
        ui->settings.sharpeningEnabled = variant & 1;
        ui->settings.micPassthrough = variant & 1;
        ui->settings.codec = variant & 2 ? "hevc" : "h264";
        ui->settings.qualityPreset = variant & 2 ? 99 : 4;
        ui->updateCheckInProgress = variant & 2;
        ui->systemInfo.encoderName = variant & 1 ? "" : "x264";
        ui->systemInfo.captureApi = variant & 2 ? "" : "X11";
        if (variant == 2) ui->setUpdateAvailable(info);
        for (int page : {UIManager::Streaming, UIManager::Audio, UIManager::Input, UIManager::SettingsPage,
                         UIManager::About}) {
            show(page);
            EXPECT_GT(state.drawnVertices, 0);
        }
    }
    state.displaySize = ImVec2(320, 200);
    for (int page = 0; page < UIManager::PageCount; ++page) show(page);
}

// A window that never saw the settings file shows (and hands on) the file's defaults.
TEST(UISettingsDefaults, TheWindowsFieldsStartAtTheSettingsFilesDefaults) {
    const UISettings shown;
    const SettingsValues file;
    EXPECT_EQ(shown.targetBitrate, file.targetBitrate);
    EXPECT_EQ(shown.maxBitrate, file.maxBitrate);
    EXPECT_EQ(shown.targetFps, file.targetFps);
    EXPECT_EQ(shown.qualityPreset, presetForBitrates(file.targetBitrate, file.maxBitrate));
    EXPECT_EQ(shown.sharpeningEnabled, file.sharpeningEnabled);
    EXPECT_FLOAT_EQ(shown.sharpness, file.sharpness);
    EXPECT_EQ(shown.fullRangeColor, file.fullRangeColor);
    EXPECT_EQ(shown.vsyncEnabled, file.vsyncEnabled);
    EXPECT_EQ(shown.autoCheckUpdates, file.autoCheckUpdates);
    EXPECT_EQ(shown.signalingPort, file.signalingPort);
    EXPECT_EQ(shown.inputPort, file.inputPort);
}

}  // namespace
}  // namespace quillane::host::test
