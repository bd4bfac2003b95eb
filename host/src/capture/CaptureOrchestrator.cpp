#include "capture/CaptureOrchestrator.h"
#include "platform/CrashHandler.h"

#include "capture/CASProcessor.h"
#include "capture/FramePacer.h"
#include "capture/KeyframePacing.h"
#include "common/LineSource.h"
#include "encode/VideoLimits.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <utility>

namespace quillane::host {
namespace {

// Encode attempts of all streams together, numbering the failure warnings.
std::atomic<std::uint64_t> encodeAttempts{0};

std::uint32_t padTo16(std::uint32_t v) { return (v + 15u) & ~15u; }

}  // namespace

struct CaptureOrchestrator::CaptureSession {
    std::unique_ptr<CaptureSource> capture;
    // Guarded by sessionsMutex: other threads reach the encoder and the sizes
    // through the table. Empty after a failed re-creation.
    std::shared_ptr<EncoderBase> encoder;
    std::uint32_t windowId = 0;
    std::uint64_t startedBy = 0;  // the line source of the client whose request started it
    std::uint32_t paddedWidth = 0, paddedHeight = 0;
    std::uint32_t width = 0, height = 0;

    // Frame state, used only under frameMutex. The stream's own sharpening and
    // padding target, so no other stream can replace it while it is encoded.
    std::mutex frameMutex;
    std::shared_ptr<FrameBuffer> paddingTexture;
    std::uint32_t bufferWidth = 0, bufferHeight = 0;
    std::uint32_t contentWidth = 0, contentHeight = 0;  // the region last written into it
    std::uint64_t frameCount = 0;
    std::optional<KeyframePacing::Clock::time_point> recreatedAt;  // the encoder's last re-creation

    std::atomic<bool> removed{false};  // out of the table: its frames are dropped
    std::atomic<bool> outgrown{false};  // the window grew beyond what H.264 carries

    std::mutex pacingMutex;
    KeyframePacing pacing;
    // Under pacingMutex: when the picture of a size that had to wait is to be repeated.
    std::optional<KeyframePacing::Clock::time_point> resizeDue;

