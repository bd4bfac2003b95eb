#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "capture/WindowInfo.h"

namespace quillane::host {

// Hooks through which the signalling server reaches its owner. An empty
// function counts as not installed.
using WindowListCallback = std::function<std::vector<protocol::WindowInfo>()>;
using StreamRequestCallback = std::function<bool(std::uint32_t windowId, std::uint8_t streamId)>;
using StreamStopCallback = std::function<void(std::uint8_t streamId)>;
using ClientConnectedCallback = std::function<void(const std::string& clientAddress)>;
using WindowResizeCallback = std::function<bool(std::uint32_t windowId, std::uint32_t width, std::uint32_t height)>;
// Shared with the TCP video server.
using KeyframeRequestCallback = std::function<void(std::uint8_t streamId)>;
// True while a stream with this id runs (started on any path); the server
// never hands such an id to a new stream.
using StreamIdInUseCallback = std::function<bool(std::uint8_t streamId)>;

// The owner's set of hooks, for the signalling server and the handler inside
// it. Copies share one set, so the server's owner sets what its handler calls.
// Threads: any thread may set a hook while others read them; a reader gets a
// copy, called outside the lock.
class SignalingCallbacks {
public:
    void setWindowListCallback(WindowListCallback callback);
    void setStreamRequestCallback(StreamRequestCallback callback) { store(&Hooks::streamRequest, std::move(callback)); }
    void setStreamStopCallback(StreamStopCallback callback) { store(&Hooks::streamStop, std::move(callback)); }
    void setClientConnectedCallback(ClientConnectedCallback callback) {
        store(&Hooks::clientConnected, std::move(callback));
    }
    void setWindowResizeCallback(WindowResizeCallback callback) { store(&Hooks::windowResize, std::move(callback)); }
    void setKeyframeRequestCallback(KeyframeRequestCallback callback) {
        store(&Hooks::keyframeRequest, std::move(callback));
    }
    void setStreamIdInUseCallback(StreamIdInUseCallback callback) { store(&Hooks::streamIdInUse, std::move(callback)); }

protected:
    WindowListCallback windowListCallback() const { return load(&Hooks::windowList); }
    StreamRequestCallback streamRequestCallback() const { return load(&Hooks::streamRequest); }
    StreamStopCallback streamStopCallback() const { return load(&Hooks::streamStop); }
    ClientConnectedCallback clientConnectedCallback() const { return load(&Hooks::clientConnected); }
    WindowResizeCallback windowResizeCallback() const { return load(&Hooks::windowResize); }
    KeyframeRequestCallback keyframeRequestCallback() const { return load(&Hooks::keyframeRequest); }
    StreamIdInUseCallback streamIdInUseCallback() const { return load(&Hooks::streamIdInUse); }
    // Counts the changes of the window list hook: a list an earlier one gave is stale.
    std::uint64_t windowListGeneration() const;

private:
    struct Hooks {
        mutable std::mutex mutex;
        WindowListCallback windowList;
        StreamRequestCallback streamRequest;
        StreamStopCallback streamStop;
        ClientConnectedCallback clientConnected;
        WindowResizeCallback windowResize;
        KeyframeRequestCallback keyframeRequest;
        StreamIdInUseCallback streamIdInUse;
        std::uint64_t windowListGeneration = 0;
    };

    template <typename Callback>
    void store(Callback Hooks::*slot, Callback callback) {
        std::lock_guard lock(hooks->mutex);
        (*hooks).*slot = std::move(callback);
    }

    template <typename Callback>
    Callback load(Callback Hooks::*slot) const {
        std::lock_guard lock(hooks->mutex);
        return (*hooks).*slot;
    }

    std::shared_ptr<Hooks> hooks = std::make_shared<Hooks>();
};

}  // namespace quillane::host
