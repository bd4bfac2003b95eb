#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "app/CongestionControl.h"
#include "app/InFlightCalls.h"
#include "app/RunningStreams.h"
#include "app/Settings.h"
#include "app/StreamTable.h"
#include "audio/AudioFrameBuffer.h"
#include "capture/CaptureServices.h"
#include "capture/WindowInfo.h"
#include "network/LogText.h"

namespace quillane::host {

class CaptureOrchestrator;
struct CaptureServices;
class SignalingServer;
class TcpTransportServer;
class DiscoveryResponder;
struct ClientFeedback;
class ProcessPriority;
class InputInjector;
class InputPlatform;
class InputRouter;
// Input dispatch.
class FocusManager;
class TcpInputServer;
struct ClientInput;
struct InputEvent;
class UpdateChecker;
class AudioCapture;
class OpusAudioEncoder;
class TcpAudioServer;

// The hub of the host: owns the settings and the top-level components, wires
// their callbacks to its handlers, keeps the stream table, runs congestion
// control and releases everything in a fixed order.
class Application {
public:
    using WindowInfo = protocol::WindowInfo;

    Application();
    // With the process-priority service given (tests pass a recording one).
    explicit Application(std::unique_ptr<ProcessPriority> priority);
    // With the desktop service of the input injector given as well (tests pass a fake).
    Application(std::unique_ptr<ProcessPriority> priority, std::shared_ptr<InputPlatform> inputPlatform);
    // With the capture orchestrator's window captures and encoders given too (tests pass fakes).
    Application(std::unique_ptr<ProcessPriority> priority, std::shared_ptr<InputPlatform> inputPlatform,
                CaptureServices captureServices);
    ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    bool initialize();
    void shutdown();
    void update();

    // Host-window path.
    bool startCapture(std::uint32_t windowId, std::uint8_t streamId);
    // Shared by the host-window and signalling paths.
    void stopCapture(std::uint8_t streamId);

    void onDisplayChange();
    std::string getEncoderName() const;
    std::vector<WindowInfo> getWindowList();
    bool isClientConnected() const;

    const std::string& getGpuName() const { return gpuName; }
    std::uint64_t getVramMB() const { return vramMB; }
    Settings& getSettings() { return settings; }
    bool isStreamRunning(std::uint8_t streamId) const { return runningStreams.contains(streamId); }
    bool isPriorityBoosted() const { return runningStreams.boosted(); }
    // What the host window shows about the connection and the machine.
    std::string getClientAddress() const;
    std::uint64_t getFramesSent() const { return framesSent.load(); }
    int getLastRttMs() const { return lastRttMs.load(); }  // -1 before the first feedback
    std::uint32_t getCurrentBitrateKbps() const;
    static const char* getCaptureApi();

    // An update check on the checker's thread; unless forced, at most one a day.
    void checkForUpdatesAsync(bool force);
    // Null before initialize() got to it.
    UpdateChecker* getUpdateChecker() const { return updateChecker.get(); }
    // Puts another checker in place of initialize()'s (tests: a local service).
    void setUpdateChecker(std::unique_ptr<UpdateChecker> checker);

    // Handlers installed as the components' callbacks.
    bool onStreamRequest(std::uint32_t windowId, std::uint8_t streamId);
    void onStopStreamRequest(std::uint8_t streamId);
    std::vector<WindowInfo> provideWindowList();
    void onClientConnected(const std::string& clientAddress);
    bool onWindowResizeRequest(std::uint32_t windowId, std::uint32_t width, std::uint32_t height);
    void onKeyframeRequest(std::uint8_t streamId);
    void onTransportKeyframeRequest(std::uint8_t streamId);
    void onClientFeedback(const ClientFeedback& feedback);
    void onEncodedFrame(std::uint8_t streamId, const std::uint8_t* data, std::uint64_t size,
                        bool isKeyframe);
    void onResolutionChange(std::uint8_t streamId, std::uint32_t width, std::uint32_t height);
    // Input dispatch: the video connection's records, the input connection's events, the
    // injector's and focus manager's warnings, and a client's input connection ending.
    void onClientInput(const ClientInput& input);
    void onInputEvent(const InputEvent& event);
    void onClickMismatch(std::uint64_t intended, std::uint64_t actual);
    void onFocusFailed(std::uint64_t window, const std::string& hint);
    void onInputClientGone();
    // Audio capture thread.
    void onAudioSamples(const std::int16_t* samples, std::uint32_t frames, std::uint32_t sampleRate,
                        std::uint32_t channels);