    ~CaptureSession() {
        // Stop first, so that no frame still uses the encoder or the buffer.
        if (capture) capture->stopCapture();
        paddingTexture.reset();
        encoder.reset();
        capture.reset();
    }
};

CaptureOrchestrator::CaptureOrchestrator() : CaptureOrchestrator(platformCaptureServices()) {}

CaptureOrchestrator::CaptureOrchestrator(CaptureServices s) : services(std::move(s)) {
    encoderConfig.width = 1920;
    encoderConfig.height = 1080;
    encoderConfig.codec = "h264";
    encoderConfig.profile = "main";
    encoderConfig.gopLength = 60;
    encoderConfig.slicesEnabled = true;
    encoderConfig.sliceCount = 4;
    encoderConfig.fullRange = false;
}

CaptureOrchestrator::~CaptureOrchestrator() {
    shutdown();
    stopRepeats();
    casProcessor.reset();
    framePacer.reset();
    std::lock_guard lock(callbackMutex);
    encodedFrameCallback.reset();
    resolutionChangedCallback.reset();
}

bool CaptureOrchestrator::initialize() {
    if (initialized.load()) {
        SPDLOG_WARN("CaptureOrchestrator already initialized");
        return true;
    }
    if (!initializeD3D()) return false;

    const auto available = services.getAvailableEncoders ? services.getAvailableEncoders(device->device())
                                                         : std::vector<EncoderType>{};
    const auto has = [&](EncoderType t) { return std::find(available.begin(), available.end(), t) != available.end(); };
    std::string name;
    if (available.empty()) {
        if (services.fallbackEncoderName.empty()) {
            SPDLOG_WARN("No hardware encoders available - capture will work but encoding disabled");
            name = "None";
        } else {
            SPDLOG_INFO("No hardware encoders available - streams use the {} encoder", services.fallbackEncoderName);
            name = services.fallbackEncoderName;
        }
    } else if (has(EncoderType::NVENC)) {
        name = "NVENC";
    } else if (has(EncoderType::AMF)) {
        name = "AMF";
    } else if (has(EncoderType::QuickSync)) {
        name = "QSV";
    } else {
        name = "Unknown";
    }
    {
        std::lock_guard lock(sessionsMutex);
        encoderName = name;
    }

    framePacer = createFramePacer();
    if (framePacer->initialize(device->device())) {
        SPDLOG_INFO("FramePacer initialized (refresh rate: {:.1f}Hz)", framePacer->getRefreshRate());
    } else {
        SPDLOG_WARN("FramePacer initialization failed - using timer-based pacing");
    }
    casProcessor = createCASProcessor();
    if (casProcessor->initialize(device->device())) {
        SPDLOG_INFO("CASProcessor initialized (sharpening available)");
    } else {
        SPDLOG_WARN("CASProcessor initialization failed - sharpening disabled");
    }
    {
        std::lock_guard lock(repeatMutex);
        repeatStopping = false;
    }
    if (!repeatThread.joinable()) repeatThread = std::thread([this] {
        prepareThreadForCrashHandling();
        repeatLoop();
    });
    initialized.store(true);
    SPDLOG_INFO("CaptureOrchestrator initialized with {} encoder", name);
    return true;
}

bool CaptureOrchestrator::initializeD3D() {
    auto created = createCaptureDevice();
    if (!created->initialize()) return false;
    std::lock_guard lock(sessionsMutex);
    device = std::move(created);
    gpuName = device->gpuName();
    vramMB = device->vramMB();
    return true;
}

void CaptureOrchestrator::shutdown() {
    if (!initialized.exchange(false)) return;
    SPDLOG_INFO("Shutting down CaptureOrchestrator...");
    stopAllCaptures();
    stopRepeats();
    device->release();
}

void CaptureOrchestrator::stopRepeats() {
    {
        std::lock_guard lock(repeatMutex);
        repeatStopping = true;
    }
    repeatWake.notify_all();
    if (repeatThread.joinable()) repeatThread.join();
}

void CaptureOrchestrator::repeatLoop() {
    std::unique_lock lock(repeatMutex);
    while (!repeatStopping) {
        repeatRequested = false;
        lock.unlock();
        const auto next = repeatDueFrames();
        lock.lock();
        const auto woken = [this] { return repeatStopping || repeatRequested; };
        if (next) {
            repeatWake.wait_until(lock, *next, woken);
        } else {
            repeatWake.wait(lock, woken);
        }
    }
}

std::optional<std::chrono::steady_clock::time_point> CaptureOrchestrator::repeatDueFrames() {
    std::vector<SessionPtr> listed;
    {
        std::lock_guard lock(sessionsMutex);
        for (const auto& [id, session] : sessions) listed.push_back(session);
    }
    std::optional<std::chrono::steady_clock::time_point> next;
    for (const auto& session : listed) {
        const auto now = KeyframePacing::Clock::now();
        bool due = false;
        {
            std::lock_guard lock(session->pacingMutex);
            const auto keyframeAt = session->pacing.repeatDue();
            const bool keyframeDue = keyframeAt && *keyframeAt <= now;
            const bool resizeDue = session->resizeDue && *session->resizeDue <= now;
            due = keyframeDue || resizeDue;
            if (due) session->pacing.repeatAsked(now);
            if (resizeDue) session->resizeDue.reset();
            auto following = due ? session->pacing.repeatDue() : keyframeAt;
            if (session->resizeDue && (!following || *session->resizeDue < *following)) following = session->resizeDue;
            if (following && (!next || *following < *next)) next = following;
        }
        // No lock held: a capture may deliver the frame on this very thread.
        if (due && !session->removed.load()) session->capture->repeatLastFrame();
    }
    return next;
}

EncoderConfig CaptureOrchestrator::encoderConfigFor(std::uint32_t paddedWidth, std::uint32_t paddedHeight) {
    std::lock_guard lock(sessionsMutex);
    EncoderConfig config = encoderConfig;
    config.width = paddedWidth;
    config.height = paddedHeight;
    return config;
}

EncoderOutputCallback CaptureOrchestrator::outputCallbackFor(std::uint8_t streamId) {
    return [this, streamId](const EncodedFrame& frame) {
        std::shared_ptr<const EncodedFrameCallback> callback;
        {
            std::lock_guard lock(callbackMutex);
            callback = encodedFrameCallback;
        }
        if (callback && *callback) (*callback)(streamId, frame.data, frame.size, frame.isKeyframe);
    };
}

void CaptureOrchestrator::notifyResolutionChanged(std::uint8_t streamId, std::uint32_t width, std::uint32_t height) {
    std::shared_ptr<const ResolutionChangedCallback> callback;
    {
        std::lock_guard lock(callbackMutex);
        callback = resolutionChangedCallback;
    }
    if (callback && *callback) (*callback)(streamId, width, height);
}

bool CaptureOrchestrator::startCapture(std::uint32_t windowId, std::uint8_t streamId) {
    if (!initialized.load()) {
        SPDLOG_ERROR("CaptureOrchestrator not initialized");
        return false;
    }
    const StreamLineScope lines(clientStreamLines, ClientLineScope::current());
    stopExistingStream(streamId);
    const SessionPtr session = prepareSession(windowId, streamId);
    if (!session) return false;
    // Read before the capture starts: afterwards its frames may change them.
    const std::uint32_t paddedWidth = session->paddedWidth, paddedHeight = session->paddedHeight;
    if (!startAndList(windowId, streamId, session)) return false;
    if (std::size_t held = 0; StreamLineScope::allow(held)) {
        SPDLOG_INFO("Started capture for window {:x} on stream {} ({}x{}){}", windowId, streamId, paddedWidth,
                    paddedHeight, heldNote(held));
    }
    return true;
}

void CaptureOrchestrator::stopExistingStream(std::uint8_t streamId) {
    SessionPtr old;
    {
        std::lock_guard lock(sessionsMutex);
        if (auto it = sessions.find(streamId); it != sessions.end()) {
            SPDLOG_WARN("Stream {} already exists, stopping first", streamId);
            old = std::move(it->second);
            old->removed.store(true);
            sessions.erase(it);
        }
    }
    if (old) stopSession(old);
}

CaptureOrchestrator::SessionPtr CaptureOrchestrator::prepareSession(std::uint32_t windowId, std::uint8_t streamId) {
    if (!services.windowExists(windowId)) {
        SPDLOG_ERROR("Invalid window handle: {:x}", windowId);
        return nullptr;
    }
    const EncoderDevice encoderDevice = device->device();
    auto session = std::make_shared<CaptureSession>();
    session->windowId = windowId;
    session->startedBy = ClientLineScope::current();
    session->capture = services.createCapture();
    if (!session->capture || !session->capture->initialize(windowId, encoderDevice)) {
        SPDLOG_ERROR("Failed to initialize capture for window {:x}", windowId);
        return nullptr;
    }
    std::uint32_t width = 0, height = 0;
    session->capture->getSize(width, height);
    if (!fitsVideoLimits(width, height)) {
        SPDLOG_ERROR("Window {:x} is {}x{}, larger than H.264 can carry", windowId, width, height);
        return nullptr;
    }
    if (const std::uint64_t total = [&] {
            std::lock_guard lock(sessionsMutex);
            return pixelsUnderCapture(nullptr) + codedPixels(width, height);
        }();
        total > kMaxCapturedPixels) {
        if (std::size_t held = 0; StreamLineScope::allow(held)) {
            SPDLOG_WARN("Refusing stream {} of window {:x} ({}x{}): {} pixels would be under capture, more than {}{}",
                        streamId, windowId, width, height, total, kMaxCapturedPixels, heldNote(held));
        }
        return nullptr;
    }
    const std::uint32_t paddedWidth = padTo16(width), paddedHeight = padTo16(height);
    const EncoderConfig config = encoderConfigFor(paddedWidth, paddedHeight);
    if (std::size_t held = 0; StreamLineScope::allow(held)) {
        SPDLOG_INFO("Creating encoder for {}x{} (padded from {}x{}){}", paddedWidth, paddedHeight, width, height,
                    heldNote(held));
    }
    std::unique_ptr<EncoderBase> encoder = services.createBestEncoder(encoderDevice, config);
    if (!encoder) {
        SPDLOG_ERROR("Failed to create encoder for window {:x}", windowId);
        return nullptr;
    }
    encoder->setOutputCallback(outputCallbackFor(streamId));
    session->encoder = std::move(encoder);
    session->width = width, session->height = height;
    session->paddedWidth = paddedWidth, session->paddedHeight = paddedHeight;
    return session;
}

bool CaptureOrchestrator::startAndList(std::uint32_t windowId, std::uint8_t streamId, const SessionPtr& session) {
    const std::uint32_t width = session->width, height = session->height;
    SessionPtr displaced;
    bool overBudget = false;
    {
        // Frames that the new capture delivers wait here until the session is listed.
        std::unique_lock frameLock(session->frameMutex);
        std::weak_ptr<CaptureSession> weak = session;
        const bool started = session->capture->startCapture(
            [this, streamId, weak](EncoderInput texture, std::uint32_t w, std::uint32_t h) {
                if (auto s = weak.lock()) onFrameCaptured(streamId, s, texture, w, h);
            });
        if (!started) {
            SPDLOG_ERROR("Failed to start capture for window {:x}", windowId);
            frameLock.unlock();
            session->encoder->shutdown();
            return false;  // the session's destruction releases the rest
        }
        std::lock_guard lock(sessionsMutex);
        const auto it = sessions.find(streamId);
        // Another start that ran meanwhile may have taken the pixels.
        overBudget = pixelsUnderCapture(it != sessions.end() ? it->second.get() : nullptr) +
                         codedPixels(width, height) >
                     kMaxCapturedPixels;
        if (overBudget) {
            session->removed.store(true);
        } else {
            auto& slot = sessions[streamId];
            if (slot) {  // another start of this id won the race meanwhile
                SPDLOG_WARN("Stream {} already exists, stopping first", streamId);
                displaced = std::move(slot);
                displaced->removed.store(true);
            }
            slot = session;
        }
    }
    if (overBudget) {
        SPDLOG_WARN("Refusing stream {} of window {:x} ({}x{}): the other captures took the pixels meanwhile",
                    streamId, windowId, width, height);
        stopSession(session);
        return false;
    }
    if (displaced) stopSession(displaced);
    return true;
}

void CaptureOrchestrator::onFrameCaptured(std::uint8_t streamId, const SessionPtr& session, EncoderInput texture,
                                          std::uint32_t width, std::uint32_t height) {
    if (!texture || width == 0 || height == 0) return;
    std::lock_guard frameLock(session->frameMutex);
    if (session->removed.load()) return;

    const auto now = KeyframePacing::Clock::now();
    FramePlan plan = planFrame(streamId, *session, width, height, now);
    // A size change's lines, down to its "stream_config", share the window's budget with its other
    // streams'; any other frame's (the first "stream_config") count for the client that started it.
    const bool resizing = plan.step == FramePlan::Step::Recreate;
    const StreamLineScope lines(resizing ? windowLines : clientStreamLines,
                                resizing ? session->windowId : session->startedBy);
    switch (plan.step) {
    case FramePlan::Step::Drop:
        return;
    case FramePlan::Step::OverBudget:
        // Ends the stream at the next update, as a window too large for H.264 does.
        if (!session->outgrown.exchange(true)) {
            SPDLOG_WARN("Window of stream {} grew to {}x{}, more pixels than the captures may hold; ending the stream",
                        streamId, width, height);
        }
        return;
    case FramePlan::Step::Wait:
        deferResize(*session, plan.waitUntil);
        return;
    case FramePlan::Step::Recreate:
        plan.encoder = recreateEncoder(streamId, *session, plan, width, height, now);
        if (!plan.encoder) return;
        break;
    case FramePlan::Step::Encode:
        break;
    }
    const auto input = prepareEncoderInput(*session, texture, width, height, plan.paddedWidth, plan.paddedHeight);
    if (!input) {
        if (resizing) notifyResolutionChanged(streamId, width, height);
        return;  // the next frame tries again
    }
    encodePrepared(streamId, *session, *plan.encoder, *input, resizing, width, height);
}

CaptureOrchestrator::FramePlan CaptureOrchestrator::planFrame(std::uint8_t streamId, CaptureSession& session,
                                                              std::uint32_t width, std::uint32_t height,
                                                              KeyframePacing::Clock::time_point now) {
    FramePlan plan;
    std::lock_guard lock(sessionsMutex);
    if (!session.encoder) return plan;  // its re-creation failed: dropped until the stream stops
    if (width != session.width || height != session.height) {
        if (!fitsVideoLimits(width, height)) {
            // Ends the stream at the next update rather than leaving it frozen.
            if (!session.outgrown.exchange(true)) {
                SPDLOG_ERROR("Window of stream {} grew to {}x{}, larger than H.264 can carry; ending the stream",
                              streamId, width, height);
            }
            return plan;
        }
        plan.paddedWidth = padTo16(width), plan.paddedHeight = padTo16(height);
        if (plan.paddedWidth == session.paddedWidth && plan.paddedHeight == session.paddedHeight) {
            session.width = width, session.height = height;
        } else if (pixelsUnderCapture(&session) + codedPixels(width, height) > kMaxCapturedPixels) {
            plan.step = FramePlan::Step::OverBudget;
            return plan;
        } else if (session.recreatedAt && now - *session.recreatedAt < kMinRecreateInterval) {
            plan.step = FramePlan::Step::Wait;
            plan.waitUntil = *session.recreatedAt + kMinRecreateInterval;
            return plan;
        } else {
            plan.step = FramePlan::Step::Recreate;
            plan.oldWidth = session.width, plan.oldHeight = session.height;
            plan.retired = std::move(session.encoder);
            return plan;
        }
    }
    plan.step = FramePlan::Step::Encode;
    plan.encoder = session.encoder;
    plan.paddedWidth = session.paddedWidth, plan.paddedHeight = session.paddedHeight;
    return plan;
}

void CaptureOrchestrator::deferResize(CaptureSession& session, KeyframePacing::Clock::time_point until) {
    // Dropped: the capture repeats its newest picture when the size may change.
    {
        std::lock_guard lock(session.pacingMutex);
        session.resizeDue = until;
    }
    wakeRepeats();
}

std::shared_ptr<EncoderBase> CaptureOrchestrator::recreateEncoder(std::uint8_t streamId, CaptureSession& session,
                                                                  FramePlan& plan, std::uint32_t width,
                                                                  std::uint32_t height,
                                                                  KeyframePacing::Clock::time_point now) {
    // No other thread holds it: they reach encoders only through the table.
    std::size_t held = 0;
    if (StreamLineScope::allow(held)) {
        SPDLOG_INFO("Resolution changed from {}x{} to {}x{} on stream {} - recreating encoder{}", plan.oldWidth,
                    plan.oldHeight, width, height, streamId, heldNote(held));
    }
    plan.retired->shutdown();
    plan.retired.reset();
    session.recreatedAt = now;
    session.paddingTexture.reset();
    const EncoderConfig config = encoderConfigFor(plan.paddedWidth, plan.paddedHeight);
    if (StreamLineScope::allow(held)) {
        SPDLOG_INFO("Creating new encoder for {}x{} (padded from {}x{}){}", plan.paddedWidth, plan.paddedHeight, width,
                    height, heldNote(held));
    }
    std::unique_ptr<EncoderBase> created = services.createBestEncoder(device->device(), config);
    if (!created) {
        // The stored size stays: the session keeps no encoder and drops its frames.
        SPDLOG_ERROR("Failed to create new encoder for resolution {}x{}", plan.paddedWidth, plan.paddedHeight);
        return nullptr;
    }
    created->setOutputCallback(outputCallbackFor(streamId));
    std::shared_ptr<EncoderBase> encoder = std::move(created);
    {
        std::lock_guard lock(sessionsMutex);
        session.encoder = encoder;
        session.width = width, session.height = height;
        session.paddedWidth = plan.paddedWidth, session.paddedHeight = plan.paddedHeight;
    }
    if (StreamLineScope::allow(held)) {
        SPDLOG_INFO("Encoder recreated successfully for {}x{} on stream {}{}", plan.paddedWidth, plan.paddedHeight,
                    streamId, heldNote(held));
    }
    return encoder;
}

std::optional<EncoderInput> CaptureOrchestrator::prepareEncoderInput(CaptureSession& session, EncoderInput texture,
                                                                     std::uint32_t width, std::uint32_t height,
                                                                     std::uint32_t paddedWidth,
                                                                     std::uint32_t paddedHeight) {
    // Sharpening and padding write the stream's own buffer, outside the table lock.
    const bool pad = paddedWidth != width || paddedHeight != height;
    const bool sharpen = casProcessor && casProcessor->isInitialized() && casProcessor->enabled.load();
    if (!sharpen && !pad) return texture;
    auto& buffer = session.paddingTexture;
    if (!buffer || session.bufferWidth != paddedWidth || session.bufferHeight != paddedHeight) {
        buffer = device->createFrameBuffer(texture, paddedWidth, paddedHeight);
        session.bufferWidth = buffer ? paddedWidth : 0;
        session.bufferHeight = buffer ? paddedHeight : 0;
        session.contentWidth = session.contentHeight = 0;
        if (!buffer) {
            if (pad) {
                SPDLOG_ERROR("Failed to create padding texture");
                return std::nullopt;
            }
            SPDLOG_WARN("Failed to create CAS output texture");
            return texture;
        }
    } else if (session.contentWidth != width || session.contentHeight != height) {
        // The source changed size within the same padded size: what the old,
        // larger image left outside the new one must not show.
        device->clearFrameBuffer(*buffer);
    }
    const bool sharpened = sharpen && casProcessor->apply(device->context(), texture, buffer.get(), width, height);
    if (!sharpened && !pad) return texture;
    if (!sharpened) device->copyRegion(texture, *buffer, width, height);
    session.contentWidth = width, session.contentHeight = height;
    return CaptureDevice::frameInput(*buffer);
}

void CaptureOrchestrator::encodePrepared(std::uint8_t streamId, CaptureSession& session, EncoderBase& encoder,
                                         EncoderInput input, bool resolutionChanged, std::uint32_t width,
                                         std::uint32_t height) {
    ++session.frameCount;
    if (resolutionChanged) {
        {
            std::lock_guard lock(session.pacingMutex);
            session.pacing.frameArriving();
        }
        notifyResolutionChanged(streamId, width, height);
    }
    bool keyframe = false;
    {
        std::lock_guard lock(session.pacingMutex);
        session.resizeDue.reset();  // this frame has the size that counts now
        keyframe = session.pacing.takeForFrame(KeyframePacing::Clock::now(), resolutionChanged);
    }
    if (keyframe) encoder.requestKeyframe();
    const auto attempt = encodeAttempts.fetch_add(1) + 1;
    if (!encoder.encodeFrame(input)) {
        SPDLOG_WARN("Failed to encode frame on stream {} (attempt #{})", streamId, attempt);
    }
}

void CaptureOrchestrator::stopSession(const SessionPtr& session) {
    // The capture first: this waits for the frame in flight (except when called
    // from inside that very frame, which then keeps what it uses alive itself).
    session->capture->stopCapture();
    std::shared_ptr<EncoderBase> encoder;
    {
        std::lock_guard lock(sessionsMutex);
        encoder = std::move(session->encoder);
    }
    // Destroying the encoder shuts it down; a frame still encoding holds its own reference.
    encoder.reset();
}

void CaptureOrchestrator::stopCapture(std::uint8_t streamId) {
    // Before the session: its capture and encoder may end with it.
    const StreamLineScope lines(clientStreamLines, ClientLineScope::current());
    SessionPtr session;
    {
        std::lock_guard lock(sessionsMutex);
        auto it = sessions.find(streamId);
        if (it == sessions.end()) {
            // A client may ask to stop streams that do not run as often as it likes.
            if (std::size_t held = 0; missingStreamLog.allow(ClientLineScope::current(), held)) {
                SPDLOG_WARN("Stream {} not found{}", streamId, heldNote(held));
            }
            return;
        }
        session = std::move(it->second);
        session->removed.store(true);
        sessions.erase(it);
    }
    stopSession(session);
    if (std::size_t held = 0; StreamLineScope::allow(held)) {
        SPDLOG_INFO("Stopped capture on stream {}{}", streamId, heldNote(held));
    }
}

void CaptureOrchestrator::stopAllCaptures() {
    std::vector<SessionPtr> taken;
    {
        std::lock_guard lock(sessionsMutex);
        for (auto& [id, session] : sessions) {
            session->removed.store(true);
            taken.push_back(std::move(session));
        }
        sessions.clear();
    }
    for (const auto& session : taken) stopSession(session);
    SPDLOG_INFO("Stopped all captures");
}

std::vector<std::uint8_t> CaptureOrchestrator::update(std::vector<std::uint8_t>* outgrown) {
    std::vector<std::pair<std::uint8_t, SessionPtr>> listed;
    {
        std::lock_guard lock(sessionsMutex);
        for (const auto& [id, session] : sessions) listed.emplace_back(id, session);
    }
    // Window checks may ask the window system: no lock held meanwhile.
    std::vector<std::pair<std::uint8_t, SessionPtr>> ended;
    for (auto& [id, session] : listed) {
        if (session->outgrown.load() || !session->capture->isCapturing() || !services.windowExists(session->windowId))
            ended.emplace_back(id, std::move(session));
    }
    std::vector<std::uint8_t> removed;
    std::vector<SessionPtr> toStop;
    {
        std::lock_guard lock(sessionsMutex);
        for (auto& [id, session] : ended) {
            auto it = sessions.find(id);
            if (it == sessions.end() || it->second != session) continue;  // stopped or restarted meanwhile
            SPDLOG_INFO("Removing inactive session for stream {}", id);
            session->removed.store(true);
            sessions.erase(it);
            removed.push_back(id);
            std::uint32_t width = 0, height = 0;
            session->capture->getSize(width, height);
            if (outgrown && (session->outgrown.load() || !fitsVideoLimits(width, height))) outgrown->push_back(id);
            toStop.push_back(std::move(session));
        }
    }
    for (const auto& session : toStop) stopSession(session);
    return removed;
}

void CaptureOrchestrator::requestKeyframe(std::uint8_t streamId) {
    SessionPtr session;
    {
        std::lock_guard lock(sessionsMutex);
        auto it = sessions.find(streamId);
        if (it == sessions.end()) return;
        session = it->second;
    }
    {
        std::lock_guard lock(session->pacingMutex);
        session->pacing.request(KeyframePacing::Clock::now());
    }
    wakeRepeats();
}

void CaptureOrchestrator::wakeRepeats() {
    {
        std::lock_guard lock(repeatMutex);
        repeatRequested = true;
    }
    repeatWake.notify_all();
}

std::uint64_t CaptureOrchestrator::pixelsUnderCapture(const CaptureSession* except) const {
    std::uint64_t total = 0;
    for (const auto& [id, session] : sessions) {
        if (session.get() != except) total += std::uint64_t{session->paddedWidth} * session->paddedHeight;
    }
    return total;
}

std::uint64_t CaptureOrchestrator::pixelsUnderCaptureIfResized(std::uint32_t windowId, std::uint32_t width,
                                                               std::uint32_t height) {
    std::lock_guard lock(sessionsMutex);
    std::uint64_t total = 0;
    for (const auto& [id, session] : sessions) {
        total += session->windowId == windowId ? codedPixels(width, height)
                                               : std::uint64_t{session->paddedWidth} * session->paddedHeight;
    }
    return total;
}

void CaptureOrchestrator::setStreamBitrate(std::uint8_t streamId, std::uint32_t bitrateKbps,
                                           std::uint32_t maxBitrateKbps) {
    std::lock_guard lock(sessionsMutex);
    auto it = sessions.find(streamId);
    if (it != sessions.end() && it->second->encoder) it->second->encoder->setBitrate(bitrateKbps, maxBitrateKbps);
}

ParameterSets CaptureOrchestrator::getParameterSets(std::uint8_t streamId) {
    std::lock_guard lock(sessionsMutex);
    auto it = sessions.find(streamId);
    if (it != sessions.end() && it->second->encoder) return it->second->encoder->getParameterSets();
    return {};
}

bool CaptureOrchestrator::getStreamResolution(std::uint8_t streamId, std::uint32_t& width, std::uint32_t& height) {
    std::lock_guard lock(sessionsMutex);
    auto it = sessions.find(streamId);
    if (it == sessions.end()) return false;
    width = it->second->width;
    height = it->second->height;
    return true;
}

std::string CaptureOrchestrator::getEncoderName() const {
    std::lock_guard lock(sessionsMutex);
    return encoderName;
}

std::vector<protocol::WindowInfo> CaptureOrchestrator::getWindowList() const {
    return services.enumerateWindows ? services.enumerateWindows() : std::vector<protocol::WindowInfo>{};
}

std::string CaptureOrchestrator::getGpuName() const {
    std::lock_guard lock(sessionsMutex);
    return gpuName;
}

std::uint64_t CaptureOrchestrator::getVramMB() const {
    std::lock_guard lock(sessionsMutex);
    return vramMB;
}

void CaptureOrchestrator::setBitrate(std::uint32_t bitrateKbps, std::uint32_t maxBitrateKbps) {
    std::lock_guard lock(sessionsMutex);
    encoderConfig.bitrateKbps = bitrateKbps;
    encoderConfig.maxBitrateKbps = maxBitrateKbps;
}

void CaptureOrchestrator::setFrameRate(std::uint32_t fps) {
    std::lock_guard lock(sessionsMutex);
    encoderConfig.fps = fps;
}

void CaptureOrchestrator::setFullRangeColor(bool enabled) {
    {
        std::lock_guard lock(sessionsMutex);
        encoderConfig.fullRange = enabled;
    }
    SPDLOG_INFO("Full range color {}", enabled ? "enabled" : "disabled");
}

void CaptureOrchestrator::setSharpeningEnabled(bool enabled) {
    if (!casProcessor) return;
    casProcessor->enabled.store(enabled);
    SPDLOG_INFO("CAS sharpening {}", enabled ? "enabled" : "disabled");
}

void CaptureOrchestrator::setSharpness(float sharpness) {
    if (!casProcessor) return;
    // NaN counts as 0: it would poison every pixel.
    const float clamped = sharpness >= 0.0f ? std::min(sharpness, 1.0f) : 0.0f;
    casProcessor->sharpness.store(clamped);
}

void CaptureOrchestrator::setVSyncEnabled(bool enabled) {
    if (!framePacer) return;
    framePacer->vsyncEnabled.store(enabled);
    SPDLOG_INFO("VSync frame pacing {}", enabled ? "enabled" : "disabled");
}

void CaptureOrchestrator::setEncodedFrameCallback(EncodedFrameCallback callback) {
    auto shared = std::make_shared<const EncodedFrameCallback>(std::move(callback));
    std::lock_guard lock(callbackMutex);
    encodedFrameCallback = std::move(shared);
}

void CaptureOrchestrator::setResolutionChangedCallback(ResolutionChangedCallback callback) {
    auto shared = std::make_shared<const ResolutionChangedCallback>(std::move(callback));
    std::lock_guard lock(callbackMutex);
    resolutionChangedCallback = std::move(shared);
}

}  // namespace quillane::host
