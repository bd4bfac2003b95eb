#pragma once

#include "capture/WindowInfo.h"
#include "ui/LogRing.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct ImFont;

namespace quillane::host {

class UIBackend;

// The settings as the UI shows and edits them; handed whole to
// UIManager::onSettingsChanged on each edit.
struct UISettings {
    std::uint32_t signalingPort = 9876;
    std::uint32_t videoPort = 9944;
    std::uint32_t audioPort = 9945;
    std::uint32_t inputPort = 9946;
    std::uint32_t qualityPreset = 2;  // High
    std::uint32_t targetFps = 72;
    std::uint32_t targetBitrate = 50000;  // kbit/s
    std::uint32_t maxBitrate = 100000;    // kbit/s
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
    bool sharpeningEnabled = false;
    float sharpness = 0.7f;
    bool fullRangeColor = false;
    bool vsyncEnabled = false;
    bool autoCheckUpdates = true;
};

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
// thread may call (it takes the log ring's own lock).
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
    // Any thread, any state.
    void addLogEntry(int level, const std::string& message);

    const std::vector<WindowEntry>& windows() const { return windowEntries; }
    LogRing& logRing() { return logEntries; }
    int currentPage = Dashboard;

    UISettings settings;
    SystemInfo systemInfo;
    ConnectionStatus connectionStatus;
    std::string localIp = "0.0.0.0";
    std::uint8_t nextStreamId = 1;
    bool autoScroll = true;
    int logLevelFilter = 0;
    bool updateNotificationShown = false;
    bool updateCheckInProgress = false;
    std::string lastUpdateCheckText = "Never";

    std::function<void(const UISettings&)> onSettingsChanged;
    // Ids of streams that run (from either path); the window list's counter
    // skips them, so its streams never take over a client's.
    std::function<bool(std::uint8_t streamId)> isStreamIdInUse;
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
    void renderPlaceholderPage(const char* title);
    void renderLogLine(const LogEntry& entry);

    std::unique_ptr<UIBackend> backend;
    bool initialized = false;
    void* logoView = nullptr;  // ImTextureID
    int logoWidth = 0;
    int logoHeight = 0;
    std::vector<WindowEntry> windowEntries;
    LogRing logEntries;

    // What the last frame showed, to tell whether another one is due.
    bool dirty = true;
    int settleFrames = 0;
    ConnectionStatus drawnStatus;
    std::uint64_t drawnLogVersion = 0;
    std::vector<LogEntry> logSnapshot;
    // The cards fit what they hold, measured in the frame before.
    float connectionCardHeight = 230;
    float systemCardHeight = 200;
};

}  // namespace quillane::host
