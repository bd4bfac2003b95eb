#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>

#include "encode/EncoderBase.h"
#include "encode/ParameterSetCache.h"
#include "encode/VideoLimits.h"

namespace quillane::host {


// True when the pair can be handed to an encoder: both non-zero and each fits
// 32 bits once multiplied by 1000.
bool bitratesValid(std::uint32_t bitrateKbps, std::uint32_t maxBitrateKbps);

// Checks what every encoder relies on (frame rate at least 1, even non-zero size,
// usable bitrates); logs "{name} encoder: invalid config: {why}" and returns false otherwise.
bool validateEncoderConfig(const char* encoderName, const EncoderConfig& config);

// kbit/s as bit/s, computed in 64 bits and held at the 32-bit maximum.
std::uint32_t bitsPerSecond(std::uint32_t kbps);

// One frame at the peak rate, in the unit the caller multiplies by (1 for kbit,
// 1000 for bit); never 0.
std::uint32_t oneFrameAtPeak(std::uint32_t maxBitrateKbps, std::uint32_t fps, std::uint32_t unit);

// A bitrate change asked for from any thread, picked up by the encoding thread.
// The newest request wins.
class PendingBitrate {
public:
    struct Rates {
        std::uint32_t bitrateKbps;
        std::uint32_t maxBitrateKbps;
    };

    void request(std::uint32_t bitrateKbps, std::uint32_t maxBitrateKbps) {
        value.store((std::uint64_t{bitrateKbps} << 32) | maxBitrateKbps, std::memory_order_release);
    }
    std::optional<Rates> take() {
        const std::uint64_t v = value.exchange(0, std::memory_order_acq_rel);
        if (v == 0) {
            return std::nullopt;
        }
        return Rates{static_cast<std::uint32_t>(v >> 32), static_cast<std::uint32_t>(v)};
    }

private:
    std::atomic<std::uint64_t> value{0};  // bitrate << 32 | peak; 0 = nothing pending (0 is never valid)
};

// The counters behind EncoderBase::getStats.
class EncoderStatsRecorder {
public:
    void addFrame(std::uint64_t bytes) {
        std::lock_guard lock(mutex);
        ++stats.framesEncoded;
        stats.bytesEncoded += bytes;
    }
    void addFrameSubmitted() {
        std::lock_guard lock(mutex);
        ++stats.framesEncoded;
    }
    void addBytes(std::uint64_t bytes) {
        std::lock_guard lock(mutex);
        stats.bytesEncoded += bytes;
    }
    void addEncodeTime(std::chrono::steady_clock::time_point start) {
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        std::lock_guard lock(mutex);
        stats.avgEncodeTimeMs = 0.05 * ms + 0.95 * stats.avgEncodeTimeMs;
    }
    EncoderStats get() const {
        std::lock_guard lock(mutex);
        return stats;
    }

private:
    mutable std::mutex mutex;
    EncoderStats stats;
};

// The steady clock in whole microseconds, the time stamp of delivered frames.
std::int64_t steadyMicros();

// The state and the operations that every encoder shares: the flags other threads
// set, the config, the callback, the statistics and the parameter sets. Subclasses
// open and drive the actual encoder and apply the pending requests in encodeFrame.
class CommonEncoder : public EncoderBase {
public:
    void requestKeyframe() override { forceKeyframe = true; }
    void setBitrate(std::uint32_t bitrateKbps, std::uint32_t maxBitrateKbps) override;
    void setOutputCallback(EncoderOutputCallback callback) override { outputCallback = std::move(callback); }
    EncoderStats getStats() const override { return stats.get(); }
    bool isInitialized() const override { return initialized; }
    bool reconfigure(const EncoderConfig& config) override;
    ParameterSets getParameterSets() const override { return parameterSets.get(); }

protected:
    // The checks every initialize starts with: already open, it warns "{name} encoder
    // already initialized" and gives true; without a device (where one is needed) or
    // with an unusable config, it logs and gives false; nullopt means go ahead.
    std::optional<bool> refuseInitialize(const char* name, bool hasDevice, const EncoderConfig& config) const;

    // Takes a pending keyframe request; give it back with restoreKeyframeRequest
    // when the frame it was taken for could not be encoded.
    bool takeKeyframeRequest() { return forceKeyframe.exchange(false); }
    void restoreKeyframeRequest() { forceKeyframe = true; }

    // For encoders that follow a size change themselves. Same size: the new
    // bitrates, from the next frame on. Another size: logs "{name} resolution change
    // requires reinit: ..." and opens the encoder afresh on `device` (which the
    // caller keeps alive) with the new config.
    bool reconfigureOrReopen(const char* name, EncoderDevice device, const EncoderConfig& config);

    EncoderConfig encoderConfig;
    std::atomic<bool> initialized{false};
    PendingBitrate pendingBitrate;
    EncoderOutputCallback outputCallback;
    EncoderStatsRecorder stats;
    ParameterSetCache parameterSets;

private:
    std::atomic<bool> forceKeyframe{false};
};

}  // namespace quillane::host
