#pragma once

#include <algorithm>
#include <chrono>
#include <optional>

namespace quillane::host {

// When one stream's requested keyframes are made. At most one is forced per
// kMinInterval, so a client that keeps asking cannot turn every frame into an
// IDR; a request in between is served by the next one. A request that no new
// frame serves (a window that does not change) is due for a repeat of the last
// picture once kRepeatAfter has passed without a frame. Not thread-safe.
class KeyframePacing {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kMinInterval{100};
    static constexpr std::chrono::milliseconds kRepeatAfter{30};

    void request(Clock::time_point now) {
        if (!pending) requestedAt = now;
        pending = true;
    }

    // A frame is on its way to the encoder: it serves what is asked before it
    // gets there (a request from the resolution-change notice), so no repeat
    // is due meanwhile.
    void frameArriving() { arriving = true; }

    // For a frame about to be encoded: true when it is to be a keyframe. A new
    // encoder's first frame is one anyway and serves what waits.
    bool takeForFrame(Clock::time_point now, bool freshEncoder = false) {
        lastFrame = now;
        framed = true;
        arriving = false;
        if (freshEncoder) {
            pending = false;
            forcedBefore = true;
            lastForced = now;
            return false;
        }
        if (!pending || (forcedBefore && now - lastForced < kMinInterval)) return false;
        pending = false;
        forcedBefore = true;
        lastForced = now;
        return true;
    }

    // When the last picture is to be encoded again; nothing while no request
    // waits, and nothing before the first frame, which will serve it.
    std::optional<Clock::time_point> repeatDue() const {
        if (!pending || arriving || !framed) return std::nullopt;
        auto due = std::max(requestedAt, lastFrame + kRepeatAfter);
        return forcedBefore ? std::max(due, lastForced + kMinInterval) : due;
    }

    // A repeat was asked for: the next one waits as if a frame had come now.
    void repeatAsked(Clock::time_point now) { lastFrame = now; }

private:
    bool pending = false;
    bool arriving = false;
    bool framed = false;
    bool forcedBefore = false;
    Clock::time_point requestedAt{};
    Clock::time_point lastFrame{};
    Clock::time_point lastForced{};
};

}  // namespace quillane::host
