#pragma once

#include <atomic>
#include <cstdint>

#include "app/CongestionControl.h"
#include "app/Held.h"

namespace quillane::host {

class CaptureOrchestrator;
class Settings;
class StreamController;
struct ClientFeedback;

// The video bitrate: the settings' target and frame rate, congestion control
// from the client's feedback, and the one fan-out of a changed bitrate to the
// encoders of the client streams.
// Threads: retarget runs on the main thread, onClientFeedback on the video
// transport's thread; the targets are read by any thread (the capture threads
// put them into "stream_config").
class BitrateController {
public:
    BitrateController(Held<CaptureOrchestrator>& orchestrator, const StreamController& streams);

    // The targets the host starts with; the encoders are given them when they are created.
    void setTargets(std::uint32_t targetBitrateKbps, std::uint32_t targetFps);
    // The window's bitrates and frame rate, kept in the settings (the caller saves) and
    // retargeted; a value outside the settings file's range is refused with a warning, as the
    // file's loader refuses it: false then, and nothing changes.
    bool applySettings(Settings& settings, std::uint32_t targetBitrateKbps, std::uint32_t maxBitrateKbps,
                       std::uint32_t targetFps);
    // New targets: the encoders take them, and the client streams go back to the target at once.
    void retarget(std::uint32_t targetBitrateKbps, std::uint32_t maxBitrateKbps, std::uint32_t targetFps);
    // A client's report: congestion lowers the client streams' bitrate, good reports raise it.
    void onClientFeedback(const ClientFeedback& feedback);

    std::uint32_t targetBitrateKbps() const { return targetKbps.load(); }
    std::uint32_t targetFps() const { return fps.load(); }
    // What congestion control set, or the target before the first feedback.
    std::uint32_t currentBitrateKbps() const;
    int lastRttMs() const { return rttMs.load(); }  // -1 before the first feedback

private:
    // Runs under congestion control's lock.
    void applyToClientStreams(CaptureOrchestrator* capture, const CongestionControl::Change& change);

    Held<CaptureOrchestrator>& orchestrator;
    const StreamController& streams;
    CongestionControl congestion;
    std::atomic<std::uint32_t> targetKbps{0};
    std::atomic<std::uint32_t> fps{0};
    std::atomic<int> rttMs{-1};
};

}  // namespace quillane::host
