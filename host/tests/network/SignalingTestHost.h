#pragma once

#include <atomic>
#include <bitset>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "common/StreamIdAllocator.h"
#include "network/SignalingServer.h"

namespace quillane::host::test {

// The owner's side of the signalling callbacks, recording every call; running
// streams are kept, and the stream ids come from an allocator as the host's do.
class FakeSignalingHost {
public:
    struct StartCall {
        std::uint32_t windowId;
        std::uint8_t streamId;
    };
    struct ResizeCall {
        std::uint32_t windowId;
        std::uint32_t width;
        std::uint32_t height;
    };

    // Into a SignalingServer or a SignalingMessageHandler.
    template <typename Target>
    void install(Target& server) {
        server.setWindowListCallback([this] {
            std::lock_guard lock(mutex);
            ++windowListCalls;
            return windows;
        });
        server.setStreamRequestCallback([this](std::uint32_t windowId, std::uint8_t streamId) {
            std::lock_guard lock(mutex);
            starts.push_back({windowId, streamId});
            running.set(streamId, startSucceeds);
            if (!startSucceeds) ids.release(streamId);
            return startSucceeds.load();
        });
        server.setStreamStopCallback([this](std::uint8_t streamId) {
            std::lock_guard lock(mutex);
            stops.push_back(streamId);
            endLocked(streamId);
        });
        server.setClientConnectedCallback([this](const std::string& address) {
            std::lock_guard lock(mutex);
            connected.push_back(address);
        });
        server.setWindowResizeCallback([this](std::uint32_t windowId, std::uint32_t width, std::uint32_t height) {
            std::lock_guard lock(mutex);
            resizes.push_back({windowId, width, height});
            return resizeSucceeds.load();
        });
        server.setKeyframeRequestCallback([this](std::uint8_t streamId) {
            std::lock_guard lock(mutex);
            keyframes.push_back(streamId);
        });
        server.setStreamIdInUseCallback([this](std::uint8_t streamId) {
            std::lock_guard lock(mutex);
            return running.test(streamId);
        });
        server.setStreamIdReserveCallback([this] {
            std::lock_guard lock(mutex);
            return ids.reserve();
        });
        server.setStreamIdReleaseCallback([this](std::uint8_t streamId) {
            std::lock_guard lock(mutex);
            if (!running.test(streamId)) ids.release(streamId);
        });
    }

    // The stream ended by itself (its window closed): its id is free again.
    void endStream(std::uint8_t streamId) {
        std::lock_guard lock(mutex);
        endLocked(streamId);
    }

    static protocol::WindowInfo window(std::uint32_t id, std::string title) {
        protocol::WindowInfo info;
        info.id = id;
        info.title = std::move(title);
        info.processName = "app";
        info.className = "AppWindow";
        info.x = 10;
        info.y = 20;
        info.width = 640;
        info.height = 480;
        info.isVisible = true;
        return info;
    }

    mutable std::mutex mutex;
    std::vector<protocol::WindowInfo> windows;
    std::atomic<bool> startSucceeds{true};
    std::atomic<bool> resizeSucceeds{true};
    std::bitset<256> running;
    StreamIdAllocator ids;
    int windowListCalls = 0;
    std::vector<StartCall> starts;
    std::vector<std::uint8_t> stops;
    std::vector<std::string> connected;
    std::vector<ResizeCall> resizes;
    std::vector<std::uint8_t> keyframes;

private:
    void endLocked(std::uint8_t streamId) {
        if (running.test(streamId)) ids.release(streamId);
        running.reset(streamId);
    }
};

// Limits small enough for tests to reach quickly.
inline SignalingServerOptions testOptions() {
    SignalingServerOptions options;
    options.limits.handshakeTimeout = std::chrono::milliseconds(1000);
    options.limits.windowListCacheAge = std::chrono::milliseconds(200);
    return options;
}

}  // namespace quillane::host::test
