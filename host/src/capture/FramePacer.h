#pragma once

#include "encode/EncoderBase.h"

#include <atomic>
#include <cstdint>
#include <memory>

namespace quillane::host {

// Reads the refresh rate of the first display output, for the log, and holds the
// VSync setting. Nothing waits on it: frames are encoded as they arrive.
// createFramePacer makes this platform's (capture/linux/XRandrFramePacer.h,
// capture/windows/DxgiFramePacer.h).
class FramePacer {
public:
    virtual ~FramePacer() = default;

    // True when the first output was found (its rate is then known or 60.0).
    virtual bool initialize(EncoderDevice device) = 0;

    float getRefreshRate() const { return refreshRate; }
    bool isVSyncAvailable() const { return vsyncAvailable; }

    std::atomic<bool> vsyncEnabled{true};  // set from the settings, read by nothing

protected:
    bool vsyncAvailable = false;
    float refreshRate = 60.0f;
    std::int64_t lastFrameTime = 0;
};

std::unique_ptr<FramePacer> createFramePacer();

}  // namespace quillane::host
