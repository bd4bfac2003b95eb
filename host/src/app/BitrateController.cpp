#include "app/BitrateController.h"

#include <spdlog/spdlog.h>

#include <chrono>

#include "app/Settings.h"
#include "app/StreamController.h"
#include "capture/CaptureOrchestrator.h"
#include "network/TransportTypes.h"

namespace quillane::host {
namespace {

std::int64_t steadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

BitrateController::BitrateController(Held<CaptureOrchestrator>& orchestrator, const StreamController& streams)
    : orchestrator(orchestrator), streams(streams) {}

void BitrateController::setTargets(std::uint32_t targetBitrateKbps, std::uint32_t targetFps) {
    targetKbps = targetBitrateKbps;
    fps = targetFps;
}

bool BitrateController::applySettings(Settings& settings, std::uint32_t targetBitrate, std::uint32_t maxBitrate,
                                      std::uint32_t fps) {
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
    retarget(targetBitrate, maxBitrate, fps);
    return true;
}

void BitrateController::retarget(std::uint32_t targetBitrateKbps, std::uint32_t maxBitrateKbps,
                                 std::uint32_t targetFps) {
    setTargets(targetBitrateKbps, targetFps);
    auto capture = orchestrator.get();
    if (capture) {
        capture->setBitrate(targetBitrateKbps, maxBitrateKbps);
        capture->setFrameRate(targetFps);
    }
    congestion.reset(targetBitrateKbps, maxBitrateKbps,
                     [&](const CongestionControl::Change& change) { applyToClientStreams(capture.get(), change); });
}

void BitrateController::onClientFeedback(const ClientFeedback& feedback) {
    rttMs = feedback.rttMs;
    auto capture = orchestrator.get();
    congestion.onFeedback(
        feedback.decodeTimeMs, feedback.rttMs, targetKbps.load(), steadyNowNs(),
        [&](const CongestionControl::Change& change) {
            if (change.congested) {
                SPDLOG_WARN("Network congestion (RTT={}ms, decode={}ms), reducing bitrate {} -> {} kbps",
                            feedback.rttMs, feedback.decodeTimeMs, change.previousKbps, change.bitrateKbps);
            }
            applyToClientStreams(capture.get(), change);
        });
}

std::uint32_t BitrateController::currentBitrateKbps() const {
    const std::uint32_t controlled = congestion.currentKbps();
    return controlled != 0 ? controlled : targetKbps.load();
}

void BitrateController::applyToClientStreams(CaptureOrchestrator* capture, const CongestionControl::Change& change) {
    if (!capture) return;
    streams.forEachClientStream([&](std::uint8_t streamId, std::uint32_t) {
        capture->setStreamBitrate(streamId, change.bitrateKbps, change.maxBitrateKbps);
    });
}

}  // namespace quillane::host
