#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "app/Held.h"
#include "app/RunningStreams.h"
#include "app/StreamTable.h"
#include "capture/WindowInfo.h"
#include "common/RateLimiter.h"

namespace quillane::host {

class AudioPipeline;
class CaptureOrchestrator;
class InputDispatch;
class SignalingServer;
class TcpTransportServer;

// Where a stream start comes from: its log lines and whether a client waits
// for its "stream_config" differ, nothing else does.
enum class StreamOrigin { Client, HostWindow };

// The streams: one start and one stop path for client requests and the host
// window's list, the cap on running streams, the running set (with the
// priority boost that follows it), the client streams' table and their
// "stream_config", the cached window list, which stream has the sound, and the
// clients' window resizes within the pixels the captures may hold.
// Threads: starts and stops come from the signalling thread and the main
// thread, serialised with the main thread's sweep of ended streams by one
// mutex; deliverFrame runs on the capture threads; resizeWindow on the
// signalling thread; the queries on any thread.
class StreamController {
public:
    using WindowInfo = protocol::WindowInfo;

    StreamController(Held<CaptureOrchestrator>& orchestrator, Held<SignalingServer>& signaling,
                     Held<TcpTransportServer>& video, InputDispatch& input, AudioPipeline& audio,
                     RunningStreams::PriorityFn priority, PeerLineLimiter& clientRequestLog);

    // Starts (or restarts) the capture of a listed window under this id; false, with an error
    // line, when the window is not listed, the cap is reached or the capture does not start.
    bool start(std::uint32_t windowId, std::uint8_t streamId, StreamOrigin origin);
    // Stops the capture; what its input held is released and the sound freed. Nothing happens
    // for a stream that is not running.
    void stop(std::uint8_t streamId);
    // A client's stop: the stream also leaves the client streams' table.
    void stopForClient(std::uint8_t streamId);
    // Main thread: turns the captures and tells the clients which streams ended with their window.
    void update();

    // A capture thread's frame: on a keyframe the stream's "stream_config" first when it is due,
    // then the frame to the video client.
    void deliverFrame(std::uint8_t streamId, const std::uint8_t* data, std::uint64_t size, bool isKeyframe,
                      std::uint32_t targetBitrateKbps, std::uint32_t targetFps);
    // Frames queued for a video client.
    std::uint64_t framesSent() const { return sentFrames.load(); }
    // After a resolution change the client learns the new size with the next keyframe.
    void onResolutionChange(std::uint8_t streamId, std::uint32_t width, std::uint32_t height);

    // The window list as clients are offered it (cached for a second).
    std::vector<WindowInfo> windowList();
    // True when clients may stream the window (looked up again if a cached list misses it).
    bool isListedWindow(std::uint32_t windowId);
    // A client's resize: only a listed window that still exists, to a size H.264 can carry and
    // within the pixels the captures may hold; false, with an error line, otherwise.
    bool resizeWindow(std::uint32_t windowId, std::uint32_t width, std::uint32_t height);

    bool isRunning(std::uint8_t streamId) const { return running.contains(streamId); }
    bool isPriorityBoosted() const { return running.boosted(); }
    std::uint32_t windowOf(std::uint8_t streamId) const { return running.windowOf(streamId); }
    // Calls fn for every client stream with the table locked.
    void forEachClientStream(const std::function<void(std::uint8_t, std::uint32_t)>& fn) const {
        streams.forEachClientStream(fn);
    }

private:
    void announceConfigIfDue(std::uint8_t streamId, std::uint32_t targetBitrateKbps, std::uint32_t targetFps);
    std::vector<WindowInfo> windowList(std::chrono::steady_clock::duration maxAge);
    // True (with a warning, at most one per 10 s) when the window, at that size, would take the
    // captures beyond the pixels they may hold.
    bool refuseBeyondPixelBudget(std::uint32_t windowId, std::uint32_t width, std::uint32_t height);
    // True (with a warning) when starting this stream would run more than the cap; under captureMutex.
    bool refuseBeyondStreamCap(std::uint32_t windowId, std::uint8_t streamId);
    // The ids among `dropped` that no new capture took meanwhile, now forgotten.
    std::vector<std::uint8_t> forgetEndedStreams(CaptureOrchestrator& orchestrator,
                                                 const std::vector<std::uint8_t>& dropped);

    Held<CaptureOrchestrator>& orchestrator;
    Held<SignalingServer>& signaling;
    Held<TcpTransportServer>& video;
    InputDispatch& input;
    AudioPipeline& audio;

    StreamTable streams;
    RunningStreams running;
    // Serialises capture starts and stops with the sweep of ended streams, so
    // the running set always matches the orchestrator's sessions.
    std::mutex captureMutex;

    std::mutex windowListMutex;
    std::vector<WindowInfo> cachedWindows;
    std::chrono::steady_clock::time_point windowsFetched{};
    bool windowsValid = false;

    LogRateLimiter pixelBudgetLog{std::chrono::seconds(10)};
    // Shared with the other lines clients' requests cause; the refusals have their own share.
    PeerLineLimiter& clientRequestLog;
    PeerLineLimiter refusedResizeLog{std::chrono::seconds(10), 16};
    PeerLineLimiter refusedStartLog{std::chrono::seconds(10), 16};

    std::atomic<std::uint64_t> sentFrames{0};  // written for a video client
    std::atomic<std::uint32_t> keyframesSent{0};
    std::atomic<std::uint64_t> framesDropped{0};  // skipped by the client's drop policy
};

}  // namespace quillane::host
