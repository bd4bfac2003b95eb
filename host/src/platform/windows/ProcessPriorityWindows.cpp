#include "platform/ProcessPriority.h"

#include "common/LineSource.h"
#include "common/RateLimiter.h"

#include <windows.h>
#include <timeapi.h>

#include <mutex>

#include <spdlog/spdlog.h>

namespace quillane::host {

namespace {
class Win32ProcessPriority final : public ProcessPriority {
public:
    bool boost() override {
        std::lock_guard lock(mutex);
        if (boosted) {
            return priorityRaised;
        }
        priorityRaised = SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS) != 0;
        const DWORD error = priorityRaised ? 0 : GetLastError();
        // A client that starts and stops its only stream in a loop boosts each time.
        if (std::size_t held = 0; changeLog.allow(ClientLineScope::current(), held)) {
            if (priorityRaised) {
                SPDLOG_INFO("Process priority boosted to HIGH_PRIORITY_CLASS for streaming{}", heldNote(held));
            } else {
                SPDLOG_WARN("Failed to boost process priority: {}{}", error, heldNote(held));
            }
        }
        timeBeginPeriod(1);
        boosted = true;
        return priorityRaised;
    }

    void restore() override {
        std::lock_guard lock(mutex);
        if (!boosted) {
            return;
        }
        SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS);
        timeEndPeriod(1);
        boosted = false;
        priorityRaised = false;
    }

private:
    std::mutex mutex;
    bool boosted = false;
    bool priorityRaised = false;
    PeerLineLimiter changeLog{std::chrono::seconds(10), 8};
};
} // namespace

std::unique_ptr<ProcessPriority> createProcessPriority() {
    return std::make_unique<Win32ProcessPriority>();
}

} // namespace quillane::host
