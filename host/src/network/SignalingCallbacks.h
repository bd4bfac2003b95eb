#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
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
// True while a stream with this id runs (started on any path).
using StreamIdInUseCallback = std::function<bool(std::uint8_t streamId)>;
// The owner's one allocator of stream ids, shared with the host window: reserves an id that
// neither runs nor is being started, none when all are taken. The stream-request callback
// takes the reservation over (the id runs, or is free again when the start fails); a start
// refused before that call gives it back through the release hook.
using StreamIdReserveCallback = std::function<std::optional<std::uint8_t>()>;
using StreamIdReleaseCallback = std::function<void(std::uint8_t streamId)>;

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
    void setStreamIdReserveCallback(StreamIdReserveCallback callback) {
        store(&Hooks::streamIdReserve, std::move(callback));
    }
    void setStreamIdReleaseCallback(StreamIdReleaseCallback callback) {
        store(&Hooks::streamIdRelease, std::move(callback));
    }

protected:
    WindowListCallback windowListCallback() const { return load(&Hooks::windowList); }
    StreamRequestCallback streamRequestCallback() const { return load(&Hooks::streamRequest); }
    StreamStopCallback streamStopCallback() const { return load(&Hooks::streamStop); }
    ClientConnectedCallback clientConnectedCallback() const { return load(&Hooks::clientConnected); }
    WindowResizeCallback windowResizeCallback() const { return load(&Hooks::windowResize); }
    KeyframeRequestCallback keyframeRequestCallback() const { return load(&Hooks::keyframeRequest); }
    StreamIdInUseCallback streamIdInUseCallback() const { return load(&Hooks::streamIdInUse); }
    StreamIdReserveCallback streamIdReserveCallback() const { return load(&Hooks::streamIdReserve); }
    StreamIdReleaseCallback streamIdReleaseCallback() const { return load(&Hooks::streamIdRelease); }
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
        StreamIdReserveCallback streamIdReserve;
        StreamIdReleaseCallback streamIdRelease;
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
