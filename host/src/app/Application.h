#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/AudioPipeline.h"
#include "app/BitrateController.h"
#include "app/Held.h"
#include "app/InputDispatch.h"
#include "app/PictureSettings.h"
#include "app/Settings.h"
#include "app/StreamController.h"
#include "capture/CaptureServices.h"
#include "capture/WindowInfo.h"
#include "network/LogText.h"

namespace quillane::host {

class CaptureOrchestrator;
class SignalingServer;
class TcpTransportServer;
class TcpAudioServer;
class TcpInputServer;
class DiscoveryResponder;
class ProcessPriority;
class InputPlatform;

// The composition root of the host: owns the settings and the top-level
// components, wires their callbacks to its handlers and starts and releases
// everything in a fixed order. The streams (with the clients' resizes), the
// bitrate, the picture settings, input and the sound are their own components'
// concern; the handlers pass the calls on.
// Threads: initialize, shutdown, update and the settings run on the main
// thread; the handlers on the threads of the components that call them.
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

    // Host-window path: an id from reserveStreamId, which start consumes (running, or free
    // again when the start fails).
    std::optional<std::uint8_t> reserveStreamId() { return streams.reserveStreamId(); }
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
    bool isStreamRunning(std::uint8_t streamId) const { return streams.isRunning(streamId); }
    bool isPriorityBoosted() const { return streams.isPriorityBoosted(); }
    // What the host window shows about the connection and the machine.
    std::string getClientAddress() const;
    std::uint64_t getFramesSent() const { return streams.framesSent(); }
    int getLastRttMs() const { return bitrate.lastRttMs(); }  // -1 before the first feedback
    std::uint32_t getCurrentBitrateKbps() const { return bitrate.currentBitrateKbps(); }
    static const char* getCaptureApi();

    // Handlers installed as the signalling server's and the capture's callbacks; the other
    // components' callbacks go straight to the component that owns the concern.
    bool onStreamRequest(std::uint32_t windowId, std::uint8_t streamId);
    void onStopStreamRequest(std::uint8_t streamId);
    std::vector<WindowInfo> provideWindowList();
    void onClientConnected(const std::string& clientAddress);
    bool onWindowResizeRequest(std::uint32_t windowId, std::uint32_t width, std::uint32_t height);
    // Both connections' keyframe requests.
    void onKeyframeRequest(std::uint8_t streamId);
    // A capture thread: the stream's "stream_config" when due, then the frame to the video client.
    void onEncodedFrame(std::uint8_t streamId, const std::uint8_t* data, std::uint64_t size,
                        bool isKeyframe);

    // Settings from the host window. A value outside the settings file's range
    // is refused with a warning, as the file's loader refuses it; false then,
    // and nothing changes.
    bool applySettings(std::uint32_t targetBitrateKbps, std::uint32_t maxBitrateKbps,
                       std::uint32_t targetFps);
    void applySharpeningSettings(bool enabled, float sharpness);
    void applyVSyncSettings(bool enabled);
    void applyFullRangeColorSettings(bool enabled);

private:
    // Start-up steps, in their order; each false with one error line.
    bool initializeCapture(const SettingsValues& cfg);
    bool startSignaling(const SettingsValues& cfg);
    bool startTransports(const SettingsValues& cfg);
    void startDiscovery(const SettingsValues& cfg);
    void boostStreamingPriority(bool boost);

    Settings settings;
    std::unique_ptr<ProcessPriority> processPriority;
    CaptureServices captureServices;
    Held<CaptureOrchestrator> captureOrchestrator;
    Held<SignalingServer> signalingServer;
    Held<TcpTransportServer> tcpTransportServer;
    Held<TcpAudioServer> tcpAudioServer;
    Held<TcpInputServer> tcpInputServer;
    Held<DiscoveryResponder> discoveryResponder;
    // Lines that clients' hellos, start, stop and resize requests cause, each
    // message one or two, by the client's address across its connections: a
    // client's ordinary share is written, a flood's is not. Small, as the
    // signalling handler and the components below write a share of their own
    // for the same requests.
    PeerLineLimiter clientRequestLog{std::chrono::seconds(10), 8};
    InputDispatch input;
    AudioPipeline audio{tcpAudioServer};
    StreamController streams{captureOrchestrator, signalingServer, tcpTransportServer, input, audio,
                             [this](bool boost) { boostStreamingPriority(boost); }, clientRequestLog};
    BitrateController bitrate{captureOrchestrator, streams};
    PictureSettings picture{settings, captureOrchestrator};

    std::atomic<bool> initialized{false};
    std::uint16_t videoPort = 0;
    std::string gpuName;
    std::uint64_t vramMB = 0;

    mutable std::mutex clientMutex;
    std::string clientAddress;  // of the last signalling client that said hello
};

}  // namespace quillane::host
