#pragma once

#include "capture/CaptureDevice.h"
#include "capture/CaptureServices.h"
#include "capture/WindowInfo.h"
#include "common/LineSource.h"
#include "common/RateLimiter.h"
#include "encode/EncoderBase.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace quillane::host {

class CASProcessor;
class FramePacer;

// One encoded access unit of a stream; the bytes are valid only during the call.
using EncodedFrameCallback =
    std::function<void(std::uint8_t streamId, const std::uint8_t* data, std::uint64_t size, bool keyframe)>;
// A stream's encoder was re-created for a new padded size; the new source size.
using ResolutionChangedCallback = std::function<void(std::uint8_t streamId, std::uint32_t width, std::uint32_t height)>;

// Turns windows into encoded video streams: one capture and one encoder per
// stream id. Each captured frame is optionally sharpened, padded to multiples of
// 16 and encoded on the capture thread that delivered it. A stream's encoder is
// re-created for a new size at most once per kMinRecreateInterval: frames of a
// size that must wait are dropped, and the newest one is encoded once the
// interval is up (repeated by its capture if the window does not change again).
// All captures together hold at most kMaxCapturedPixels coded pixels.
//
// Threads: any thread may start, stop and query streams. Frame work and the
// callbacks run on capture threads with no orchestrator lock held. Stopping a
// stream waits for its frame in flight, so the caller must not hold a lock that
// the callbacks take (Application's stream lock) while it stops or restarts one.
class CaptureOrchestrator {
public:
    CaptureOrchestrator();
    explicit CaptureOrchestrator(CaptureServices services);
    ~CaptureOrchestrator();
    CaptureOrchestrator(const CaptureOrchestrator&) = delete;
    CaptureOrchestrator& operator=(const CaptureOrchestrator&) = delete;

    bool initialize();
    void shutdown();

    static constexpr std::chrono::milliseconds kMinRecreateInterval{100};

    // False (with one warning) also when the window's pixels would not fit beside the other captures'.
    bool startCapture(std::uint32_t windowId, std::uint8_t streamId);
    void stopCapture(std::uint8_t streamId);
    void stopAllCaptures();

    // Once per main-loop turn: drops the sessions whose window closed or whose
    // capture ended, and returns their stream ids so the owner can forget them.
    // Those that ended because the window grew beyond what H.264 carries are
    // also added to `outgrown`.
    std::vector<std::uint8_t> update(std::vector<std::uint8_t>* outgrown = nullptr);

    // A keyframe soon: forced at most once per 100 ms per stream, and made from
    // the last captured picture when no new frame comes within about 30 ms.
    void requestKeyframe(std::uint8_t streamId);
    void setStreamBitrate(std::uint8_t streamId, std::uint32_t bitrateKbps, std::uint32_t maxBitrateKbps);
    ParameterSets getParameterSets(std::uint8_t streamId);
    // The stream's source size (not the padded one); false when there is no such stream.
    bool getStreamResolution(std::uint8_t streamId, std::uint32_t& width, std::uint32_t& height);
    // The coded pixels all captures would hold if this window had that size.
    std::uint64_t pixelsUnderCaptureIfResized(std::uint32_t windowId, std::uint32_t width, std::uint32_t height);

    std::string getEncoderName() const;
    std::vector<protocol::WindowInfo> getWindowList() const;
    std::string getGpuName() const;
    std::uint64_t getVramMB() const;

    // Templates for encoders created from now on.
    void setBitrate(std::uint32_t bitrateKbps, std::uint32_t maxBitrateKbps);
    void setFrameRate(std::uint32_t fps);
    void setFullRangeColor(bool enabled);
    // Take effect on the next frame.
    void setSharpeningEnabled(bool enabled);
    void setSharpness(float sharpness);
    void setVSyncEnabled(bool enabled);

    void setEncodedFrameCallback(EncodedFrameCallback callback);
    void setResolutionChangedCallback(ResolutionChangedCallback callback);

private:
    struct CaptureSession;
    using SessionPtr = std::shared_ptr<CaptureSession>;

    // FNV-1a (64-bit) over the stream id byte.
    struct StreamIdHash {
        std::size_t operator()(std::uint8_t id) const noexcept {
            return static_cast<std::size_t>((0xcbf29ce484222325ull ^ id) * 0x100000001b3ull);
        }
    };

