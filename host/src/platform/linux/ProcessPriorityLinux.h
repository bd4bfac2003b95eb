#pragma once

#include "common/RateLimiter.h"
#include "platform/ProcessPriority.h"

#include <map>
#include <mutex>
#include <sys/types.h>

namespace quillane::host {

// True when this process may lower its nice value to that of a boost (as root
// or with a high enough RLIMIT_NICE).
bool canRaiseProcessPriority();

// Linux keeps a nice value per thread, so a boost lowers the nice value of every
// thread of the process (those created while boosted inherit it) and restore()
// puts each thread back. Linux has no timer resolution to change.
class LinuxProcessPriority final : public ProcessPriority {
public:
    static constexpr int kBoostedNice = -10;

    bool boost() override;
    void restore() override;

private:
    std::mutex mutex;
    bool boosted = false;
    int processNice = 0;
    std::map<pid_t, int> previousNice;
    // A client that starts and stops its only stream in a loop boosts and restores each time.
    PeerLineLimiter changeLog{std::chrono::seconds(10), 8};
};

} // namespace quillane::host
