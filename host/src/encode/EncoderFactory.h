#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "encode/EncoderBase.h"

namespace quillane::host {

// What the factory asks of the platform. Each platform supplies its own set;
// tests supply fakes.
struct EncoderProbes {
    // PCI vendor id of the graphics adapter behind the device; nullopt when it
    // cannot be read (or the platform has no hardware encoders).
    std::function<std::optional<std::uint32_t>(EncoderDevice)> adapterVendorId;
    // Whether a vendor runtime library ("nvEncodeAPI64.dll", "amfrt64.dll") loads.
    std::function<bool(const char* library)> runtimeLoadable;
    // Whether Media Foundation lists a hardware H.264 encoder for NV12 input.
    std::function<bool()> quickSyncAvailable;
    // A new, uninitialised encoder of that kind, or null when this build has none.
    std::function<std::unique_ptr<EncoderBase>(EncoderType)> makeEncoder;
    // createBestEncoder falls back to the software encoder when no hardware one works.
    bool softwareFallback = false;
};

// The probes of the platform this program was built for.
EncoderProbes platformEncoderProbes();

// Finds which hardware encoder the adapter offers and creates encoders.
class EncoderFactory {
public:
    EncoderFactory() = delete;

    // The hardware encoders the device's adapter offers (at most one: its vendor's).
    static std::vector<EncoderType> getAvailableEncoders(EncoderDevice device);
    static std::vector<EncoderType> getAvailableEncoders(EncoderDevice device, const EncoderProbes& probes);

    // An initialised encoder of that kind, or null.
    static std::unique_ptr<EncoderBase> createEncoder(EncoderType type, EncoderDevice device,
                                                      const EncoderConfig& config);
    static std::unique_ptr<EncoderBase> createEncoder(EncoderType type, EncoderDevice device,
                                                      const EncoderConfig& config, const EncoderProbes& probes);

    // The preferred available hardware encoder (NVENC, AMF, QuickSync), else the
    // software encoder where the platform has one, else null.
    static std::unique_ptr<EncoderBase> createBestEncoder(EncoderDevice device, const EncoderConfig& config);
    static std::unique_ptr<EncoderBase> createBestEncoder(EncoderDevice device, const EncoderConfig& config,
                                                          const EncoderProbes& probes);
};

}  // namespace quillane::host
