#include "app/StreamController.h"

#include <spdlog/spdlog.h>

#include "app/AudioPipeline.h"
#include "app/InputDispatch.h"
#include "capture/CaptureOrchestrator.h"
#include "common/Base64.h"
#include "common/LineSource.h"
#include "encode/VideoLimits.h"
#include "network/SignalingProtocol.h"
#include "network/SignalingServer.h"
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

// One start's stream id, client entry and capture: unless the stream comes to run, the capture
// is stopped, the id given back and the entry removed, whichever way the start is left (a
// refusal, a failed capture, an exception). An id that runs, another stream's, stays taken.
class PendingStart {
public:
    PendingStart(RunningStreams& running, StreamTable& streams, std::uint8_t streamId)
        : running(running), streams(streams), streamId(streamId) {}
    ~PendingStart() {
        if (runs) return;
        // A capture left running here would have no stream that a stop could find.
        if (capture) capture->stopCapture(streamId);
        if (clientEntry) streams.erase(streamId);
        running.release(streamId);
    }
    PendingStart(const PendingStart&) = delete;
    PendingStart& operator=(const PendingStart&) = delete;

    void registerClientStream(std::uint32_t windowId) {
        clientEntry = true;
        streams.registerClientStream(streamId, windowId);
    }
    void captureStarted(CaptureOrchestrator& started) { capture = &started; }
    void run(std::uint32_t windowId) {
        running.add(streamId, windowId);
        runs = true;
    }

private:
    RunningStreams& running;
    StreamTable& streams;
    const std::uint8_t streamId;
    bool clientEntry = false;
    CaptureOrchestrator* capture = nullptr;
    bool runs = false;
};

}  // namespace

StreamController::StreamController(Held<CaptureOrchestrator>& orchestrator, Held<SignalingServer>& signaling,
                                   Held<TcpTransportServer>& video, InputDispatch& input, AudioPipeline& audio,
                                   RunningStreams::PriorityFn priority, PeerLineLimiter& clientRequestLog)
    : orchestrator(orchestrator),
      signaling(signaling),
      video(video),
      input(input),
      audio(audio),
      running(std::move(priority)),
      clientRequestLog(clientRequestLog) {}

bool StreamController::start(std::uint32_t windowId, std::uint8_t streamId, StreamOrigin origin) {
    // The lock before the pending start: a start that took the lock gives its id back under it.
    std::unique_lock lock(captureMutex, std::defer_lock);
    PendingStart pending(running, streams, streamId);
    const bool client = origin == StreamOrigin::Client;
    std::size_t held = 0;
    if (client && clientRequestLog.allow(ClientLineScope::current(), held)) {
        SPDLOG_INFO("Stream request: windowId={:x}, streamId={}{}", windowId, streamId, heldNote(held));
    }
    auto capture = orchestrator.get();
    if (!capture || !isListedWindow(windowId)) {
        if (client) {
            if (refusedStartLog.allow(ClientLineScope::current(), held)) {
                SPDLOG_ERROR("Failed to start capture for window {:x}{}", windowId, heldNote(held));
            }
        } else if (!capture) {
            SPDLOG_ERROR("Capture orchestrator not initialized");
        } else {
            SPDLOG_ERROR("Window {:x} is not a capturable window", windowId);
        }
        return false;
    }
    lock.lock();
    if (!running.takeForStart(streamId)) {
        if (refusedStartLog.allow(ClientLineScope::current(), held)) {
            SPDLOG_WARN("Refusing stream for window {:x}: stream {} is already running{}", windowId, streamId,
                        heldNote(held));
        }
        return false;
    }
    if (refuseBeyondStreamCap(windowId)) return false;
    // A client's entry exists before the first frame can arrive, so the first
    // keyframe always finds it.
    if (client) pending.registerClientStream(windowId);
    if (!capture->startCapture(windowId, streamId)) {
        if (client && refusedStartLog.allow(ClientLineScope::current(), held)) {
            SPDLOG_ERROR("Failed to start capture for window {:x}{}", windowId, heldNote(held));
        }
        return false;
    }
    pending.captureStarted(*capture);
    if (client) {
        if (clientRequestLog.allow(ClientLineScope::current(), held)) {
            SPDLOG_INFO("Capture started for window {:x} on stream {}{}", windowId, streamId, heldNote(held));
        }
    } else {
        SPDLOG_INFO("Started capture for window {} on stream {}", windowId, streamId);
    }
    pending.run(windowId);
    input.streamStarted(windowId);
    audio.bind(streamId);
    return true;
}

