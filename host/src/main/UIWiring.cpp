#include "main/UIWiring.h"

#include "app/Application.h"
#include "app/Logging.h"
#include "main/ApplicationWiring.h"
#include "main/HostRun.h"
#include "network/LogText.h"
#include "platform/HostWindow.h"
#include "ui/UIBackend.h"

#include <spdlog/spdlog.h>

#include <cmath>

namespace quillane::host {
namespace {

// The UI's fields that the settings file keeps, and the preset their bitrates make.
void takePersisted(UISettings& s, const SettingsValues& values) {
    s.signalingPort = values.signalingPort;
    s.videoPort = values.videoPort;
    s.audioPort = values.audioPort;
    s.inputPort = values.inputPort;
    s.targetFps = values.targetFps;
    s.targetBitrate = values.targetBitrate;
    s.maxBitrate = values.maxBitrate;
    s.sharpeningEnabled = values.sharpeningEnabled;
    s.sharpness = values.sharpness;
    s.fullRangeColor = values.fullRangeColor;
    s.vsyncEnabled = values.vsyncEnabled;
    s.autoCheckUpdates = values.autoCheckUpdates;
    s.qualityPreset = presetForBitrates(s.targetBitrate, s.maxBitrate);
}

}  // namespace

UIWiring::UIWiring(HostServices& services, ApplicationWiring& application) : wiring(application) {
    services.loggingReady = [this] {
        sink = std::make_shared<UISinkMt>();
        addLogSink(sink);
    };
    services.startUi = [this, &services, &application](TurnHooks& hooks) {
        return application.get() && start(services, *application.get(), hooks);
    };
    services.stopUi = [this] { stop(); };
}

UIWiring::~UIWiring() {
    stop();
}

bool UIWiring::start(HostServices& services, Application& application, TurnHooks& hooks) {
    ui = std::make_unique<UIManager>(createUIBackend(services.window));
    if (!ui->initialize()) {
        ui.reset();
        return false;
    }
    if (sink) {
        sink->setCallback([view = ui.get()](int level, const std::string& text) {
            view->addLogEntry(level >= 0 && level <= 5 ? level : 2, text);
        });
        SPDLOG_INFO("UI log sink attached");
    }

    const SettingsValues values = application.getSettings().values();
    UISettings& s = ui->settings;
    takePersisted(s, values);
    applied = s;
    SPDLOG_INFO("UI initialized with settings: bitrate={} kbps, fps={}, ports={}/{}/{}/{}", s.targetBitrate,
                s.targetFps, s.signalingPort, s.videoPort, s.audioPort, s.inputPort);
    app = &application;
    wireCallbacks(application);
    UpdateNotice::showCheckState(wiring.updateChecker(), application.getSettings(), *ui,
                                 secondsSinceEpoch());

    ui->systemInfo.gpuName = application.getGpuName();
    ui->systemInfo.vramMB = application.getVramMB();
    ui->systemInfo.encoderName = application.getEncoderName();
    ui->systemInfo.wgcSupported = true;
    ui->systemInfo.captureApi = Application::getCaptureApi();

    UIManager* view = ui.get();
    hooks.updateConnectionStatus = [this, view, &application] {
        const auto now = std::chrono::steady_clock::now();
        view->connectionStatus = connectionStatus(application, now);
        if (view->updateCheckInProgress) {
            UpdateNotice::showCheckState(wiring.updateChecker(), application.getSettings(), *view,
                                         secondsSinceEpoch());
        }
        flushSettings(application, now, false);
    };
    hooks.everySixtiethTurn = [this, view, &application] {
        view->setWindowList(application.getWindowList());
        updateNotice.offer(wiring.updateChecker(), application.getSettings(), *view, secondsSinceEpoch());
    };
    hooks.renderUi = [view] { view->render(); };
    hooks.uiNeedsFrame = [view] { return view->needsFrame(); };
    // The first list now, not a second after the window appears.
    view->setWindowList(application.getWindowList());
    return true;
}

void UIWiring::wireCallbacks(Application& application) {
    ui->onSettingsChanged = [this, &application](const UISettings& s) { applyEdit(application, s); };
    ui->onCheckForUpdates = [this, &application] {
        SPDLOG_INFO("Manual update check requested");
        ui->updateCheckInProgress = true;
        wiring.checkForUpdates(true);
    };
    ui->onOpenDownloadPage = [](const std::string& url) {
        SPDLOG_INFO("Opening download page: {}", logSafeText(url));
        UpdateChecker::openDownloadPage(url);
    };
    ui->reserveStreamId = [&application] { return application.reserveStreamId(); };
    ui->onStartCapture = [&application](std::uint32_t windowId, std::uint8_t streamId) {
        SPDLOG_INFO("Start capture requested for window {} on stream {}", windowId, streamId);
        return application.startCapture(windowId, streamId);
    };
    ui->onStopCapture = [&application](std::uint8_t streamId) {
        SPDLOG_INFO("Stop capture requested for stream {}", streamId);
        application.stopCapture(streamId);
    };
    ui->onDismissUpdate = [&application](const std::string& version) {
        SPDLOG_INFO("User dismissed update: {}", version);
        application.getSettings().update([&](SettingsValues& v) { v.dismissedVersion = version; });
        application.getSettings().save();
    };
}

void UIWiring::applyEdit(Application& application, const UISettings& s) {
    SPDLOG_INFO("Settings changed - FPS: {}, Bitrate: {} kbps, Sharpening: {} ({:.1f}), VSync: {}, FullRange: {}",
                s.targetFps, s.targetBitrate, s.sharpeningEnabled ? "ON" : "OFF", s.sharpness,
                s.vsyncEnabled ? "ON" : "OFF", s.fullRangeColor ? "ON" : "OFF");
    // Applying the bitrates restarts congestion control, so only a real change does.
    bool changed = false;
    if (s.targetBitrate != applied.targetBitrate || s.maxBitrate != applied.maxBitrate ||
        s.targetFps != applied.targetFps) {
        changed = application.applySettings(s.targetBitrate, s.maxBitrate, s.targetFps);
    }
    if (s.sharpeningEnabled != applied.sharpeningEnabled || s.sharpness != applied.sharpness) {
        application.applySharpeningSettings(s.sharpeningEnabled, s.sharpness);
        changed = true;
    }
    if (s.vsyncEnabled != applied.vsyncEnabled) {
        application.applyVSyncSettings(s.vsyncEnabled);
        changed = true;
    }
    if (s.fullRangeColor != applied.fullRangeColor) {
        application.applyFullRangeColorSettings(s.fullRangeColor);
        changed = true;
    }
    if (s.autoCheckUpdates != applied.autoCheckUpdates) {
        application.getSettings().update([&](SettingsValues& v) { v.autoCheckUpdates = s.autoCheckUpdates; });
        changed = true;
    }
    applied = s;
    savePending = savePending || changed;
}

void UIWiring::flushSettings(Application& application, std::chrono::steady_clock::time_point now, bool force) {
    if (!savePending) return;
    const bool held = ui && ui->isControlHeld();
    if (!force && held && now - savedAt < std::chrono::seconds(1)) return;
    savePending = false;
    savedAt = now;
    application.getSettings().save();
}

ConnectionStatus UIWiring::connectionStatus(Application& application, std::chrono::steady_clock::time_point now) {
    ConnectionStatus status;
    status.connected = application.isClientConnected();
    if (!status.connected) {
        wasConnected = false;
        return status;
    }
    const std::uint64_t frames = application.getFramesSent();
    if (!wasConnected) {
        // A new connection: frames per second are unknown until a second passed.
        wasConnected = true;
        fps.reset();
        fpsSampledAt = now;
        fpsFrames = frames;
    } else if (now - fpsSampledAt >= std::chrono::seconds(1)) {
        const double seconds = std::chrono::duration<double>(now - fpsSampledAt).count();
        fps = static_cast<std::uint32_t>(std::lround(static_cast<double>(frames - fpsFrames) / seconds));
        fpsSampledAt = now;
        fpsFrames = frames;
    }
    status.clientIp = application.getClientAddress();
    status.fps = fps;
    if (const int rtt = application.getLastRttMs(); rtt >= 0) status.latencyMs = static_cast<float>(rtt);
    status.bitrateMbps = static_cast<float>(application.getCurrentBitrateKbps()) / 1000.0f;
    return status;
}

void UIWiring::stop() {
    // No logging thread may reach the UI once it starts going.
    if (sink) sink->setCallback({});
    if (app) flushSettings(*app, std::chrono::steady_clock::now(), true);
    app = nullptr;
    if (ui) {
        ui->shutdown();
        ui.reset();
    }
}

}  // namespace quillane::host
