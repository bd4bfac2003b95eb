#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>

namespace quillane::host {

inline constexpr std::size_t kLogTextLimit = 128;

// Text that a peer chose, made safe for one log line: at most about
// `limit` bytes of it are kept (cut on a character boundary, with a note of
// the full length), control bytes and invalid UTF-8 are written as \xHH.
std::string logSafeText(std::string_view text, std::size_t limit = kLogTextLimit);

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

}  // namespace quillane::host
