#pragma once

// Window captures that deliver no frame and encoders that are never fed, for
// tests of what surrounds a stream (signalling, the stream cap, clean-up,
// input, the priority boost) on a desktop without window capture (Wine).

#include "capture/CaptureServices.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace quillane::host::test {

// How many captures run now, in all and of each window; shared by the captures
// a set of services makes.
struct IdleCaptureCount {
    std::atomic<int> running{0};

    int runningOf(std::uint32_t windowId) const {
        std::lock_guard lock(mutex);
        const auto it = perWindow.find(windowId);
        return it == perWindow.end() ? 0 : it->second;
    }
    void count(std::uint32_t windowId, int change) {
        running += change;
        std::lock_guard lock(mutex);
        perWindow[windowId] += change;
    }

private:
    mutable std::mutex mutex;
    std::map<std::uint32_t, int> perWindow;
};

class IdleCapture final : public CaptureSource {
public:
    explicit IdleCapture(std::shared_ptr<IdleCaptureCount> count) : count(std::move(count)) {}
    ~IdleCapture() override { stopCapture(); }
    bool initialize(std::uint32_t windowId, EncoderDevice) override {
        window = windowId;
        return true;
    }
    void getSize(std::uint32_t& width, std::uint32_t& height) const override {
        width = 640;
        height = 480;
    }
    bool startCapture(CaptureFrameCallback) override {
        if (!capturing.exchange(true)) count->count(window, 1);
        return true;
    }
    void stopCapture() override {
        if (capturing.exchange(false)) count->count(window, -1);
    }
    bool isCapturing() const override { return capturing; }
    void repeatLastFrame() override {}

private:
    std::shared_ptr<IdleCaptureCount> count;
    std::uint32_t window = 0;
    std::atomic<bool> capturing{false};
};

class IdleEncoder final : public EncoderBase {
public:
    const char* getName() const override { return "Idle"; }
    bool initialize(EncoderDevice, const EncoderConfig&) override { return true; }
    void shutdown() override {}
    bool encodeFrame(EncoderInput) override { return false; }
    void requestKeyframe() override {}
    void setBitrate(std::uint32_t, std::uint32_t) override {}
    void setOutputCallback(EncoderOutputCallback) override {}
    EncoderStats getStats() const override { return {}; }
    bool isInitialized() const override { return true; }
    bool reconfigure(const EncoderConfig&) override { return true; }
    ParameterSets getParameterSets() const override { return {}; }
};

// The platform's window list and checks with idle captures and encoders.
inline CaptureServices idleCaptureServices(std::shared_ptr<IdleCaptureCount> count) {
    CaptureServices services = platformCaptureServices();
    services.createCapture = [count] { return std::make_unique<IdleCapture>(count); };
    services.getAvailableEncoders = [](EncoderDevice) { return std::vector<EncoderType>{}; };
    services.createBestEncoder = [](EncoderDevice, const EncoderConfig&) { return std::make_unique<IdleEncoder>(); };
    services.fallbackEncoderName = "Idle";
    return services;
}

// Only the given windows exist, each listed with its id and title.
inline CaptureServices idleCaptureServices(std::shared_ptr<IdleCaptureCount> count,
                                           std::vector<protocol::WindowInfo> windows) {
    CaptureServices services = idleCaptureServices(std::move(count));
    services.windowExists = [windows](std::uint32_t id) {
        for (const auto& w : windows)
            if (w.id == id) return true;
        return false;
    };
    services.enumerateWindows = [windows] { return windows; };
    return services;
}

}  // namespace quillane::host::test
