#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace quillane::host {

// The streams that clients subscribed to, and which of them still owe the
// client a "stream_config". A stream started from the host window has no
// window entry; it enters the config map only after a resolution change and
// is then announced with window id 0.
// Threads: any thread (starts and stops, the capture threads' keyframes, the
// bitrate fan-out); one mutex guards both maps and is held while announcing.
class StreamTable {
public:
    // Called with the table locked; returns true when the configuration went out.
    using AnnounceFn = std::function<bool(std::uint8_t streamId, std::uint32_t windowId)>;

    // A client's stream: configuration due, window recorded (inserted or reset).
    void registerClientStream(std::uint8_t streamId, std::uint32_t windowId);
    // Erases both entries; nothing happens for an absent stream.
    void erase(std::uint8_t streamId);
    // After a resolution change: configuration due again (enters the stream if absent).
    void markConfigDue(std::uint8_t streamId);
    // On a keyframe: when the stream's configuration is due, calls announce and
    // marks it sent if announce succeeded. Returns true when it was sent.
    bool announceIfDue(std::uint8_t streamId, const AnnounceFn& announce);

    bool hasClientStream(std::uint8_t streamId) const;
    std::uint32_t windowOf(std::uint8_t streamId) const;  // 0 when absent
    std::vector<std::uint8_t> clientStreams() const;
    // Calls fn for every client stream with the table locked.
    void forEachClientStream(const std::function<void(std::uint8_t, std::uint32_t)>& fn) const;

private:
    mutable std::mutex streamsMutex;
    std::unordered_map<std::uint8_t, bool> streamConfigSent;
    std::unordered_map<std::uint8_t, std::uint32_t> streamWindows;
};

}  // namespace quillane::host
