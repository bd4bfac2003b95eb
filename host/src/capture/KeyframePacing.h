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

    // For a frame about to be encoded: true when it is to be a keyframe.
    bool takeForFrame(Clock::time_point now) {
        lastFrame = now;
        if (!pending || (forcedBefore && now - lastForced < kMinInterval)) return false;
        pending = false;
        forcedBefore = true;
        lastForced = now;
        return true;
    }

    // When the last picture is to be encoded again; nothing while no request waits.
    std::optional<Clock::time_point> repeatDue() const {
        if (!pending) return std::nullopt;
        auto due = std::max(requestedAt, lastFrame + kRepeatAfter);
        return forcedBefore ? std::max(due, lastForced + kMinInterval) : due;
    }

    // A repeat was asked for: the next one waits as if a frame had come now.
    void repeatAsked(Clock::time_point now) { lastFrame = now; }

private:
    bool pending = false;
    bool forcedBefore = false;
    Clock::time_point requestedAt{};
    Clock::time_point lastFrame{};
    Clock::time_point lastForced{};
};

}  // namespace quillane::host
