#include "app/CongestionControl.h"

namespace quillane::host {

std::uint32_t CongestionControl::maxFor(std::uint32_t kbps) {
    return static_cast<std::uint32_t>(static_cast<float>(kbps) * 1.5f);
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
        next = static_cast<std::uint32_t>(static_cast<float>(current) * 0.8f);
        if (next < kMinBitrateKbps) next = kMinBitrateKbps;
    } else if (rttMs < 20 && decodeTimeMs < 15) {
        if (current >= targetKbps) return std::nullopt;
        const auto raised = static_cast<std::uint32_t>(static_cast<float>(current) * 1.1f);
        next = raised < targetKbps ? raised : targetKbps;
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
