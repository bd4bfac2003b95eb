#include "app/CongestionControl.h"

#include <algorithm>

#include "encode/VideoLimits.h"

namespace quillane::host {

namespace {

// kbps * factor, cut to a whole number within what encoders accept.
std::uint32_t scaled(std::uint32_t kbps, double factor) {
    return static_cast<std::uint32_t>(std::min(static_cast<double>(kbps) * factor, double{kMaxBitrateKbps}));
}

}  // namespace

std::uint32_t CongestionControl::maxFor(std::uint32_t kbps) {
    return scaled(kbps, 1.5);
}

std::optional<CongestionControl::Change> CongestionControl::onFeedback(
    std::uint16_t decodeTimeMs, std::uint16_t rttMs, std::uint32_t targetKbps, std::int64_t nowNs,
    const ApplyFn& apply) {
    std::lock_guard lock(mutex);
    if (currentBitrateKbps == 0) {
        currentBitrateKbps = targetKbps;
        lastBitrateChange = nowNs;
    }
    if (nowNs - lastBitrateChange < kMinIntervalNs) return std::nullopt;

    const std::uint32_t current = currentBitrateKbps;
    std::uint32_t next = current;
    bool congested = false;
    if (decodeTimeMs > 30 || rttMs > 50) {
        congested = true;
        // Down to the floor, or the target when that is lower; a reducing step never raises.
        const std::uint32_t floor = std::min(kMinBitrateKbps, targetKbps);
        next = std::min(current, std::max(scaled(current, 0.8), floor));
    } else if (rttMs < 20 && decodeTimeMs < 15) {
        if (current >= targetKbps) return std::nullopt;
        next = std::min(scaled(current, 1.1), targetKbps);
    }
    if (next == current) return std::nullopt;

    Change change{current, next, maxFor(next), congested};
    if (apply) apply(change);
    currentBitrateKbps = next;
    lastBitrateChange = nowNs;
    return change;
}

void CongestionControl::reset(std::uint32_t targetKbps, std::uint32_t maxKbps, const ApplyFn& apply) {
    std::lock_guard lock(mutex);
    Change change{currentBitrateKbps, targetKbps, maxKbps, false};
    currentBitrateKbps = targetKbps;
    if (apply) apply(change);
}

std::uint32_t CongestionControl::currentKbps() const {
    std::lock_guard lock(mutex);
    return currentBitrateKbps;
}

}  // namespace quillane::host
