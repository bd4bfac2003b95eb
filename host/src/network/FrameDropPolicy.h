#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace quillane::host {

// What one connection's outgoing queue holds when a frame arrives.
struct QueueLoad {
    std::size_t frames = 0;  // queued or partly written
    std::size_t bytes = 0;
    // Last time bytes left the queue, or when the queue last went from empty to busy.
    std::chrono::steady_clock::time_point lastProgress{};
};

enum class FrameVerdict {
    Send,
    DropStalled,           // nothing was written for too long: skip everything, ask for a keyframe
    DropQueueFull,         // too many frames pending: skip delta frames
    DropOverLimit,         // hard cap on the queue, keyframes included
    DropAwaitingKeyframe,  // the stream lost a frame earlier: its deltas are useless until a keyframe
};

struct FrameDecision {
    FrameVerdict verdict = FrameVerdict::Send;
    bool requestKeyframe = false;
    std::chrono::milliseconds stalledFor{0};
};

// Decides per frame whether a video connection takes it. Once a stream loses a frame its later
// delta frames are dropped until its next keyframe, so the client never decodes from a missing
// reference. Not thread-safe: the owner calls it under the lock of the queue it describes.
class FrameDropPolicy {
public:
    static constexpr std::size_t kQueueFullFrames = 4;
    static constexpr std::chrono::milliseconds kStallTime{100};
    static constexpr std::size_t kMaxQueuedFrames = 16;
    static constexpr std::size_t kMaxQueuedBytes = 16 * 1024 * 1024;
    // A stream that still waits for its keyframe asks again no sooner than this.
    static constexpr std::chrono::milliseconds kKeyframeRequestInterval{500};

    // A new connection has seen no keyframe yet: each stream starts with one.
    FrameDropPolicy();

    FrameDecision decide(std::uint8_t streamId, bool isKeyframe, std::size_t size, const QueueLoad& load,
                         std::chrono::steady_clock::time_point now);

private:
    struct StreamState {
        bool awaitingKeyframe = true;
        bool keyframeRequested = false;
        bool stallRequested = false;  // asked once in the current stall already
        std::chrono::steady_clock::time_point lastRequest{};
    };

    bool mayRequest(const StreamState& stream, std::chrono::steady_clock::time_point now) const;

    std::array<StreamState, 256> streams{};
};

}  // namespace quillane::host
