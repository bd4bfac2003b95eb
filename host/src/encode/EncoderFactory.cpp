#include "encode/EncoderFactory.h"

#include <algorithm>

#include <spdlog/spdlog.h>

#include "common/LineSource.h"

namespace quillane::host {
namespace {

constexpr std::uint32_t kVendorNvidia = 0x10DE;
constexpr std::uint32_t kVendorAmd = 0x1002;
constexpr std::uint32_t kVendorIntel = 0x8086;

bool loadable(const EncoderProbes& probes, const char* library) {
    return probes.runtimeLoadable && probes.runtimeLoadable(library);
}

}  // namespace

std::vector<EncoderType> EncoderFactory::getAvailableEncoders(EncoderDevice device) {
    return getAvailableEncoders(device, platformEncoderProbes());
}

std::vector<EncoderType> EncoderFactory::getAvailableEncoders(EncoderDevice device, const EncoderProbes& probes) {
    std::vector<EncoderType> available;
    const std::optional<std::uint32_t> vendor =
        probes.adapterVendorId ? probes.adapterVendorId(device) : std::nullopt;
    if (vendor == kVendorNvidia) {
        if (loadable(probes, "nvEncodeAPI64.dll")) {
            available.push_back(EncoderType::NVENC);
            if (std::size_t held = 0; StreamLineScope::allow(held)) {
                SPDLOG_INFO("NVENC encoder available{}", heldNote(held));
            }
        }
    } else if (vendor == kVendorAmd) {
        if (loadable(probes, "amfrt64.dll")) {
            available.push_back(EncoderType::AMF);
            if (std::size_t held = 0; StreamLineScope::allow(held)) {
                SPDLOG_INFO("AMF encoder available{}", heldNote(held));
            }
        }
    } else if (vendor == kVendorIntel) {
        if (probes.quickSyncAvailable && probes.quickSyncAvailable()) {
            available.push_back(EncoderType::QuickSync);
            if (std::size_t held = 0; StreamLineScope::allow(held)) {
                SPDLOG_INFO("QuickSync encoder available{}", heldNote(held));
            }
        }
    }
    // Asked again for every encoder a stream's start or its window's size change creates.
    if (std::size_t held = 0; available.empty() && StreamLineScope::allow(held)) {
        SPDLOG_WARN("No hardware encoders available{}", heldNote(held));
    }
    return available;
}

std::unique_ptr<EncoderBase> EncoderFactory::createEncoder(EncoderType type, EncoderDevice device,
                                                           const EncoderConfig& config) {
    return createEncoder(type, device, config, platformEncoderProbes());
}

std::unique_ptr<EncoderBase> EncoderFactory::createEncoder(EncoderType type, EncoderDevice device,
                                                           const EncoderConfig& config, const EncoderProbes& probes) {
    const char* name = encoderTypeName(type);
    std::unique_ptr<EncoderBase> encoder;
    try {
        if (probes.makeEncoder) {
            encoder = probes.makeEncoder(type);
        }
        if (!encoder) {
            SPDLOG_ERROR("Encoder type {} not available", name);
            return nullptr;
        }
        if (!encoder->initialize(device, config)) {
            SPDLOG_ERROR("Failed to initialize {} encoder", name);
            return nullptr;
        }
    } catch (const std::exception& e) {
        SPDLOG_ERROR("Failed to create {} encoder: {}", name, e.what());
        return nullptr;
    }
    if (std::size_t held = 0; StreamLineScope::allow(held)) SPDLOG_INFO("Created {} encoder{}", name, heldNote(held));
    return encoder;
}

std::unique_ptr<EncoderBase> EncoderFactory::createBestEncoder(EncoderDevice device, const EncoderConfig& config) {
    return createBestEncoder(device, config, platformEncoderProbes());
}

std::unique_ptr<EncoderBase> EncoderFactory::createBestEncoder(EncoderDevice device, const EncoderConfig& config,
                                                               const EncoderProbes& probes) {
    const std::vector<EncoderType> available = getAvailableEncoders(device, probes);
    for (EncoderType type : {EncoderType::NVENC, EncoderType::AMF, EncoderType::QuickSync}) {
        if (std::find(available.begin(), available.end(), type) == available.end()) {
            continue;
        }
        std::unique_ptr<EncoderBase> encoder = createEncoder(type, device, config, probes);
        if (encoder && encoder->isInitialized()) {
            return encoder;
        }
    }
    if (!probes.softwareFallback) {
        SPDLOG_ERROR("Failed to create any hardware encoder");
        return nullptr;
    }
    if (std::size_t held = 0; StreamLineScope::allow(held)) {
        SPDLOG_INFO("No hardware encoder could be created, using the software encoder{}", heldNote(held));
    }
    return createEncoder(EncoderType::Software, device, config, probes);
}

}  // namespace quillane::host
