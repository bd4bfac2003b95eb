#include "ui/UIManager.h"

#include "app/UrlOpener.h"
#include "network/LogText.h"
#include "platform/Inheritance.h"
#include "platform/Paths.h"
#include "ui/UIBackend.h"
#include "ui/UITheme.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <imgui.h>
#include <spdlog/spdlog.h>

#include <filesystem>
#include <fstream>
#include <unordered_map>

#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_STATIC
#define STBI_ONLY_PNG
#define STBI_NO_STDIO
#include <stb_image.h>

namespace quillane::host {
namespace {

// Frames drawn after input, so hover states, clicks and popups settle (a tenth
// of a second at 60 turns a second; moving the mouse keeps them coming).
constexpr int kSettleFrames = 6;
// A public DNS address: the probe only asks for a route, it sends nothing.
constexpr const char* kRouteProbeAddress = "8.8.8.8";

std::vector<unsigned char> readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

std::uint32_t presetForBitrates(std::uint32_t targetBitrate, std::uint32_t maxBitrate) {
    for (std::uint32_t i = 0; i < kCustomPreset; ++i) {
        if (kQualityPresets[i].targetBitrate == targetBitrate && kQualityPresets[i].maxBitrate == maxBitrate) return i;
    }
    return kCustomPreset;
}

UIManager::UIManager(std::unique_ptr<UIBackend> backend)
    : urlOpener(createUrlOpener()), backend(std::move(backend)) {
    if (const auto state = appStateFolder(); !state.empty()) logFolder = state / "logs";
}

UIManager::~UIManager() {
    shutdown();
}

bool UIManager::initialize() {
    if (initialized) return true;
    detectLocalIpAddress();

    IMGUI_CHECKVERSION();
    ImGui::CreateContext();
    ImGuiIO& io = ImGui::GetIO();
    io.ConfigFlags |= ImGuiConfigFlags_NavEnableKeyboard;
    io.IniFilename = nullptr;
    addFonts();
    applyTheme();

    if (!backend || !backend->initialize()) {
        SPDLOG_ERROR("Failed to start the UI's platform or renderer back end");
        if (backend) backend->shutdown();
        ImGui::DestroyContext();
        return false;
    }
    loadLogoTexture();
    initialized = true;
    dirty = true;
    settleFrames = 3;  // a new context lays its windows out over the first frames
    SPDLOG_INFO("UI Manager initialized with Quillane purple theme");
    return true;
}

void UIManager::shutdown() {
    if (!initialized) return;
    releaseLogo();
    backend->shutdown();
    ImGui::DestroyContext();
    initialized = false;
}

void UIManager::detectLocalIpAddress() {
    try {
        boost::asio::io_context io;
        boost::asio::ip::udp::socket socket(io);
        socket.open(boost::asio::ip::udp::v4());
        if (const int error = keepSocketFromChildren(static_cast<std::uintptr_t>(socket.native_handle())))
            SPDLOG_DEBUG("The address probe socket stays open in programs the host starts (error {})", error);
        boost::system::error_code ec;
        socket.connect({boost::asio::ip::make_address_v4(kRouteProbeAddress), 53}, ec);
        if (!ec) {
            const auto local = socket.local_endpoint(ec);
            if (!ec) localIp = local.address().to_string();
        }
    } catch (const std::exception& e) {
        localIp = "127.0.0.1";
        SPDLOG_WARN("Failed to open the local address probe: {}", e.what());
    }
    SPDLOG_INFO("Detected local IP address: {}", localIp);
}

void UIManager::addFonts() {
    ImGuiIO& io = ImGui::GetIO();
    ImFontConfig config;
    config.PixelSnapH = true;
    config.OversampleH = 3;
    config.OversampleV = 2;
    if (backend) {
        for (const std::string& file : backend->fontFiles()) {
            if (!std::filesystem::exists(file)) continue;
            fontRegular = io.Fonts->AddFontFromFileTTF(file.c_str(), 18.0f, &config);
            if (!fontRegular) continue;
            fontMedium = io.Fonts->AddFontFromFileTTF(file.c_str(), 18.0f, &config);
            fontHeading = io.Fonts->AddFontFromFileTTF(file.c_str(), 24.0f, &config);
            fontTitle = io.Fonts->AddFontFromFileTTF(file.c_str(), 32.0f, &config);
            break;
        }
    }
    if (!fontRegular) {
        ImFont* builtIn = io.Fonts->AddFontDefault();
        fontRegular = fontMedium = fontHeading = fontTitle = builtIn;
    }
    io.Fonts->Build();
}

void UIManager::applyTheme() {
    using namespace palette;
    ImGuiStyle& style = ImGui::GetStyle();
    style.WindowPadding = ImVec2(20, 20);
    style.WindowRounding = 0;
    style.WindowBorderSize = 0;
    style.ChildRounding = 12;
    style.ChildBorderSize = 1;
    style.PopupRounding = 10;
    style.PopupBorderSize = 1;
    style.FramePadding = ImVec2(14, 10);
    style.FrameRounding = 8;
    style.FrameBorderSize = 0;
    style.ItemSpacing = ImVec2(12, 12);
    style.ItemInnerSpacing = ImVec2(10, 8);
    style.IndentSpacing = 28;
    style.ScrollbarSize = 14;
    style.ScrollbarRounding = 8;
    style.GrabMinSize = 14;
    style.GrabRounding = 6;
    style.TabRounding = 8;
    style.TabBorderSize = 0;

    ImVec4* c = style.Colors;
    c[ImGuiCol_Text] = TextPrimary;
    c[ImGuiCol_TextDisabled] = TextHint;
    c[ImGuiCol_WindowBg] = c[ImGuiCol_ScrollbarBg] = Background;
    c[ImGuiCol_ChildBg] = c[ImGuiCol_BorderShadow] = Transparent;
    for (ImGuiCol id : {ImGuiCol_PopupBg, ImGuiCol_FrameBgActive, ImGuiCol_Button, ImGuiCol_Header, ImGuiCol_ResizeGrip,
                        ImGuiCol_Tab, ImGuiCol_TabUnfocused, ImGuiCol_TabUnfocusedActive})
        c[id] = Surface;
    c[ImGuiCol_Border] = c[ImGuiCol_Separator] = Outline;
    c[ImGuiCol_FrameBg] = c[ImGuiCol_ScrollbarGrab] = Field;
    c[ImGuiCol_FrameBgHovered] = c[ImGuiCol_ScrollbarGrabHovered] = SurfaceRaised;
    for (ImGuiCol id : {ImGuiCol_TitleBg, ImGuiCol_TitleBgActive, ImGuiCol_TitleBgCollapsed, ImGuiCol_MenuBarBg})
        c[id] = BackgroundDeep;
    for (ImGuiCol id : {ImGuiCol_ScrollbarGrabActive, ImGuiCol_ButtonHovered, ImGuiCol_HeaderHovered,
                        ImGuiCol_SeparatorHovered, ImGuiCol_ResizeGripHovered, ImGuiCol_TabHovered,
                        ImGuiCol_PlotLines, ImGuiCol_PlotHistogram, ImGuiCol_NavHighlight,
                        ImGuiCol_NavWindowingHighlight})
        c[id] = Accent;
    c[ImGuiCol_CheckMark] = c[ImGuiCol_SeparatorActive] = c[ImGuiCol_ResizeGripActive] = AccentBright;
    c[ImGuiCol_SliderGrab] = AccentGrab;
    for (ImGuiCol id : {ImGuiCol_SliderGrabActive, ImGuiCol_PlotLinesHovered, ImGuiCol_PlotHistogramHovered,
                        ImGuiCol_DragDropTarget})
        c[id] = AccentLight;
    c[ImGuiCol_ButtonActive] = c[ImGuiCol_HeaderActive] = c[ImGuiCol_TabActive] = AccentDeep;
    c[ImGuiCol_TextSelectedBg] = ImVec4(0.45f, 0.35f, 0.90f, 0.35f);
    c[ImGuiCol_NavWindowingDimBg] = ImVec4(0, 0, 0, 0.5f);
    c[ImGuiCol_ModalWindowDimBg] = ImVec4(0, 0, 0, 0.6f);
}

bool UIManager::loadLogoTexture() {
    // The working directory first, then the folder beside the executable.
    std::filesystem::path path = "assets/logo.png";
    std::vector<unsigned char> file = readFile(path);
    if (file.empty()) {
        path = executableFolder() / "assets" / "logo.png";
        file = readFile(path);
    }
    int width = 0;
    int height = 0;
    int channels = 0;
    unsigned char* pixels = file.empty() ? nullptr
                                         : stbi_load_from_memory(file.data(), static_cast<int>(file.size()), &width,
                                                                 &height, &channels, 4);
    if (!pixels) {
        SPDLOG_WARN("Failed to load logo texture from: {}", pathToUtf8(path));
        return false;
    }
    releaseLogo();
    logoView = backend->createTexture(pixels, width, height);
    stbi_image_free(pixels);
    if (!logoView) return false;
    logoWidth = width;
    logoHeight = height;
    SPDLOG_INFO("Loaded logo texture: {}x{}", width, height);
    return true;
}

void UIManager::releaseLogo() {
    if (logoView) backend->releaseTexture(logoView);
    logoView = nullptr;
}

bool UIManager::needsFrame() {
    if (!initialized) return false;
    if (backend->takeInputActivity()) settleFrames = kSettleFrames;
    if (dirty || settleFrames > 0 || connectionStatus != drawnStatus || updateChanged) return true;
    if (updateCheckInProgress != drawnCheckInProgress || lastUpdateCheckText != drawnLastCheckText) return true;
    return currentPage == Logs && logEntries.version() != drawnLogVersion;
}

void UIManager::render() {
    if (!initialized) return;
    dirty = false;
    if (settleFrames > 0) --settleFrames;
    drawnStatus = connectionStatus;
    drawnCheckInProgress = updateCheckInProgress;
    drawnLastCheckText = lastUpdateCheckText;
    updateChanged = false;

    backend->newFrame();
    ImGui::NewFrame();
    const ImVec2 size = ImGui::GetIO().DisplaySize;
    const float W = size.x;
    const float H = size.y;
    constexpr float kSidebarWidth = 260;
    constexpr float kStatusHeight = 56;

    ImGui::SetNextWindowPos(ImVec2(0, 0));
    ImGui::SetNextWindowSize(ImVec2(W, H));
    ImGui::PushStyleVar(ImGuiStyleVar_WindowPadding, ImVec2(0, 0));
    ImGui::PushStyleColor(ImGuiCol_WindowBg, palette::Background);
    ImGui::Begin("Quillane Host", nullptr,
                 ImGuiWindowFlags_NoTitleBar | ImGuiWindowFlags_NoResize | ImGuiWindowFlags_NoMove |
                     ImGuiWindowFlags_NoScrollbar | ImGuiWindowFlags_NoCollapse |
                     ImGuiWindowFlags_NoBringToFrontOnFocus);

    ImGui::PushStyleColor(ImGuiCol_ChildBg, palette::BackgroundDeep);
    ImGui::BeginChild("Sidebar", ImVec2(kSidebarWidth, H - kStatusHeight), false, ImGuiWindowFlags_NoScrollbar);
    renderSidebar(kSidebarWidth, H - kStatusHeight);
    ImGui::EndChild();
    ImGui::PopStyleColor();

    ImGui::SameLine(0, 20);
    ImGui::BeginChild("Content", ImVec2(W - kSidebarWidth - 20, H - kStatusHeight), false, 0);
    renderContent();
    ImGui::EndChild();

    ImGui::SetCursorPos(ImVec2(0, H - kStatusHeight));
    renderStatusBar(W);

    ImGui::End();
    ImGui::PopStyleColor();
    ImGui::PopStyleVar();
    controlHeld = ImGui::IsAnyItemActive();
    ImGui::Render();
    backend->renderDrawData(ImGui::GetDrawData());
}

void UIManager::renderContent() {
    ImGui::SetCursorPos(ImVec2(30, 25));
    switch (currentPage) {
    case Dashboard: renderDashboard(); break;
    case Streaming: renderStreamingPage(); break;
    case Audio: renderAudioPage(); break;
    case Input: renderInputPage(); break;
    case SettingsPage: renderSettingsPage(); break;
    case Logs: renderLogsPage(); break;
    case About: renderAboutPage(); break;
    default: break;
    }
}

void UIManager::setUpdateAvailable(const UpdateInfo& info) {
    {
        std::lock_guard lock(updateMutex);
        updateInfo = info;
        updateNotificationShown = true;
        SPDLOG_INFO("Update notification set: v{}", logSafeText(info.version));
    }
    updateCheckInProgress = false;
    updateChanged = true;
}

bool UIManager::isUpdateNotificationShown() const {
    std::lock_guard lock(updateMutex);
    return updateNotificationShown;
}

void UIManager::setWindowList(const std::vector<WindowInfo>& windows) {
    std::unordered_map<std::uint32_t, WindowEntry> previous;
    for (const auto& entry : windowEntries) previous.emplace(entry.windowId, entry);
    std::vector<WindowEntry> next;
    next.reserve(windows.size());
    for (const auto& info : windows) {
        WindowEntry entry{info.id, info.title, info.processName, false, 0};
        if (auto it = previous.find(info.id); it != previous.end()) {
            entry.streaming = it->second.streaming;
            entry.streamId = it->second.streamId;
        }
        next.push_back(std::move(entry));
    }
    if (next != windowEntries) {
        windowEntries = std::move(next);
        dirty = true;
    }
}

void UIManager::addLogEntry(int level, const std::string& message) {
    logEntries.add(level, message);
}

void UIManager::toggleWindowStream(WindowEntry& entry) {
    dirty = true;
    if (entry.streaming) {
        // 0 is an id like any other once the counter has wrapped.
        if (onStopCapture) onStopCapture(entry.streamId);
        entry.streaming = false;
        entry.streamId = 0;
        return;
    }
    // Reserved only for a start that will be made: nothing else gives it back.
    if (!onStartCapture || !reserveStreamId) return;
    const auto id = reserveStreamId();
    if (!id) return;  // all 256 busy: no running stream is taken over
    if (onStartCapture(entry.windowId, *id)) {
        entry.streaming = true;
        entry.streamId = *id;
    }
}

}  // namespace quillane::host