bool StreamController::refuseBeyondStreamCap(std::uint32_t windowId) {
    if (running.size() < kMaxRunningStreams) return false;
    if (std::size_t held = 0; refusedStartLog.allow(ClientLineScope::current(), held)) {
        SPDLOG_WARN("Refusing stream for window {:x}: {} streams already running{}", windowId, kMaxRunningStreams,
                    heldNote(held));
    }
    return true;
}

bool StreamController::resizeWindow(std::uint32_t windowId, std::uint32_t width, std::uint32_t height) {
    std::size_t held = 0;
    if (clientRequestLog.allow(ClientLineScope::current(), held)) {
        SPDLOG_INFO("Client-initiated window resize: window={:x}, size={}x{}{}", windowId, width, height, heldNote(held));
    }
    // Only windows the client may stream: never the desktop, the taskbar or the host's own window.
    const NativeWindow window = windowId;
    if (!isListedWindow(windowId) || !input.isWindow(window)) {
        if (refusedResizeLog.allow(ClientLineScope::current(), held)) {
            SPDLOG_ERROR("Invalid window ID for resize: {:x}{}", windowId, heldNote(held));
        }
        return false;
    }
    if (!fitsVideoLimits(width, height)) {
        if (refusedResizeLog.allow(ClientLineScope::current(), held)) {
            SPDLOG_ERROR("Failed to resize window {:x} to {}x{}: not a size H.264 can carry{}", windowId, width, height,
                         heldNote(held));
        }
        return false;
    }
    if (refuseBeyondPixelBudget(windowId, width, height)) return false;
    if (!input.resizeWindow(window, width, height)) {
        if (refusedResizeLog.allow(ClientLineScope::current(), held)) {
            SPDLOG_ERROR("Failed to resize window {:x} to {}x{}{}", windowId, width, height, heldNote(held));
        }
        return false;
    }
    if (clientRequestLog.allow(ClientLineScope::current(), held)) {
        SPDLOG_INFO("Window {:x} resized successfully to {}x{}{}", windowId, width, height, heldNote(held));
    }
    return true;
}

bool StreamController::refuseBeyondPixelBudget(std::uint32_t windowId, std::uint32_t width, std::uint32_t height) {
    auto capture = orchestrator.get();
    if (!capture) return false;
    const std::uint64_t total = capture->pixelsUnderCaptureIfResized(windowId, width, height);
    if (total <= kMaxCapturedPixels) return false;
    std::size_t suppressed = 0;
    if (pixelBudgetLog.allow(suppressed)) {
        SPDLOG_WARN("Refusing resize of window {:x} to {}x{}: {} pixels would be under capture, more than {} "
                    "({} more refused since the last report)",
                    windowId, width, height, total, kMaxCapturedPixels, suppressed);
    }
    return true;
}

void StreamController::stop(std::uint8_t streamId) {
    auto capture = orchestrator.get();
    if (!capture) return;
    std::lock_guard lock(captureMutex);
    // A stop of a stream that does not run (a client's repeat, an id that was never started)
    // changes nothing: the other streams' captures, sound and held input are theirs.
    if (!running.contains(streamId)) return;
    capture->stopCapture(streamId);
    const NativeWindow window = running.windowOf(streamId);
    running.remove(streamId);
    // A client that starts and stops in a loop writes one of these per request.
    if (std::size_t held = 0; clientRequestLog.allow(ClientLineScope::current(), held)) {
        SPDLOG_INFO("Stopped capture for stream {}{}", streamId, heldNote(held));
    }
    audio.unbind(streamId);
    // Its session or the host window ended it: nothing it held stays held, input for it goes nowhere.
    input.streamEnded(streamId, window);
}

void StreamController::stopForClient(std::uint8_t streamId) {
    stop(streamId);
    streams.erase(streamId);
}

void StreamController::update() {
    auto capture = orchestrator.get();
    if (!capture) return;
    const auto dropped = capture->update();
    const auto ended = dropped.empty() ? dropped : forgetEndedStreams(*capture, dropped);
    // The clients learn that the stream is over (its window closed or grew
    // too large), before its id can name another stream.
    if (auto server = signaling.get()) {
        for (const std::uint8_t id : ended) server->sendStreamStopped(id);
    }
}