    bool initializeD3D();
    // A running stream of this id goes first: out of the table, then stopped with no lock held.
    void stopExistingStream(std::uint8_t streamId);
    // A session with its capture initialised and its encoder made, not yet started; null (logged) on failure.
    SessionPtr prepareSession(std::uint32_t windowId, std::uint8_t streamId);
    // Starts the capture and lists the session, unless the pixel budget was taken meanwhile.
    bool startAndList(std::uint32_t windowId, std::uint8_t streamId, const SessionPtr& session);
    // A captured frame's road to its encoder: the size decides (plan), then a new encoder when the
    // size changed, then sharpening and padding, then the encode with any keyframe due.
    void onFrameCaptured(std::uint8_t streamId, const SessionPtr& session, EncoderInput texture,
                         std::uint32_t width, std::uint32_t height);
    // What a frame of this size asks of its stream, decided under the table lock.
    struct FramePlan {
        enum class Step { Drop, OverBudget, Wait, Recreate, Encode };
        Step step = Step::Drop;
        std::shared_ptr<EncoderBase> encoder;  // Encode (and Recreate, once made)
        std::shared_ptr<EncoderBase> retired;  // Recreate: taken out of the table
        std::uint32_t paddedWidth = 0, paddedHeight = 0;
        std::uint32_t oldWidth = 0, oldHeight = 0;
        std::chrono::steady_clock::time_point waitUntil{};  // Wait: when the new size may be made
    };
    FramePlan planFrame(std::uint8_t streamId, CaptureSession& session, std::uint32_t width, std::uint32_t height,
                        std::chrono::steady_clock::time_point now);
    void deferResize(CaptureSession& session, std::chrono::steady_clock::time_point until);
    // Null when no encoder could be made (the stream then drops its frames).
    std::shared_ptr<EncoderBase> recreateEncoder(std::uint8_t streamId, CaptureSession& session, FramePlan& plan,
                                                 std::uint32_t width, std::uint32_t height,
                                                 std::chrono::steady_clock::time_point now);
    // The texture, or the stream's buffer sharpened or padded from it; empty when padding had no buffer.
    std::optional<EncoderInput> prepareEncoderInput(CaptureSession& session, EncoderInput texture, std::uint32_t width,
                                                    std::uint32_t height, std::uint32_t paddedWidth,
                                                    std::uint32_t paddedHeight);
    void encodePrepared(std::uint8_t streamId, CaptureSession& session, EncoderBase& encoder, EncoderInput input,
                        bool resolutionChanged, std::uint32_t width, std::uint32_t height);
    EncoderConfig encoderConfigFor(std::uint32_t paddedWidth, std::uint32_t paddedHeight);
    EncoderOutputCallback outputCallbackFor(std::uint8_t streamId);
    // Stops the capture (waiting for its frame in flight), then releases the
    // encoder and the buffers. Never called with sessionsMutex held.
    void stopSession(const SessionPtr& session);
    void notifyResolutionChanged(std::uint8_t streamId, std::uint32_t width, std::uint32_t height);
    // The thread that repeats last pictures for keyframes no new frame carried.
    void repeatLoop();
    // Asks the captures whose repeat is due for it; the earliest repeat still to come.
    std::optional<std::chrono::steady_clock::time_point> repeatDueFrames();
    void wakeRepeats();
    void stopRepeats();
    // Coded pixels of every session but `except`; under sessionsMutex.
    std::uint64_t pixelsUnderCapture(const CaptureSession* except) const;

    CaptureServices services;
    std::unique_ptr<CaptureDevice> device;
    std::unordered_map<std::uint8_t, SessionPtr, StreamIdHash> sessions;
    mutable std::recursive_mutex sessionsMutex;  // guards sessions, the sessions' fields and encoderConfig

    std::mutex callbackMutex;  // the callbacks may be replaced while frames run
    std::shared_ptr<const EncodedFrameCallback> encodedFrameCallback;
    std::shared_ptr<const ResolutionChangedCallback> resolutionChangedCallback;

    EncoderConfig encoderConfig;
    std::string encoderName;
    std::string gpuName;
    std::uint64_t vramMB = 0;
    std::unique_ptr<FramePacer> framePacer;
    std::unique_ptr<CASProcessor> casProcessor;
    std::atomic<bool> initialized{false};

    // By client address: the lines of the starts and stops it asks for and of its streams' first
    // frames, captures and encoders included, as often as it sends them.
    StreamLineBudget clientStreamLines{16, 4};
    PeerLineLimiter missingStreamLog{std::chrono::seconds(10), 2};
    // By window: the lines of its size changes, from all its streams and their new encoders,
    // however fast a client or the user resizes it. One change of a window with one stream
    // fits whole.
    StreamLineBudget windowLines{12, 4};

    std::mutex repeatMutex;
    std::condition_variable repeatWake;
    bool repeatRequested = false;
    bool repeatStopping = false;
    std::thread repeatThread;
};

}  // namespace quillane::host
