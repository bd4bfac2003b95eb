#include "app/Application.h"

#include <spdlog/spdlog.h>

#include "capture/CaptureOrchestrator.h"
#include "common/LineSource.h"
#include "network/DiscoveryResponder.h"
#include "network/SignalingServer.h"
#include "network/TcpAudioServer.h"
#include "network/TcpInputServer.h"
#include "network/TcpTransportServer.h"
#include "platform/ComputerName.h"
#include "platform/ProcessPriority.h"

namespace quillane::host {
Application::Application() : Application(createProcessPriority()) {}

Application::Application(std::unique_ptr<ProcessPriority> priority)
    : Application(std::move(priority), createInputPlatform()) {}

Application::Application(std::unique_ptr<ProcessPriority> priority, std::shared_ptr<InputPlatform> inputPlatform)
    : Application(std::move(priority), std::move(inputPlatform), platformCaptureServices()) {}

Application::Application(std::unique_ptr<ProcessPriority> priority, std::shared_ptr<InputPlatform> inputPlatform,
                         CaptureServices captureServices)
    : processPriority(std::move(priority)),
      captureServices(std::move(captureServices)),
      input(std::move(inputPlatform), [this](std::uint8_t streamId) { return NativeWindow{streams.windowOf(streamId)}; }) {}

Application::~Application() {
    if (initialized) shutdown();
    tcpInputServer.take().reset();
    // Whatever a failed initialize left behind, in reverse order of creation.
    tcpAudioServer.take().reset();
    discoveryResponder.take().reset();
    tcpTransportServer.take().reset();
    signalingServer.take().reset();
    input.stop();
    audio.stop();
    captureOrchestrator.take().reset();
}

bool Application::initialize() {
    SPDLOG_INFO("Initializing application subsystems...");
    if (!settings.load()) {
        SPDLOG_WARN("Failed to load settings, using defaults");
        settings.resetToDefaults();
    }
    const SettingsValues cfg = settings.values();
    bitrate.setTargets(cfg.targetBitrate, cfg.targetFps);
    videoPort = cfg.videoPort;
    if (!initializeCapture(cfg) || !input.start()) return false;
    if (!audio.start()) SPDLOG_WARN("Audio capture not available");
    if (!startSignaling(cfg) || !startTransports(cfg)) return false;
    startDiscovery(cfg);

    SPDLOG_INFO("All subsystems initialized successfully");
    SPDLOG_INFO("Signaling: ws://localhost:{}", cfg.signalingPort);
    SPDLOG_INFO("Video:     tcp://localhost:{}", cfg.videoPort);
    SPDLOG_INFO("Audio:     tcp://localhost:{}", cfg.audioPort);
    SPDLOG_INFO("Input:     tcp://localhost:{}", cfg.inputPort);
    SPDLOG_INFO("Discovery: udp://broadcast:{}", kDiscoveryPort);

    initialized = true;
    return true;
}

bool Application::initializeCapture(const SettingsValues& cfg) {
    SPDLOG_INFO("Initializing capture system...");
    auto orchestrator = std::make_shared<CaptureOrchestrator>(captureServices);
    captureOrchestrator.set(orchestrator);
    if (!orchestrator->initialize()) {
        SPDLOG_ERROR("Failed to initialize capture orchestrator");
        return false;
    }
    SPDLOG_INFO("Using {} encoder", orchestrator->getEncoderName());
    orchestrator->setBitrate(cfg.targetBitrate, cfg.maxBitrate);
    orchestrator->setFrameRate(cfg.targetFps);
    SPDLOG_INFO("Encoder defaults set: {} kbps, {} fps", cfg.targetBitrate, cfg.targetFps);
    PictureSettings::applyTo(*orchestrator, cfg);
    gpuName = orchestrator->getGpuName();
    vramMB = orchestrator->getVramMB();
    // Installed before any stream can start, so no frame finds them missing.
    orchestrator->setEncodedFrameCallback(
        [this](std::uint8_t streamId, const std::uint8_t* data, std::uint64_t size, bool keyframe) {
            onEncodedFrame(streamId, data, size, keyframe);
        });
    orchestrator->setResolutionChangedCallback(
        [this](std::uint8_t streamId, std::uint32_t width, std::uint32_t height) {
            streams.onResolutionChange(streamId, width, height);
        });
    return true;
}

bool Application::startSignaling(const SettingsValues& cfg) {
    SPDLOG_INFO("Initializing signaling server on port {}...", cfg.signalingPort);
    SignalingServerOptions signalingOptions;
    signalingOptions.videoPort = cfg.videoPort;
    signalingOptions.audioPort = cfg.audioPort;
    signalingOptions.inputPort = cfg.inputPort;
    auto signaling = std::make_shared<SignalingServer>(cfg.signalingPort, signalingOptions);
    signaling->setWindowListCallback([this] { return provideWindowList(); });
    signaling->setStreamRequestCallback(
        [this](std::uint32_t windowId, std::uint8_t streamId) { return onStreamRequest(windowId, streamId); });
    signaling->setStreamStopCallback([this](std::uint8_t streamId) { onStopStreamRequest(streamId); });
    signaling->setWindowResizeCallback([this](std::uint32_t windowId, std::uint32_t width, std::uint32_t height) {
        return onWindowResizeRequest(windowId, width, height);
    });
    signaling->setKeyframeRequestCallback([this](std::uint8_t streamId) { onKeyframeRequest(streamId); });
    signaling->setClientConnectedCallback([this](const std::string& address) { onClientConnected(address); });
    signaling->setStreamIdInUseCallback([this](std::uint8_t streamId) { return streams.isRunning(streamId); });
    signaling->setStreamIdReserveCallback([this] { return streams.reserveStreamId(); });
    signaling->setStreamIdReleaseCallback([this](std::uint8_t streamId) { streams.releaseStreamId(streamId); });
    signalingServer.set(signaling);
    if (!signaling->start()) {
        SPDLOG_ERROR("Failed to start signaling server");
        return false;
    }
    return true;
}

bool Application::startTransports(const SettingsValues& cfg) {
    SPDLOG_INFO("Initializing TCP transport server on port {}...", cfg.videoPort);
    auto video = std::make_shared<TcpTransportServer>(cfg.videoPort);
    video->setKeyframeRequestCallback([this](std::uint8_t streamId) { onKeyframeRequest(streamId); });
    video->setClientFeedbackCallback([this](const ClientFeedback& feedback) { bitrate.onClientFeedback(feedback); });
    video->setClientInputCallback([this](const ClientInput& record) { input.onClientInput(record); });
    video->setClientGoneCallback([this] { input.onClientGone(InputRoad::Video); });
    tcpTransportServer.set(video);
    if (!video->start()) {
        SPDLOG_ERROR("Failed to start TCP transport server");
        return false;
    }

    SPDLOG_INFO("Initializing TCP audio server on port {}...", cfg.audioPort);
    auto sound = std::make_shared<TcpAudioServer>(cfg.audioPort);
    tcpAudioServer.set(sound);
    if (!sound->start()) {
        SPDLOG_ERROR("Failed to start TCP audio server");
        return false;
    }

    SPDLOG_INFO("Initializing TCP input server on port {}...", cfg.inputPort);
    auto inputServer = std::make_shared<TcpInputServer>(cfg.inputPort);
    inputServer->setInputEventCallback([this](const InputEvent& event) { input.onInputEvent(event); });
    inputServer->setClientGoneCallback([this] { input.onClientGone(InputRoad::Input); });
    inputServer->setInputRoomCallback(
        [this](const std::function<void()>& resume) { return input.roomForInput(resume); });
    tcpInputServer.set(inputServer);
    if (!inputServer->start()) {
        SPDLOG_ERROR("Failed to start TCP input server");
        return false;
    }
    return true;
}

void Application::startDiscovery(const SettingsValues& cfg) {
    SPDLOG_INFO("Initializing discovery responder on port {}...", kDiscoveryPort);
    auto discovery = std::make_shared<DiscoveryResponder>(discoveryName(computerName()), cfg.signalingPort);
    discoveryResponder.set(discovery);
    if (!discovery->start()) {
        SPDLOG_WARN("Failed to start discovery responder - clients must connect manually");
    }
}

void Application::shutdown() {
    SPDLOG_INFO("Shutting down application...");
    initialized = false;
    // Each component leaves the reach of new handler calls before it stops; a
    // handler already running keeps its own reference until it returns. No lock
    // is held across a stop.
    audio.stop();
    if (auto video = tcpTransportServer.take()) video->stop();
    if (auto signaling = signalingServer.take()) signaling->stop();
    if (auto orchestrator = captureOrchestrator.take()) orchestrator->shutdown();
    if (auto discovery = discoveryResponder.take()) discovery->stop();
    input.stop();
    SPDLOG_INFO("Application shutdown complete");
}

void Application::update() {
    streams.update();
    if (auto signaling = signalingServer.get()) signaling->poll();
    if (auto video = tcpTransportServer.get()) video->poll();
}

void Application::boostStreamingPriority(bool boost) {
    // Runs under the running set's lock: exactly one boost per restore.
    // The platform's implementation logs each outcome.
    if (!processPriority) return;
    if (boost) {
        processPriority->boost();
    } else {
        processPriority->restore();
    }
}

// ---- what the host window shows and asks for --------------------------------

bool Application::startCapture(std::uint32_t windowId, std::uint8_t streamId) {
    return streams.start(windowId, streamId, StreamOrigin::HostWindow);
}

void Application::stopCapture(std::uint8_t streamId) { streams.stop(streamId); }

void Application::onDisplayChange() {
    SPDLOG_INFO("Display configuration changed, updating input metrics");
    input.updateScreenMetrics();
}

std::string Application::getEncoderName() const {
    auto orchestrator = captureOrchestrator.get();
    return orchestrator ? orchestrator->getEncoderName() : std::string("None");
}

std::vector<Application::WindowInfo> Application::getWindowList() {
    auto orchestrator = captureOrchestrator.get();
    if (!orchestrator) return {};
    return orchestrator->getWindowList();
}

bool Application::isClientConnected() const {
    auto signaling = signalingServer.get();
    return signaling && signaling->getClientCount() != 0;
}

std::string Application::getClientAddress() const {
    std::lock_guard lock(clientMutex);
    return clientAddress;
}

const char* Application::getCaptureApi() { return CaptureDevice::captureApi(); }

// ---- handlers -------------------------------------------------------------

bool Application::onStreamRequest(std::uint32_t windowId, std::uint8_t streamId) {
    return streams.start(windowId, streamId, StreamOrigin::Client);
}

void Application::onStopStreamRequest(std::uint8_t streamId) {
    if (std::size_t held = 0; clientRequestLog.allow(ClientLineScope::current(), held)) {
        SPDLOG_INFO("Client requested to stop stream {}{}", streamId, heldNote(held));
    }
    streams.stopForClient(streamId);
}

std::vector<Application::WindowInfo> Application::provideWindowList() { return streams.windowList(); }

void Application::onClientConnected(const std::string& address) {
    if (std::size_t held = 0; clientRequestLog.allow(ClientLineScope::current(), held)) {
        SPDLOG_INFO("Client connected from {} (TCP video port: {}){}", address, videoPort, heldNote(held));
    }
    std::lock_guard lock(clientMutex);
    clientAddress = address;
}

bool Application::onWindowResizeRequest(std::uint32_t windowId, std::uint32_t width, std::uint32_t height) {
    return streams.resizeWindow(windowId, width, height);
}

void Application::onKeyframeRequest(std::uint8_t streamId) {
    if (auto orchestrator = captureOrchestrator.get()) orchestrator->requestKeyframe(streamId);
}

void Application::onEncodedFrame(std::uint8_t streamId, const std::uint8_t* data, std::uint64_t size,
                                 bool isKeyframe) {
    streams.deliverFrame(streamId, data, size, isKeyframe, bitrate.targetBitrateKbps(), bitrate.targetFps());
}

// ---- settings from the host window -----------------------------------------
// The caller saves, so that one edit of several values writes the file once.

bool Application::applySettings(std::uint32_t targetBitrate, std::uint32_t maxBitrate, std::uint32_t fps) {
    return bitrate.applySettings(settings, targetBitrate, maxBitrate, fps);
}

void Application::applySharpeningSettings(bool enabled, float sharpness) { picture.setSharpening(enabled, sharpness); }

void Application::applyVSyncSettings(bool enabled) { picture.setVSync(enabled); }

void Application::applyFullRangeColorSettings(bool enabled) { picture.setFullRangeColor(enabled); }

}  // namespace quillane::host
