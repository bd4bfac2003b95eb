#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

namespace quillane::host {

// Lets one log line through per interval and counts the ones held back, so a
// failure that repeats quickly cannot flood the log.
class LogRateLimiter {
public:
    explicit LogRateLimiter(std::chrono::steady_clock::duration interval);

    // True when a line may be written now; `suppressed` is then the number of
    // lines held back since the previous one.
    bool allow(std::size_t& suppressed);

private:
    std::mutex mutex;
    std::chrono::steady_clock::duration interval;
    std::chrono::steady_clock::time_point last{};
    bool any = false;
    std::size_t held = 0;
};

// A token bucket per source (an IPv4 address, a session): `burst` events at
// once, then `perSecond` on average. At most `maxSources` sources are
// remembered; a new one beyond that is refused until an idle one's bucket has
// refilled, so a flood from many spoofed sources is bounded too. Not thread-safe.
class SourceRateLimiter {
public:
    using Clock = std::chrono::steady_clock;

    SourceRateLimiter(double perSecond, double burst, std::size_t maxSources = 1024);

    // True when an event of `source` may pass at `now`; `held` is then the
    // number of its events refused since the previous one that passed.
    bool allow(std::uint64_t source, Clock::time_point now, std::size_t& held);
    bool allow(std::uint64_t source, Clock::time_point now);

private:
    struct Bucket {
        double tokens = 0;
        Clock::time_point refilled{};
        std::size_t held = 0;
    };
    void refill(Bucket& bucket, Clock::time_point now) const;
    void forgetIdle(Clock::time_point now);

    const double perSecond;
    const double burst;
    const std::size_t maxSources;
    std::unordered_map<std::uint64_t, Bucket> buckets;
};

// A log line a peer can cause with every message it sends: per source (a
// session, a client), the first `burst` are written, then at most one every
// `interval`, which carries the number held back since the previous one (see
// heldNote). A peer can then neither flood the log nor, since warnings flush
// it, set the pace of the disk. Thread-safe.
class PeerLineLimiter {
public:
    explicit PeerLineLimiter(std::chrono::steady_clock::duration interval = std::chrono::seconds(10),
                             std::size_t burst = 1);

    // True when the source's line may be written now; `held` is then the
    // number of its lines held back before this one.
    bool allow(std::uint64_t source, std::size_t& held);
    bool allow(std::uint64_t source, SourceRateLimiter::Clock::time_point now, std::size_t& held);

private:
    std::mutex mutex;
    SourceRateLimiter limiter;
};

// " (N more not logged)" for a line that follows N held back, else "".
std::string heldNote(std::size_t held);

// The time the peer line limiters go by: the steady clock, unless a test holds it still.
SourceRateLimiter::Clock::time_point lineClockNow();

// Tests: holds the peer line limiters' time still while it lives, so that the lines a test
// counts are what one interval lets through, however fast the machine gets through the test.
// One at a time.
class LineClockHold {
public:
    LineClockHold();
    ~LineClockHold();
    LineClockHold(const LineClockHold&) = delete;
    LineClockHold& operator=(const LineClockHold&) = delete;
};

}  // namespace quillane::host
