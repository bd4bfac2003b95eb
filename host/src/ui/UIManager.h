#pragma once

#include "app/Settings.h"
#include "app/UpdateChecker.h"
#include "capture/WindowInfo.h"
#include "ui/LogRing.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct ImFont;

namespace quillane::host {

class UIBackend;
class UrlOpener;

// The preset whose bitrates these are, or kCustomPreset.
std::uint32_t presetForBitrates(std::uint32_t targetBitrate, std::uint32_t maxBitrate);

// The settings as the UI shows and edits them; handed whole to
// UIManager::onSettingsChanged on each edit. The fields the settings file
// keeps start at its defaults.
struct UISettings {
    std::uint32_t signalingPort = SettingsValues{}.signalingPort;
    std::uint32_t videoPort = SettingsValues{}.videoPort;
    std::uint32_t audioPort = SettingsValues{}.audioPort;
    std::uint32_t inputPort = SettingsValues{}.inputPort;
    std::uint32_t qualityPreset = presetForBitrates(SettingsValues{}.targetBitrate, SettingsValues{}.maxBitrate);
    std::uint32_t targetFps = SettingsValues{}.targetFps;
    std::uint32_t targetBitrate = SettingsValues{}.targetBitrate;  // kbit/s
    std::uint32_t maxBitrate = SettingsValues{}.maxBitrate;        // kbit/s
    std::uint32_t reserved1 = 75;
    bool reserved2 = false;
    std::string codec = "h264";
    std::string profile = "main";
    std::uint32_t audioBitrate = 128;
    bool micPassthrough = false;
    std::uint32_t micVolume = 85;
    bool noiseCancellation = true;
    bool trackControllers = true;
    bool forwardTrackingData = false;
    bool lowLatencyMode = true;
    bool adaptiveBitrate = true;
    bool sliceEncoding = true;
    std::uint32_t reserved3 = 4;
    std::uint32_t reserved4 = 120;
    bool sharpeningEnabled = SettingsValues{}.sharpeningEnabled;
    float sharpness = SettingsValues{}.sharpness;
    bool fullRangeColor = SettingsValues{}.fullRangeColor;
    bool vsyncEnabled = SettingsValues{}.vsyncEnabled;
    bool autoCheckUpdates = SettingsValues{}.autoCheckUpdates;
};

// The Streaming page's quality presets; the last, "Custom", keeps the bitrates.
struct QualityPreset {
    const char* label;
    std::uint32_t targetBitrate;  // kbit/s
    std::uint32_t maxBitrate;     // kbit/s
};
inline constexpr QualityPreset kQualityPresets[] = {{"Low (10 Mbps)", 10000, 15000},
                                                    {"Medium (20 Mbps)", 20000, 30000},
                                                    {"High (50 Mbps)", 50000, 75000},
                                                    {"Ultra (100 Mbps)", 100000, 150000},
                                                    {"Custom", 0, 0}};
inline constexpr auto kCustomPreset = static_cast<std::uint32_t>(std::size(kQualityPresets) - 1);

inline constexpr const char* kWebsiteUrl = "https://quillane.app";
inline constexpr const char* kReleaseNotesUrl = "https://quillane.app/releases";
inline constexpr const char* kCommunityUrl = "https://discord.gg/quillane";

// What the host knows about the machine; written once at start-up.
struct SystemInfo {
    std::string gpuName = "Detecting...";
    std::uint64_t vramMB = 0;  // 0: the platform cannot tell
    std::string encoderName = "None";
    bool wgcSupported = false;  // window capture is available
    std::string captureApi;     // what the capture layer uses
};

// The connection as shown; written whole every main-loop turn. Values the host
// does not know (yet) are empty and shown as a dash.
struct ConnectionStatus {
    bool connected = false;
    std::string clientName;
    std::string clientIp;
    std::optional<std::uint32_t> fps;
    std::optional<float> latencyMs;
    std::optional<float> bitrateMbps;

    bool operator==(const ConnectionStatus&) const = default;
};

// One row of the window list.
struct WindowEntry {
    std::uint32_t windowId = 0;
    std::string title;
    std::string processName;
    bool streaming = false;
    std::uint8_t streamId = 0;

    bool operator==(const WindowEntry&) const = default;
};

// Draws the host window's content with Dear ImGui: sidebar, pages and status
// bar. Every user action leaves through one of the callbacks below; the owner
// writes the records and callbacks as public members.
// Threads: everything runs on the main thread except addLogEntry, which any
// thread may call (it takes the log ring's own lock), and setUpdateAvailable
// and isUpdateNotificationShown, which any thread may call (updateMutex).
class UIManager {
public:
    using WindowInfo = protocol::WindowInfo;

    enum Page { Dashboard = 0, Streaming, Audio, Input, SettingsPage, Logs, About, PageCount };

