#pragma once

#include "encode/EncoderBase.h"

#include <atomic>
#include <cstdint>
#include <memory>

namespace quillane::host {

// Reads the refresh rate of the first display output, for the log, and holds the
// VSync setting. Nothing waits on it: frames are encoded as they arrive.
class FramePacer {
public:
    FramePacer();
    ~FramePacer();
    FramePacer(const FramePacer&) = delete;
    FramePacer& operator=(const FramePacer&) = delete;

    // True when the first output was found (its rate is then known or 60.0).
    bool initialize(EncoderDevice device);

    float getRefreshRate() const { return refreshRate; }
    bool isVSyncAvailable() const { return vsyncAvailable; }

    std::atomic<bool> vsyncEnabled{true};  // set from the settings, read by nothing

private:
    struct Impl;  // the display output it holds
    std::unique_ptr<Impl> impl;
    bool vsyncAvailable = false;
    float refreshRate = 60.0f;
    std::int64_t lastFrameTime = 0;
};

}  // namespace quillane::host