    // Settings from the host window. A value outside the settings file's range
    // is refused with a warning, as the file's loader refuses it; false then,
    // and nothing changes.
    bool applySettings(std::uint32_t targetBitrateKbps, std::uint32_t maxBitrateKbps,
                       std::uint32_t targetFps);
    void applySharpeningSettings(bool enabled, float sharpness);
    void applyVSyncSettings(bool enabled);
    void applyFullRangeColorSettings(bool enabled);

private:
    // A component as handlers see it: they take a reference that keeps it alive
    // for the call, so shutdown never releases one under a running handler.
    template <class T>
    class Held {
    public:
        std::shared_ptr<T> get() const {
            std::lock_guard lock(mutex);
            return ptr;
        }
        void set(std::shared_ptr<T> p) {
            std::lock_guard lock(mutex);
            ptr = std::move(p);
        }
        std::shared_ptr<T> take() {
            std::lock_guard lock(mutex);
            return std::exchange(ptr, nullptr);
        }

    private:
        mutable std::mutex mutex;
        std::shared_ptr<T> ptr;
    };

    void boostStreamingPriority(bool boost);
    // The cached window list (refreshed when older than maxAge).
    std::vector<WindowInfo> windowList(std::chrono::steady_clock::duration maxAge);
    bool isListedWindow(std::uint32_t windowId);
    // The ids among `dropped` that no new capture took meanwhile, now forgotten.
    std::vector<std::uint8_t> forgetEndedStreams(CaptureOrchestrator& orchestrator,
                                                 const std::vector<std::uint8_t>& dropped);
    // True (with a warning) when starting this stream would run more than the cap; under captureMutex.
    bool refuseBeyondStreamCap(std::uint32_t windowId, std::uint8_t streamId);
    // True (with a warning, at most one per 10 s) when the window, at that size, would take the
    // captures beyond the pixels they may hold.
    bool refuseBeyondPixelBudget(std::uint32_t windowId, std::uint32_t width, std::uint32_t height);
    bool initializeAudio();
    void processAudioSamples(const std::int16_t* samples, std::uint32_t frames, std::uint32_t sampleRate,
                             std::uint32_t channels);
    // The first running stream takes the audio; stopping that stream frees it for the next.
    void bindAudio(std::uint8_t streamId);
    void unbindAudio(std::uint8_t streamId);

    Settings settings;
    std::unique_ptr<ProcessPriority> processPriority;
    std::shared_ptr<InputPlatform> inputPlatform;
    CaptureServices captureServices;
    Held<CaptureOrchestrator> captureOrchestrator;
    Held<InputInjector> inputInjector;
    Held<SignalingServer> signalingServer;
    Held<TcpTransportServer> tcpTransportServer;
    Held<DiscoveryResponder> discoveryResponder;
    Held<FocusManager> focusManager;
    Held<TcpInputServer> tcpInputServer;
    // Lines that clients' hellos, stop and resize requests cause, each message
    // one: a client's ordinary share is written, a flood's is not.
    PeerLineLimiter clientRequestLog{std::chrono::seconds(10), 16};
    PeerLineLimiter refusedResizeLog{std::chrono::seconds(10), 16};
    Held<InputRouter> inputRouter;
    LogRateLimiter focusFailedLog{std::chrono::seconds(10)};
    LogRateLimiter pixelBudgetLog{std::chrono::seconds(10)};
    InFlightCalls inputCalls;  // handlers using the injector or the focus manager
    // Its check thread stamps `settings`: released (cancelled and joined) first.
    std::unique_ptr<UpdateChecker> updateChecker;
    Held<AudioCapture> audioCapture;
    Held<OpusAudioEncoder> opusEncoder;
    Held<TcpAudioServer> tcpAudioServer;

    // Audio sink state: the bound flag and stream id in one value (kAudioBound | id), so the
    // capture thread never sees one without the other; the buffer and the binding it was filled
    // for belong to the capture thread alone.
    static constexpr std::uint16_t kAudioBound = 0x100;
    std::atomic<std::uint16_t> audioBinding{0};
    std::uint16_t audioBufferBinding = 0;
    AudioFrameBuffer audioBuffer;

    std::atomic<bool> initialized{false};
    std::uint16_t videoPort = 0;
    std::string gpuName;
    std::uint64_t vramMB = 0;

    // Values the capture and network threads read while the main thread may change them.
    std::atomic<std::uint32_t> targetBitrateKbps{0};
    std::atomic<std::uint32_t> targetFps{0};

    StreamTable streams;
    CongestionControl congestion;
    RunningStreams runningStreams;
    // Serialises capture starts and stops with the sweep of ended streams, so
    // the running set always matches the orchestrator's sessions.
    std::mutex captureMutex;

    std::mutex windowListMutex;
    std::vector<WindowInfo> cachedWindows;
    std::chrono::steady_clock::time_point windowsFetched{};
    bool windowsValid = false;

    std::atomic<std::uint64_t> framesSent{0};  // written for a video client
    std::atomic<std::uint32_t> keyframesSent{0};
    std::atomic<std::uint64_t> framesDropped{0};  // skipped by the client's drop policy
    std::atomic<int> lastRttMs{-1};
    mutable std::mutex clientMutex;
    std::string clientAddress;  // of the last signalling client that said hello
};

}  // namespace quillane::host
