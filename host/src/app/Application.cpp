#include "app/Application.h"

#include <spdlog/spdlog.h>

#include <algorithm>

#include "app/UpdateChecker.h"
#include "common/Version.h"
#include "audio/AudioCapture.h"
#include "audio/OpusEncoder.h"
#include "network/TcpAudioServer.h"
#include "platform/ComputerName.h"
#include "platform/ProcessPriority.h"
#include "capture/CaptureOrchestrator.h"
#include "common/Base64.h"
#include "encode/VideoLimits.h"
#include "input/FocusManager.h"
#include "input/InputInjector.h"
#include "input/InputRouter.h"
#include "network/DiscoveryResponder.h"
#include "network/SignalingProtocol.h"
#include "network/SignalingServer.h"
#include "network/TcpInputServer.h"
#include "network/TcpTransportServer.h"

namespace quillane::host {
namespace {

// Every capture holds a display connection, a thread, an image and an
// encoder: the X server's client slots and memory run out long before 256.
constexpr std::size_t kMaxRunningStreams = 16;
constexpr auto kWindowListMaxAge = std::chrono::seconds(1);
// A window that just appeared may be missing from a cached list; looking
// again is allowed this often.
constexpr auto kWindowListRecheck = std::chrono::milliseconds(200);

// An input handler that took the injector or the focus manager before shutdown released them
// may still use them; a focus attempt lasts about 160 ms.
constexpr auto kInputCallsGrace = std::chrono::seconds(1);

std::int64_t steadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

Application::Application() : Application(createProcessPriority()) {}

Application::Application(std::unique_ptr<ProcessPriority> priority)
    : Application(std::move(priority), createInputPlatform()) {}

Application::Application(std::unique_ptr<ProcessPriority> priority, std::shared_ptr<InputPlatform> inputPlatform)
    : Application(std::move(priority), std::move(inputPlatform), platformCaptureServices()) {}

Application::Application(std::unique_ptr<ProcessPriority> priority, std::shared_ptr<InputPlatform> inputPlatform,
                         CaptureServices captureServices)
    : processPriority(std::move(priority)),
      inputPlatform(std::move(inputPlatform)),
      captureServices(std::move(captureServices)) {
    runningStreams.setPriorityHook([this](bool boost) { boostStreamingPriority(boost); });
}

Application::~Application() {
    if (initialized) shutdown();
    updateChecker.reset();
    tcpInputServer.take().reset();
    // Whatever a failed initialize left behind, in reverse order of creation.
    tcpAudioServer.take().reset();
    discoveryResponder.take().reset();
    tcpTransportServer.take().reset();
    signalingServer.take().reset();
    focusManager.take().reset();
    inputInjector.take().reset();
    if (auto capture = audioCapture.take()) capture->stop();
    opusEncoder.take().reset();
    captureOrchestrator.take().reset();
}

bool Application::initialize() {
    SPDLOG_INFO("Initializing application subsystems...");
    if (!settings.load()) {
        SPDLOG_WARN("Failed to load settings, using defaults");
        settings.resetToDefaults();
    }
    const SettingsValues cfg = settings.values();
    targetBitrateKbps = cfg.targetBitrate;
    targetFps = cfg.targetFps;
    videoPort = cfg.videoPort;

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
    orchestrator->setSharpeningEnabled(cfg.sharpeningEnabled);
    orchestrator->setSharpness(cfg.sharpness);
    orchestrator->setVSyncEnabled(cfg.vsyncEnabled);
    orchestrator->setFullRangeColor(cfg.fullRangeColor);
    gpuName = orchestrator->getGpuName();
    vramMB = orchestrator->getVramMB();
    // Installed before any stream can start, so no frame finds them missing.
    orchestrator->setEncodedFrameCallback(
        [this](std::uint8_t streamId, const std::uint8_t* data, std::uint64_t size, bool keyframe) {
            onEncodedFrame(streamId, data, size, keyframe);
        });
    orchestrator->setResolutionChangedCallback(
        [this](std::uint8_t streamId, std::uint32_t width, std::uint32_t height) {
            onResolutionChange(streamId, width, height);
        });

    SPDLOG_INFO("Initializing input injector...");
    auto injector = std::make_shared<InputInjector>(inputPlatform);
    inputInjector.set(injector);
    if (!injector->initialize(InputInjectorConfig{})) {
        SPDLOG_ERROR("Failed to initialize input injector");
        return false;
    }
    SPDLOG_INFO("Initializing focus manager...");
    auto focus = std::make_shared<FocusManager>(inputPlatform);
    focusManager.set(focus);
    if (!focus->initialize(FocusManagerConfig{10, 10, false})) {
        SPDLOG_ERROR("Failed to initialize focus manager");
        return false;
    }
    focus->setFocusFailedCallback(
        [this](NativeWindow window, const std::string& hint) { onFocusFailed(window, hint); });
    auto router = std::make_shared<InputRouter>(inputPlatform, injector, focus, [this](std::uint8_t streamId) {
        return NativeWindow{runningStreams.windowOf(streamId)};
    });
    router->setClickMismatchCallback(
        [this](NativeWindow intended, NativeWindow actual) { onClickMismatch(intended, actual); });
    inputRouter.set(router);

    if (!initializeAudio()) SPDLOG_WARN("Audio capture not available");

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
    signaling->setStreamIdInUseCallback([this](std::uint8_t streamId) { return runningStreams.contains(streamId); });
    signalingServer.set(signaling);
    if (!signaling->start()) {
        SPDLOG_ERROR("Failed to start signaling server");
        return false;
    }

    SPDLOG_INFO("Initializing TCP transport server on port {}...", cfg.videoPort);
    auto video = std::make_shared<TcpTransportServer>(cfg.videoPort);
    video->setKeyframeRequestCallback([this](std::uint8_t streamId) { onTransportKeyframeRequest(streamId); });
    video->setClientFeedbackCallback([this](const ClientFeedback& feedback) { onClientFeedback(feedback); });
    video->setClientInputCallback([this](const ClientInput& input) { onClientInput(input); });
    video->setClientGoneCallback([this] { onInputClientGone(); });
    tcpTransportServer.set(video);
    if (!video->start()) {
        SPDLOG_ERROR("Failed to start TCP transport server");
        return false;
    }

    SPDLOG_INFO("Initializing TCP audio server on port {}...", cfg.audioPort);
    auto audio = std::make_shared<TcpAudioServer>(cfg.audioPort);
    tcpAudioServer.set(audio);
    if (!audio->start()) {
        SPDLOG_ERROR("Failed to start TCP audio server");
        return false;
    }

    SPDLOG_INFO("Initializing TCP input server on port {}...", cfg.inputPort);
    auto input = std::make_shared<TcpInputServer>(cfg.inputPort);
    input->setInputEventCallback([this](const InputEvent& event) { onInputEvent(event); });
    input->setClientGoneCallback([this] { onInputClientGone(); });
    tcpInputServer.set(input);
    if (!input->start()) {
        SPDLOG_ERROR("Failed to start TCP input server");
        return false;
    }

    SPDLOG_INFO("Initializing discovery responder on port {}...", kDiscoveryPort);
    auto discovery = std::make_shared<DiscoveryResponder>(discoveryName(computerName()), cfg.signalingPort);
    discoveryResponder.set(discovery);
    if (!discovery->start()) {
        SPDLOG_WARN("Failed to start discovery responder - clients must connect manually");
    }

    SPDLOG_INFO("All subsystems initialized successfully");
    SPDLOG_INFO("Signaling: ws://localhost:{}", cfg.signalingPort);
    SPDLOG_INFO("Video:     tcp://localhost:{}", cfg.videoPort);
    SPDLOG_INFO("Audio:     tcp://localhost:{}", cfg.audioPort);
    SPDLOG_INFO("Input:     tcp://localhost:{}", cfg.inputPort);
    SPDLOG_INFO("Discovery: udp://broadcast:{}", kDiscoveryPort);

    SPDLOG_INFO("Initializing update checker...");
    updateChecker = std::make_unique<UpdateChecker>();
    updateChecker->setCurrentVersion(kHostVersion);
    updateChecker->setUpdateUrl(kDefaultUpdateUrl);

    initialized = true;
    return true;
}

void Application::shutdown() {
    SPDLOG_INFO("Shutting down application...");
    initialized = false;
    audioBinding = 0;
    // Each component leaves the reach of new handler calls before it stops; a
    // handler already running keeps its own reference until it returns. No lock
    // is held across a stop.
    if (auto capture = audioCapture.take()) capture->stop();
    if (auto encoder = opusEncoder.take()) encoder->shutdown();
    if (auto video = tcpTransportServer.take()) video->stop();
    if (auto signaling = signalingServer.take()) signaling->stop();
    if (auto orchestrator = captureOrchestrator.take()) orchestrator->shutdown();
    if (auto discovery = discoveryResponder.take()) discovery->stop();
    auto router = inputRouter.take();
    auto focus = focusManager.take();
    auto injector = inputInjector.take();
    if (!inputCalls.waitIdle(kInputCallsGrace)) SPDLOG_WARN("An input handler is still running at shutdown");
    if (focus) focus->shutdown();
    if (injector) injector->releaseAll();  // a key left held would repeat forever
    SPDLOG_INFO("Application shutdown complete");
}

void Application::update() {
    if (auto orchestrator = captureOrchestrator.get()) {
        const auto dropped = orchestrator->update();
        const auto ended = dropped.empty() ? dropped : forgetEndedStreams(*orchestrator, dropped);
        // The clients learn that the stream is over (its window closed or grew
        // too large), before its id can name another stream.
        if (auto signaling = signalingServer.get()) {
            for (const std::uint8_t id : ended) signaling->sendStreamStopped(id);
        }
    }
    if (auto signaling = signalingServer.get()) signaling->poll();
    if (auto video = tcpTransportServer.get()) video->poll();
}

std::vector<std::uint8_t> Application::forgetEndedStreams(CaptureOrchestrator& orchestrator,
                                                          const std::vector<std::uint8_t>& dropped) {
    // Captures whose window closed: their ids are free again and they no
    // longer hold the priority boost. A start under the same id that won the
    // race has a session again and is left alone.
    std::lock_guard lock(captureMutex);
    std::vector<std::uint8_t> forgotten;
    for (const std::uint8_t id : dropped) {
        std::uint32_t width = 0;
        std::uint32_t height = 0;
        if (orchestrator.getStreamResolution(id, width, height)) continue;
        streams.erase(id);
        const NativeWindow window = runningStreams.windowOf(id);
        if (runningStreams.remove(id)) SPDLOG_INFO("Stream {} ended with its window", id);
        unbindAudio(id);
        if (auto router = inputRouter.get()) router->streamEnded(window);
        forgotten.push_back(id);
    }
    return forgotten;
}

bool Application::startCapture(std::uint32_t windowId, std::uint8_t streamId) {
    auto orchestrator = captureOrchestrator.get();
    if (!orchestrator) {
        SPDLOG_ERROR("Capture orchestrator not initialized");
        return false;
    }
    if (!isListedWindow(windowId)) {
        SPDLOG_ERROR("Window {:x} is not a capturable window", windowId);
        return false;
    }
    std::lock_guard lock(captureMutex);
    if (refuseBeyondStreamCap(windowId, streamId)) return false;
    if (!orchestrator->startCapture(windowId, streamId)) {
        // A session that ran under this id was stopped by the failed restart.
        runningStreams.remove(streamId);
        unbindAudio(streamId);
        return false;
    }
    SPDLOG_INFO("Started capture for window {} on stream {}", windowId, streamId);
    runningStreams.add(streamId, windowId);
    if (auto injector = inputInjector.get()) injector->setTargetWindow(windowId);
    bindAudio(streamId);
    return true;
}

bool Application::refuseBeyondPixelBudget(std::uint32_t windowId, std::uint32_t width, std::uint32_t height) {
    auto orchestrator = captureOrchestrator.get();
    if (!orchestrator) return false;
    const std::uint64_t total = orchestrator->pixelsUnderCaptureIfResized(windowId, width, height);
    if (total <= kMaxCapturedPixels) return false;
    std::size_t suppressed = 0;
    if (pixelBudgetLog.allow(suppressed)) {
        SPDLOG_WARN("Refusing resize of window {:x} to {}x{}: {} pixels would be under capture, more than {} "
                    "({} more refused since the last report)",
                    windowId, width, height, total, kMaxCapturedPixels, suppressed);
    }
    return true;
}

bool Application::refuseBeyondStreamCap(std::uint32_t windowId, std::uint8_t streamId) {
    // A restart under a running id replaces its stream and adds none.
    if (runningStreams.size() < kMaxRunningStreams || runningStreams.contains(streamId)) return false;
    SPDLOG_WARN("Refusing stream for window {:x}: {} streams already running", windowId, kMaxRunningStreams);
    return true;
}

void Application::stopCapture(std::uint8_t streamId) {
    auto orchestrator = captureOrchestrator.get();
    if (!orchestrator) return;
    std::lock_guard lock(captureMutex);
    orchestrator->stopCapture(streamId);
    const NativeWindow window = runningStreams.windowOf(streamId);
    // A stop of a stream that does not run is a client's repeat: nothing to say.
    if (runningStreams.remove(streamId)) SPDLOG_INFO("Stopped capture for stream {}", streamId);
    unbindAudio(streamId);
    // Its session or the host window ended it: nothing stays held, input for it goes nowhere.
    if (auto router = inputRouter.get()) router->streamEnded(window);
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

void Application::setUpdateChecker(std::unique_ptr<UpdateChecker> checker) { updateChecker = std::move(checker); }

void Application::checkForUpdatesAsync(bool force) { startUpdateCheck(updateChecker.get(), settings, force); }

void Application::onDisplayChange() {
    SPDLOG_INFO("Display configuration changed, updating input metrics");
    if (auto injector = inputInjector.get()) injector->updateScreenMetrics();
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

std::vector<Application::WindowInfo> Application::windowList(std::chrono::steady_clock::duration maxAge) {
    std::lock_guard lock(windowListMutex);
    const auto now = std::chrono::steady_clock::now();
    if (!windowsValid || now - windowsFetched > maxAge) {
        auto orchestrator = captureOrchestrator.get();
        cachedWindows = orchestrator ? orchestrator->getWindowList() : std::vector<WindowInfo>{};
        windowsFetched = now;
        // Without the orchestrator (before start-up, after shutdown) there is no list to keep.
        windowsValid = orchestrator != nullptr;
    }
    return cachedWindows;
}

bool Application::isListedWindow(std::uint32_t windowId) {
    const auto contains = [windowId](const std::vector<WindowInfo>& list) {
        for (const auto& w : list)
            if (w.id == windowId) return true;
        return false;
    };
    if (windowId != 0 && contains(windowList(kWindowListMaxAge))) return true;
    return windowId != 0 && contains(windowList(kWindowListRecheck));
}

// ---- handlers -------------------------------------------------------------

bool Application::onStreamRequest(std::uint32_t windowId, std::uint8_t streamId) {
    SPDLOG_INFO("Stream request: windowId={:x}, streamId={}", windowId, streamId);
    auto orchestrator = captureOrchestrator.get();
    if (!orchestrator || !isListedWindow(windowId)) {
        SPDLOG_ERROR("Failed to start capture for window {:x}", windowId);
        return false;
    }
    std::lock_guard lock(captureMutex);
    if (refuseBeyondStreamCap(windowId, streamId)) return false;
    // The entry exists before the first frame can arrive, so the first keyframe
    // always finds it.
    streams.registerClientStream(streamId, windowId);
    if (!orchestrator->startCapture(windowId, streamId)) {
        streams.erase(streamId);
        runningStreams.remove(streamId);
        unbindAudio(streamId);
        SPDLOG_ERROR("Failed to start capture for window {:x}", windowId);
        return false;
    }
    SPDLOG_INFO("Capture started for window {:x} on stream {}", windowId, streamId);
    runningStreams.add(streamId, windowId);
    if (auto injector = inputInjector.get()) injector->setTargetWindow(windowId);
    bindAudio(streamId);
    return true;
}

void Application::onStopStreamRequest(std::uint8_t streamId) {
    if (std::size_t held = 0; clientRequestLog.allow(0, held)) {
        SPDLOG_INFO("Client requested to stop stream {}{}", streamId, heldNote(held));
    }
    stopCapture(streamId);
    streams.erase(streamId);
}

std::vector<Application::WindowInfo> Application::provideWindowList() {
    return windowList(kWindowListMaxAge);
}

void Application::onClientConnected(const std::string& address) {
    if (std::size_t held = 0; clientRequestLog.allow(0, held)) {
        SPDLOG_INFO("Client connected from {} (TCP video port: {}){}", address, videoPort, heldNote(held));
    }
    std::lock_guard lock(clientMutex);
    clientAddress = address;
}

std::string Application::getClientAddress() const {
    std::lock_guard lock(clientMutex);
    return clientAddress;
}

std::uint32_t Application::getCurrentBitrateKbps() const {
    const std::uint32_t controlled = congestion.currentKbps();
    return controlled != 0 ? controlled : targetBitrateKbps.load();
}

const char* Application::getCaptureApi() { return CaptureDevice::captureApi(); }

bool Application::onWindowResizeRequest(std::uint32_t windowId, std::uint32_t width, std::uint32_t height) {
    std::size_t held = 0;
    if (clientRequestLog.allow(0, held)) {
        SPDLOG_INFO("Client-initiated window resize: window={:x}, size={}x{}{}", windowId, width, height, heldNote(held));
    }
    // Only windows the client may stream: never the desktop, the taskbar or the host's own window.
    const NativeWindow window = windowId;
    if (!isListedWindow(windowId) || !inputPlatform || !inputPlatform->isWindow(window)) {
        if (refusedResizeLog.allow(0, held)) SPDLOG_ERROR("Invalid window ID for resize: {:x}{}", windowId, heldNote(held));
        return false;
    }
    auto injector = inputInjector.get();
    if (!fitsVideoLimits(width, height)) {
        if (refusedResizeLog.allow(0, held)) {
            SPDLOG_ERROR("Failed to resize window {:x} to {}x{}: not a size H.264 can carry{}", windowId, width, height,
                         heldNote(held));
        }
        return false;
    }
    if (refuseBeyondPixelBudget(windowId, width, height)) return false;
    if (!injector || !injector->resizeWindow(window, width, height, true)) {
        if (refusedResizeLog.allow(0, held)) {
            SPDLOG_ERROR("Failed to resize window {:x} to {}x{}{}", windowId, width, height, heldNote(held));
        }
        return false;
    }
    if (clientRequestLog.allow(0, held)) {
        SPDLOG_INFO("Window {:x} resized successfully to {}x{}{}", windowId, width, height, heldNote(held));
    }
    return true;
}

void Application::onKeyframeRequest(std::uint8_t streamId) {
    if (auto orchestrator = captureOrchestrator.get()) orchestrator->requestKeyframe(streamId);
}

void Application::onTransportKeyframeRequest(std::uint8_t streamId) {
    if (auto orchestrator = captureOrchestrator.get()) orchestrator->requestKeyframe(streamId);
}

void Application::onClientFeedback(const ClientFeedback& feedback) {
    lastRttMs = feedback.rttMs;
    auto orchestrator = captureOrchestrator.get();
    congestion.onFeedback(
        feedback.decodeTimeMs, feedback.rttMs, targetBitrateKbps.load(), steadyNowNs(),
        [&](const CongestionControl::Change& change) {
            if (change.congested) {
                SPDLOG_WARN("Network congestion (RTT={}ms, decode={}ms), reducing bitrate {} -> {} kbps",
                            feedback.rttMs, feedback.decodeTimeMs, change.previousKbps, change.bitrateKbps);
            }
            if (!orchestrator) return;
            streams.forEachClientStream([&](std::uint8_t streamId, std::uint32_t) {
                orchestrator->setStreamBitrate(streamId, change.bitrateKbps, change.maxBitrateKbps);
            });
        });
}

void Application::onEncodedFrame(std::uint8_t streamId, const std::uint8_t* data, std::uint64_t size,
                                 bool isKeyframe) {
    if (isKeyframe) {
        if (auto orchestrator = captureOrchestrator.get()) {
            streams.announceIfDue(streamId, [&](std::uint8_t id, std::uint32_t windowId) {
                const ParameterSets sets = orchestrator->getParameterSets(id);
                if (!sets.isValid || sets.sps.empty() || sets.pps.empty()) return false;
                std::uint32_t width = 0;
                std::uint32_t height = 0;
                orchestrator->getStreamResolution(id, width, height);
                StreamConfigMessage message;
                message.windowId = windowId;
                message.streamId = id;
                message.width = width;
                message.height = height;
                message.codec = "video/avc";
                message.sps = base64Encode(sets.sps.data(), sets.sps.size());
                message.pps = base64Encode(sets.pps.data(), sets.pps.size());
                message.targetBitrate = targetBitrateKbps.load();
                message.targetFps = targetFps.load();
                SPDLOG_INFO("Sending stream_config for stream {}: {}x{}, SPS={}B, PPS={}B", id, width, height,
                            sets.sps.size(), sets.pps.size());
                if (auto signaling = signalingServer.get()) signaling->sendStreamConfig(message);
                return true;
            });
        }
    }
    const auto video = tcpTransportServer.get();
    const FrameSendResult result = video ? video->sendVideoFrame(streamId, data, size, isKeyframe)
                                         : FrameSendResult::NoClient;
    // Only frames a client will receive count as sent; frames nobody was
    // connected for count nowhere.
    if (result == FrameSendResult::Dropped) ++framesDropped;
    if (result != FrameSendResult::Queued) return;
    const std::uint64_t frames = ++framesSent;
    const std::uint32_t keyframes = isKeyframe ? ++keyframesSent : keyframesSent.load();
    if (frames % 360 == 0) {
        SPDLOG_INFO("Stream {} stats: {} frames, {} keyframes sent, {} dropped", streamId, frames, keyframes,
                    framesDropped.load());
    }
}

void Application::onResolutionChange(std::uint8_t streamId, std::uint32_t width, std::uint32_t height) {
    SPDLOG_INFO("Resolution changed for stream {}: {}x{}", streamId, width, height);
    streams.markConfigDue(streamId);
    if (auto orchestrator = captureOrchestrator.get()) orchestrator->requestKeyframe(streamId);
}

// ---- input dispatch ---------------------------------------------------------

void Application::onClientInput(const ClientInput& input) {
    const InFlightCalls::Scope scope(inputCalls);
    if (auto router = inputRouter.get()) {
        router->routeClientInput(input.streamId, InputPacket{input.deviceType, input.action, input.x, input.y,
                                                             input.code, input.modifiers, input.wheelDelta});
    }
}

void Application::onInputEvent(const InputEvent& event) {
    const InFlightCalls::Scope scope(inputCalls);
    if (auto router = inputRouter.get()) {
        router->routeInputEvent(event.streamId, InputPacket{event.deviceType, event.action, event.x, event.y,
                                                            event.code, event.modifiers, event.wheelDelta});
    }
}

void Application::onClickMismatch(NativeWindow intended, NativeWindow actual) {
    SPDLOG_WARN("Click mismatch: intended {:x}, actual {:x} - z-order or coordinate issue", intended, actual);
}

void Application::onFocusFailed(NativeWindow window, const std::string& hint) {
    std::size_t suppressed = 0;
    if (focusFailedLog.allow(suppressed)) SPDLOG_WARN("Focus failed for window {:x}: {}", window, hint);
}

void Application::onInputClientGone() {
    const InFlightCalls::Scope scope(inputCalls);
    if (auto router = inputRouter.get()) router->connectionEnded();
}

// ---- audio ------------------------------------------------------------------

bool Application::initializeAudio() {
    SPDLOG_INFO("Initializing audio capture...");
    auto capture = std::make_shared<AudioCapture>();
    if (!capture->initialize(AudioCaptureConfig{})) {
        SPDLOG_WARN("Failed to initialize audio capture");
        return false;
    }
    auto encoder = std::make_shared<OpusAudioEncoder>();
    if (!encoder->initialize(OpusEncoderConfig{})) {
        SPDLOG_WARN("Failed to initialize Opus encoder");
        return false;
    }
    audioBuffer.reserve(std::size_t{encoder->getFrameSize()} * encoder->getChannels() * 4);
    opusEncoder.set(encoder);
    const bool started = capture->start(
        [this](const std::int16_t* samples, std::uint32_t frames, std::uint32_t sampleRate, std::uint32_t channels) {
            onAudioSamples(samples, frames, sampleRate, channels);
        });
    if (!started) {
        SPDLOG_WARN("Failed to start audio capture");
        opusEncoder.take().reset();
        return false;
    }
    audioCapture.set(capture);
    SPDLOG_INFO("Audio capture started");
    return true;
}

void Application::bindAudio(std::uint8_t streamId) {
    auto capture = audioCapture.get();
    if (!capture || !capture->isCapturing()) return;
    std::uint16_t unbound = audioBinding.load();
    if (unbound & kAudioBound) return;
    audioBinding.compare_exchange_strong(unbound, static_cast<std::uint16_t>(kAudioBound | streamId));
}

void Application::unbindAudio(std::uint8_t streamId) {
    std::uint16_t bound = static_cast<std::uint16_t>(kAudioBound | streamId);
    audioBinding.compare_exchange_strong(bound, 0);
}

void Application::onAudioSamples(const std::int16_t* samples, std::uint32_t frames, std::uint32_t sampleRate,
                                 std::uint32_t channels) {
    processAudioSamples(samples, frames, sampleRate, channels);
}

void Application::processAudioSamples(const std::int16_t* samples, std::uint32_t frames, std::uint32_t sampleRate,
                                      std::uint32_t channels) {
    const std::uint16_t binding = audioBinding.load();
    if (binding != audioBufferBinding) {
        // A remainder captured for another stream does not open this one's sound.
        audioBuffer.clear();
        audioBufferBinding = binding;
    }
    if (!(binding & kAudioBound)) return;
    auto encoder = opusEncoder.get();
    auto server = tcpAudioServer.get();
    if (!encoder || !server) return;
    const auto streamId = static_cast<std::uint8_t>(binding & 0xFF);
    audioBuffer.push(*encoder, samples, frames, sampleRate, channels,
                     [&](const std::uint8_t* packet, std::size_t size) { server->sendAudioData(streamId, packet, size); });
}

// ---- settings from the host window -----------------------------------------
// The caller saves, so that one edit of several values writes the file once.

bool Application::applySettings(std::uint32_t targetBitrate, std::uint32_t maxBitrate, std::uint32_t fps) {
    const auto bitrateInRange = [](std::uint32_t kbps) { return kbps >= kMinBitrateKbps && kbps <= kMaxBitrateKbps; };
    if (!bitrateInRange(targetBitrate) || !bitrateInRange(maxBitrate) || fps < kMinTargetFps || fps > kMaxTargetFps) {
        SPDLOG_WARN("Refusing settings: bitrate={} kbps, maxBitrate={} kbps, fps={} (bitrates {} to {} kbps, fps {} to {})",
                    targetBitrate, maxBitrate, fps, kMinBitrateKbps, kMaxBitrateKbps, kMinTargetFps, kMaxTargetFps);
        return false;
    }
    SPDLOG_INFO("Applying settings: bitrate={} kbps, maxBitrate={} kbps, fps={}", targetBitrate, maxBitrate, fps);
    settings.update([&](SettingsValues& v) {
        v.targetBitrate = targetBitrate;
        v.maxBitrate = maxBitrate;
        v.targetFps = fps;
    });
    targetBitrateKbps = targetBitrate;
    targetFps = fps;
    auto orchestrator = captureOrchestrator.get();
    if (orchestrator) {
        orchestrator->setBitrate(targetBitrate, maxBitrate);
        orchestrator->setFrameRate(fps);
    }
    congestion.reset(targetBitrate, maxBitrate, [&](const CongestionControl::Change& change) {
        if (!orchestrator) return;
        streams.forEachClientStream([&](std::uint8_t streamId, std::uint32_t) {
            orchestrator->setStreamBitrate(streamId, change.bitrateKbps, change.maxBitrateKbps);
        });
    });
    return true;
}

void Application::applySharpeningSettings(bool enabled, float sharpness) {
    SPDLOG_INFO("Applying sharpening settings: enabled={}, sharpness={:.2f}", enabled, sharpness);
    settings.update([&](SettingsValues& v) {
        v.sharpeningEnabled = enabled;
        v.sharpness = std::max(std::min(sharpness, 1.0f), 0.0f);
    });
    if (auto orchestrator = captureOrchestrator.get()) {
        orchestrator->setSharpeningEnabled(enabled);
        orchestrator->setSharpness(sharpness);
    }
}

void Application::applyVSyncSettings(bool enabled) {
    SPDLOG_INFO("Applying VSync settings: enabled={}", enabled);
    settings.update([&](SettingsValues& v) { v.vsyncEnabled = enabled; });
    if (auto orchestrator = captureOrchestrator.get()) orchestrator->setVSyncEnabled(enabled);
}

void Application::applyFullRangeColorSettings(bool enabled) {
    SPDLOG_INFO("Applying full range color settings: enabled={}", enabled);
    settings.update([&](SettingsValues& v) { v.fullRangeColor = enabled; });
    if (auto orchestrator = captureOrchestrator.get()) orchestrator->setFullRangeColor(enabled);
}

}  // namespace quillane::host
