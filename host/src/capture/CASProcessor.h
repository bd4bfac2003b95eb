#pragma once

#include "capture/CaptureDevice.h"

#include <atomic>
#include <cstdint>
#include <memory>

namespace quillane::host {

// Contrast-adaptive sharpening of captured frames (a pixel shader on Windows, the
// CPU implementation of CasCpu on Linux). The orchestrator sets `enabled` and
// `sharpness` from the settings at any time; each frame reads them once.
// createCASProcessor makes this platform's (capture/linux/CpuCASProcessor.cpp,
// capture/windows/D3D11CASProcessor.h).
class CASProcessor {
public:
    virtual ~CASProcessor() = default;

    virtual bool initialize(EncoderDevice device) = 0;

    // Sharpens source's width x height into the top-left of target, which may be
    // larger (the rest of it is not written). False without touching anything
    // unless initialised and enabled and all arguments are present.
    virtual bool apply(CaptureContext context, EncoderInput source, FrameBuffer* target, std::uint32_t width,
                       std::uint32_t height) = 0;

    bool isInitialized() const { return initialized; }

    std::atomic<bool> enabled{false};
    std::atomic<float> sharpness{0.7f};  // 0.0 ... 1.0, clamped by the caller

protected:
    bool initialized = false;
};

std::unique_ptr<CASProcessor> createCASProcessor();

}  // namespace quillane::host
