#include "encode/EncoderFactory.h"
#include "encode/linux/SoftwareEncoder.h"

namespace quillane::host {

// No hardware encoder is offered here yet: every stream gets the software encoder.
EncoderProbes platformEncoderProbes() {
    EncoderProbes probes;
    probes.makeEncoder = [](EncoderType type) -> std::unique_ptr<EncoderBase> {
        if (type == EncoderType::Software) {
            return std::make_unique<SoftwareEncoder>();
        }
        return nullptr;
    };
    probes.softwareFallback = true;
    return probes;
}

}  // namespace quillane::host