std::vector<std::uint8_t> StreamController::forgetEndedStreams(CaptureOrchestrator& capture,
                                                               const std::vector<std::uint8_t>& dropped) {
    // Captures whose window closed: their ids are free again and they no
    // longer hold the priority boost. A stream that took the id meanwhile
    // (a stop freed it first) has a session again and is left alone.
    std::lock_guard lock(captureMutex);
    std::vector<std::uint8_t> forgotten;
    for (const std::uint8_t id : dropped) {
        std::uint32_t width = 0;
        std::uint32_t height = 0;
        if (capture.getStreamResolution(id, width, height)) continue;
        streams.erase(id);
        const NativeWindow window = running.windowOf(id);
        if (running.remove(id)) SPDLOG_INFO("Stream {} ended with its window", id);
        audio.unbind(id);
        input.streamEnded(id, window);
        forgotten.push_back(id);
    }
    return forgotten;
}

void StreamController::deliverFrame(std::uint8_t streamId, const std::uint8_t* data, std::uint64_t size,
                                    bool isKeyframe, std::uint32_t targetBitrateKbps, std::uint32_t targetFps) {
    if (isKeyframe) announceConfigIfDue(streamId, targetBitrateKbps, targetFps);
    const auto client = video.get();
    const FrameSendResult result = client ? client->sendVideoFrame(streamId, data, size, isKeyframe)
                                          : FrameSendResult::NoClient;
    // Only frames a client will receive count as sent; frames nobody was
    // connected for count nowhere.
    if (result == FrameSendResult::Dropped) ++framesDropped;
    if (result != FrameSendResult::Queued) return;
    const std::uint64_t frames = ++sentFrames;
    const std::uint32_t keyframes = isKeyframe ? ++keyframesSent : keyframesSent.load();
    if (frames % 360 == 0) {
        SPDLOG_INFO("Stream {} stats: {} frames, {} keyframes sent, {} dropped", streamId, frames, keyframes,
                    framesDropped.load());
    }
}

void StreamController::announceConfigIfDue(std::uint8_t streamId, std::uint32_t targetBitrateKbps,
                                           std::uint32_t targetFps) {
    auto capture = orchestrator.get();
    if (!capture) return;
    streams.announceIfDue(streamId, [&](std::uint8_t id, std::uint32_t windowId) {
        const ParameterSets sets = capture->getParameterSets(id);
        if (!sets.isValid || sets.sps.empty() || sets.pps.empty()) return false;
        std::uint32_t width = 0;
        std::uint32_t height = 0;
        capture->getStreamResolution(id, width, height);
        StreamConfigMessage message;
        message.windowId = windowId;
        message.streamId = id;
        message.width = width;
        message.height = height;
        message.codec = "video/avc";
        message.sps = base64Encode(sets.sps.data(), sets.sps.size());
        message.pps = base64Encode(sets.pps.data(), sets.pps.size());
        message.targetBitrate = targetBitrateKbps;
        message.targetFps = targetFps;
        // One of the lines of the start's client, or after a size change of the window's streams.
        if (std::size_t held = 0; StreamLineScope::allow(held)) {
            SPDLOG_INFO("Sending stream_config for stream {}: {}x{}, SPS={}B, PPS={}B{}", id, width, height,
                        sets.sps.size(), sets.pps.size(), heldNote(held));
        }
        if (auto server = signaling.get()) server->sendStreamConfig(message);
        return true;
    });
}

void StreamController::onResolutionChange(std::uint8_t streamId, std::uint32_t width, std::uint32_t height) {
    if (std::size_t held = 0; StreamLineScope::allow(held)) {
        SPDLOG_INFO("Resolution changed for stream {}: {}x{}{}", streamId, width, height, heldNote(held));
    }
    streams.markConfigDue(streamId);
    if (auto capture = orchestrator.get()) capture->requestKeyframe(streamId);
}

std::vector<StreamController::WindowInfo> StreamController::windowList() { return windowList(kWindowListMaxAge); }

std::vector<StreamController::WindowInfo> StreamController::windowList(std::chrono::steady_clock::duration maxAge) {
    std::lock_guard lock(windowListMutex);
    const auto now = std::chrono::steady_clock::now();
    if (!windowsValid || now - windowsFetched > maxAge) {
        auto capture = orchestrator.get();
        cachedWindows = capture ? capture->getWindowList() : std::vector<WindowInfo>{};
        windowsFetched = now;
        // Without the orchestrator (before start-up, after shutdown) there is no list to keep.
        windowsValid = capture != nullptr;
    }
    return cachedWindows;
}

bool StreamController::isListedWindow(std::uint32_t windowId) {
    const auto contains = [windowId](const std::vector<WindowInfo>& list) {
        for (const auto& w : list)
            if (w.id == windowId) return true;
        return false;
    };
    if (windowId != 0 && contains(windowList(kWindowListMaxAge))) return true;
    return windowId != 0 && contains(windowList(kWindowListRecheck));
}

}  // namespace quillane::host
