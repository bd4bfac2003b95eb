#include "encode/EncoderSupport.h"

#include <spdlog/spdlog.h>

namespace quillane::host {

bool bitratesValid(std::uint32_t bitrateKbps, std::uint32_t maxBitrateKbps) {
    return bitrateKbps >= 1 && maxBitrateKbps >= 1 && bitrateKbps <= kMaxBitrateKbps &&
           maxBitrateKbps <= kMaxBitrateKbps;
}

bool validateEncoderConfig(const char* encoderName, const EncoderConfig& config) {
    const char* why = nullptr;
    if (config.fps < 1) {
        why = "frame rate must be at least 1";
    } else if (config.width == 0 || config.height == 0 || config.width % 2 != 0 || config.height % 2 != 0) {
        why = "width and height must be even and non-zero";
    } else if (!bitratesValid(config.bitrateKbps, config.maxBitrateKbps)) {
        why = "bitrates must be between 1 and 4294967 kbps";
    }
    if (why == nullptr) {
        return true;
    }
    SPDLOG_ERROR("{} encoder: invalid config: {} ({}x{}, {} fps, {} / {} kbps)", encoderName, why, config.width,
                  config.height, config.fps, config.bitrateKbps, config.maxBitrateKbps);
    return false;
}

std::uint32_t bitsPerSecond(std::uint32_t kbps) {
    const std::uint64_t bits = std::uint64_t{kbps} * 1000;
    return bits > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(bits);
}

std::uint32_t oneFrameAtPeak(std::uint32_t maxBitrateKbps, std::uint32_t fps, std::uint32_t unit) {
    const std::uint64_t size = std::uint64_t{maxBitrateKbps} * unit / (fps == 0 ? 1 : fps);
    return size == 0 ? 1 : static_cast<std::uint32_t>(size > 0xFFFFFFFFu ? 0xFFFFFFFFu : size);
}

std::int64_t steadyMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void CommonEncoder::setBitrate(std::uint32_t bitrateKbps, std::uint32_t maxBitrateKbps) {
    if (!initialized) {
        return;
    }
    if (!bitratesValid(bitrateKbps, maxBitrateKbps)) {
        SPDLOG_WARN("Ignoring bitrate {} / {} kbps: out of range", bitrateKbps, maxBitrateKbps);
        return;
    }
    pendingBitrate.request(bitrateKbps, maxBitrateKbps);
}

bool CommonEncoder::reconfigure(const EncoderConfig& config) {
    if (!initialized) {
        return false;
    }
    if (config.width != encoderConfig.width || config.height != encoderConfig.height) {
        SPDLOG_WARN("Resolution change requires re-initialization");
        return false;
    }
    setBitrate(config.bitrateKbps, config.maxBitrateKbps);
    return true;
}

}  // namespace quillane::host

namespace quillane::host {

std::optional<bool> CommonEncoder::refuseInitialize(const char* name, bool hasDevice,
                                                   const EncoderConfig& config) const {
    if (initialized) {
        SPDLOG_WARN("{} encoder already initialized", name);
        return true;
    }
    if (!hasDevice) {
        SPDLOG_ERROR("{} encoder: no device", name);
        return false;
    }
    if (!validateEncoderConfig(name, config)) {
        return false;
    }
    return std::nullopt;
}

bool CommonEncoder::reconfigureOrReopen(const char* name, EncoderDevice device, const EncoderConfig& config) {
    if (config.width == encoderConfig.width && config.height == encoderConfig.height) {
        setBitrate(config.bitrateKbps, config.maxBitrateKbps);
        return true;
    }
    SPDLOG_INFO("{} resolution change requires reinit: {}x{} -> {}x{}", name, encoderConfig.width, encoderConfig.height,
                 config.width, config.height);
    shutdown();
    return initialize(device, config);
}

}  // namespace quillane::host
