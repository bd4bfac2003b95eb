#pragma once

#include "capture/CaptureDevice.h"

#include <atomic>
#include <cstdint>
#include <memory>

namespace quillane::host {

// Contrast-adaptive sharpening of captured frames (a pixel shader on Windows, the
// CPU implementation of CasCpu on Linux). The orchestrator sets `enabled` and
// `sharpness` from the settings at any time; each frame reads them once.
class CASProcessor {
public:
    CASProcessor();
    ~CASProcessor();
    CASProcessor(const CASProcessor&) = delete;
    CASProcessor& operator=(const CASProcessor&) = delete;

    bool initialize(EncoderDevice device);

    // Sharpens source's width x height into the top-left of target, which may be
    // larger (the rest of it is not written). False without touching anything
    // unless initialised and enabled and all arguments are present.
    bool apply(CaptureContext context, EncoderInput source, FrameBuffer* target, std::uint32_t width,
               std::uint32_t height);

    bool isInitialized() const { return initialized; }

    std::atomic<bool> enabled{false};
    std::atomic<float> sharpness{0.7f};  // 0.0 ... 1.0, clamped by the caller

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
    bool initialized = false;
};

}  // namespace quillane::host
