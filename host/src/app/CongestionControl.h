#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>

namespace quillane::host {

// Bitrate control from the client's feedback: one bitrate shared by every
// client-requested stream, lowered by 20 % on congestion and raised by 10 %
// towards the target on good reports, at most once a second.
// Threads: any thread (the video transport's feedback, the main thread's
// reset); one mutex guards the bitrate and the clock.
class CongestionControl {
public:
    struct Change {
        std::uint32_t previousKbps = 0;
        std::uint32_t bitrateKbps = 0;
        std::uint32_t maxBitrateKbps = 0;
        bool congested = false;
    };
    // Runs under the controller's lock, so a change and a reset never interleave.
    using ApplyFn = std::function<void(const Change&)>;

    static constexpr std::uint32_t kMinBitrateKbps = 2000;
    static constexpr std::int64_t kMinIntervalNs = 1'000'000'000;

    // Returns the change when one was applied. nowNs is steady-clock time.
    std::optional<Change> onFeedback(std::uint16_t decodeTimeMs, std::uint16_t rttMs,
                                     std::uint32_t targetKbps, std::int64_t nowNs,
                                     const ApplyFn& apply);

    // New target from the settings: the bitrate goes back to it at once; the
    // time of the last change is kept.
    void reset(std::uint32_t targetKbps, std::uint32_t maxKbps, const ApplyFn& apply);

    std::uint32_t currentKbps() const;

    static std::uint32_t maxFor(std::uint32_t kbps);

private:
    mutable std::mutex mutex;
    std::uint32_t currentBitrateKbps = 0;  // 0 until the first feedback
    std::int64_t lastBitrateChange = 0;
};

}  // namespace quillane::host
