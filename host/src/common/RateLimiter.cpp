#include "common/RateLimiter.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <utility>

namespace quillane::host {
namespace {

using LineClock = SourceRateLimiter::Clock;
constexpr LineClock::rep kLineClockRuns = std::numeric_limits<LineClock::rep>::min();
// The held time since the clock's epoch, or kLineClockRuns.
std::atomic<LineClock::rep> lineClockHeldAt{kLineClockRuns};

}  // namespace

LogRateLimiter::LogRateLimiter(std::chrono::steady_clock::duration interval) : interval(interval) {}

bool LogRateLimiter::allow(std::size_t& suppressed) {
    std::lock_guard lock(mutex);
    const auto now = std::chrono::steady_clock::now();
    if (any && now - last < interval) {
        ++held;
        return false;
    }
    any = true;
    last = now;
    suppressed = held;
    held = 0;
    return true;
}

SourceRateLimiter::SourceRateLimiter(double perSecond, double burst, std::size_t maxSources)
    : perSecond(perSecond), burst(burst), maxSources(maxSources) {}

void SourceRateLimiter::refill(Bucket& bucket, Clock::time_point now) const {
    if (now <= bucket.refilled) return;
    const double seconds = std::chrono::duration<double>(now - bucket.refilled).count();
    bucket.tokens = std::min(burst, bucket.tokens + seconds * perSecond);
    bucket.refilled = now;
}

void SourceRateLimiter::forgetIdle(Clock::time_point now) {
    for (auto it = buckets.begin(); it != buckets.end();) {
        refill(it->second, now);
        // A full bucket with nothing held back is what a new source starts with.
        if (it->second.tokens >= burst && it->second.held == 0) {
            it = buckets.erase(it);
        } else {
            ++it;
        }
    }
}

bool SourceRateLimiter::allow(std::uint64_t source, Clock::time_point now, std::size_t& held) {
    auto it = buckets.find(source);
    if (it == buckets.end()) {
        if (buckets.size() >= maxSources) forgetIdle(now);
        if (buckets.size() >= maxSources) return false;
        it = buckets.emplace(source, Bucket{burst, now, 0}).first;
    }
    Bucket& bucket = it->second;
    refill(bucket, now);
    if (bucket.tokens < 1.0) {
        ++bucket.held;
        return false;
    }
    bucket.tokens -= 1.0;
    held = std::exchange(bucket.held, 0);
    return true;
}

bool SourceRateLimiter::allow(std::uint64_t source, Clock::time_point now) {
    std::size_t held = 0;
    return allow(source, now, held);
}

PeerLineLimiter::PeerLineLimiter(std::chrono::steady_clock::duration interval, std::size_t burst)
    : limiter(1.0 / std::chrono::duration<double>(interval).count(), static_cast<double>(burst)) {}

bool PeerLineLimiter::allow(std::uint64_t source, std::size_t& held) {
    return allow(source, lineClockNow(), held);
}

bool PeerLineLimiter::allow(std::uint64_t source, SourceRateLimiter::Clock::time_point now, std::size_t& held) {
    std::lock_guard lock(mutex);
    return limiter.allow(source, now, held);
}

std::string heldNote(std::size_t held) {
    return held == 0 ? std::string() : " (" + std::to_string(held) + " more not logged)";
}

LineClock::time_point lineClockNow() {
    const LineClock::rep held = lineClockHeldAt.load();
    return held == kLineClockRuns ? LineClock::now() : LineClock::time_point(LineClock::duration(held));
}

LineClockHold::LineClockHold() {
    lineClockHeldAt.store(LineClock::now().time_since_epoch().count());
}

LineClockHold::~LineClockHold() {
    lineClockHeldAt.store(kLineClockRuns);
}

}  // namespace quillane::host
