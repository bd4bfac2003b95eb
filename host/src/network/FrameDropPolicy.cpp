#include "network/FrameDropPolicy.h"

namespace quillane::host {

FrameDropPolicy::FrameDropPolicy() = default;

bool FrameDropPolicy::mayRequest(const StreamState& stream, std::chrono::steady_clock::time_point now) const {
    return !stream.keyframeRequested || now - stream.lastRequest >= kKeyframeRequestInterval;
}

FrameDecision FrameDropPolicy::decide(std::uint8_t streamId, bool isKeyframe, std::size_t size,
                                      const QueueLoad& load, std::chrono::steady_clock::time_point now) {
    StreamState& stream = streams[streamId];
    FrameDecision decision;

    const auto idle = now - load.lastProgress;
    if (load.frames >= kQueueFullFrames && idle > kStallTime) {
        // One request per stall: keyframes made while the client is stuck are dropped as well, so
        // a stream that is still waiting asks again once the queue has room.
        decision.verdict = FrameVerdict::DropStalled;
        decision.stalledFor = std::chrono::duration_cast<std::chrono::milliseconds>(idle);
        decision.requestKeyframe = !stream.stallRequested;
        stream.stallRequested = true;
    } else if (load.frames >= kMaxQueuedFrames ||
               (load.frames > 0 && load.bytes + size > kMaxQueuedBytes)) {
        decision.verdict = FrameVerdict::DropOverLimit;
    } else if (!isKeyframe && load.frames >= kQueueFullFrames) {
        decision.verdict = FrameVerdict::DropQueueFull;
    } else if (!isKeyframe && stream.awaitingKeyframe) {
        decision.verdict = FrameVerdict::DropAwaitingKeyframe;
        decision.requestKeyframe = mayRequest(stream, now);
    } else {
        stream.stallRequested = false;
        if (isKeyframe) {
            stream.awaitingKeyframe = false;
            stream.keyframeRequested = false;
        }
        return decision;
    }

    stream.awaitingKeyframe = true;
    if (decision.requestKeyframe) {
        stream.keyframeRequested = true;
        stream.lastRequest = now;
    }
    return decision;
}

}  // namespace quillane::host
