#pragma once

#include "capture/CASProcessor.h"

namespace quillane::host {

// Sharpens on the capture device's worker threads with CasCpu.
class CpuCASProcessor final : public CASProcessor {
public:
    bool initialize(EncoderDevice device) override;
    bool apply(CaptureContext context, EncoderInput source, FrameBuffer* target, std::uint32_t width,
               std::uint32_t height) override;
};

}  // namespace quillane::host