    explicit UIManager(std::unique_ptr<UIBackend> backend);
    ~UIManager();
    UIManager(const UIManager&) = delete;
    UIManager& operator=(const UIManager&) = delete;

    // ImGui context, fonts, theme, back ends and logo. False when a back end
    // does not start (then nothing is left initialised); true when already done.
    bool initialize();
    void shutdown();
    bool isInitialized() const { return initialized; }

    // Whether the window's picture may have changed since the last render():
    // input, new data, or a frame ImGui still needs to settle.
    bool needsFrame();
    // Builds and draws one frame; nothing before initialize().
    void render();

    void setWindowList(const std::vector<WindowInfo>& windows);
    // Shows the update panel on the Settings page for `info` (until "Dismiss")
    // and ends the "Checking..." state.
    void setUpdateAvailable(const UpdateInfo& info);
    bool isUpdateNotificationShown() const;
    // Whether the user holds a control (a slider being dragged) after the last frame.
    bool isControlHeld() const { return controlHeld; }
    // Any thread, any state.
    void addLogEntry(int level, const std::string& message);

    const std::vector<WindowEntry>& windows() const { return windowEntries; }
    LogRing& logRing() { return logEntries; }
    int currentPage = Dashboard;

    UISettings settings;
    SystemInfo systemInfo;
    ConnectionStatus connectionStatus;
    std::string localIp = "0.0.0.0";
    bool autoScroll = true;
    int logLevelFilter = 0;
    bool updateCheckInProgress = false;
    std::string lastUpdateCheckText = "Never";
    // What "Reset to Defaults" restores; the ports are always kept as they are,
    // since the servers listen on them until the host restarts.
    UISettings resetSettings;
    // "Open Log Folder" opens this; empty: the button does nothing.
    std::filesystem::path logFolder;
    // Opens the About page's links, the log folder and the release notes.
    std::unique_ptr<UrlOpener> urlOpener;

    std::function<void(const UISettings&)> onSettingsChanged;
    // The id for a stream started from the window list, from the allocator that
    // clients' streams share, so it never takes over a client's; none when all are
    // taken. onStartCapture consumes it (running, or free again when the start fails).
    std::function<std::optional<std::uint8_t>()> reserveStreamId;
    std::function<bool(std::uint32_t windowId, std::uint8_t streamId)> onStartCapture;
    std::function<void(std::uint8_t streamId)> onStopCapture;
    std::function<void()> onCheckForUpdates;
    std::function<void(const std::string& url)> onOpenDownloadPage;
    std::function<void(const std::string& version)> onDismissUpdate;

    // Fonts as added by initialize(); all four are the built-in font when no
    // font file loads.
    ImFont* fontRegular = nullptr;
    ImFont* fontMedium = nullptr;
    ImFont* fontHeading = nullptr;
    ImFont* fontTitle = nullptr;

    // Page parts, public so tests can drive one row of the list directly.
    void toggleWindowStream(WindowEntry& entry);

private:
    void detectLocalIpAddress();
    void addFonts();
    void applyTheme();
    bool loadLogoTexture();
    void releaseLogo();

    void renderSidebar(float width, float height);
    void renderNavButton(const char* label, int page);
    void renderStatusBar(float width);
    void renderContent();
    void renderDashboard();
    void renderConnectionCard();
    void renderSystemCard();
    void renderWindowList();
    void renderLogsPage();
    void renderStreamingPage();
    void renderQualityPresetChoice();
    void renderFrameRateChoice();
    void renderBitrateSlider();
    void renderCodecChoice();
    void renderAdvancedStreamingOptions();
    void renderVideoQualityOptions();
    void renderAudioPage();
    void renderInputPage();
    void renderSettingsPage();
    void renderUpdateNotification();
    void renderUpdatesSection();
    void renderAboutPage();
    void settingsChanged();
    void renderLogLine(const LogEntry& entry);

    std::unique_ptr<UIBackend> backend;
    bool initialized = false;
    void* logoView = nullptr;  // ImTextureID
    int logoWidth = 0;
    int logoHeight = 0;
    std::vector<WindowEntry> windowEntries;
    mutable std::mutex updateMutex;
    bool updateNotificationShown = false;  // under updateMutex
    UpdateInfo updateInfo;                 // under updateMutex
    std::atomic<bool> updateChanged{false};
    LogRing logEntries;

    // What the last frame showed, to tell whether another one is due.
    bool dirty = true;
    int settleFrames = 0;
    ConnectionStatus drawnStatus;
    bool drawnCheckInProgress = false;
    std::string drawnLastCheckText;
    bool controlHeld = false;
    std::uint64_t drawnLogVersion = 0;
    std::vector<LogEntry> logSnapshot;
    // The cards fit what they hold, measured in the frame before.
    float connectionCardHeight = 230;
    float systemCardHeight = 200;
};

}  // namespace quillane::host
