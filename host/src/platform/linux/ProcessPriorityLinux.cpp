#include "platform/linux/ProcessPriorityLinux.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>
#include <sys/resource.h>
#include <unistd.h>

#include "common/LineSource.h"

#include <spdlog/spdlog.h>

namespace quillane::host {

namespace {
std::vector<pid_t> processThreads() {
    std::vector<pid_t> threads;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task", ec)) {
        try {
            threads.push_back(static_cast<pid_t>(std::stol(entry.path().filename().string())));
        } catch (const std::exception&) {
        }
    }
    return threads;
}

int niceOf(pid_t thread) {
    errno = 0;
    int value = getpriority(PRIO_PROCESS, static_cast<id_t>(thread));
    return errno == 0 ? value : 0;
}
} // namespace

bool canRaiseProcessPriority() {
    if (geteuid() == 0) {
        return true;
    }
    rlimit limit{};
    // RLIMIT_NICE allows nice values down to 20 - limit.
    return getrlimit(RLIMIT_NICE, &limit) == 0 &&
           (limit.rlim_cur == RLIM_INFINITY || 20 - static_cast<long>(limit.rlim_cur) <= LinuxProcessPriority::kBoostedNice);
}

bool LinuxProcessPriority::boost() {
    std::lock_guard lock(mutex);
    if (boosted) {
        return true;
    }
    processNice = niceOf(getpid());
    previousNice.clear();
    for (pid_t thread : processThreads()) {
        int before = niceOf(thread);
        // A thread that already runs higher keeps its own value.
        if (setpriority(PRIO_PROCESS, static_cast<id_t>(thread), std::min(before, kBoostedNice)) != 0) {
            int error = errno;
            for (const auto& [raised, nice] : previousNice) {
                setpriority(PRIO_PROCESS, static_cast<id_t>(raised), nice);
            }
            previousNice.clear();
            if (std::size_t held = 0; changeLog.allow(ClientLineScope::current(), held)) {
                SPDLOG_WARN("Failed to boost process priority: {}{}", std::strerror(error), heldNote(held));
            }
            return false;
        }
        previousNice[thread] = before;
    }
    boosted = true;
    if (std::size_t held = 0; changeLog.allow(ClientLineScope::current(), held)) {
        SPDLOG_INFO("Process priority boosted to nice {} for streaming{}", kBoostedNice, heldNote(held));
    }
    return true;
}

void LinuxProcessPriority::restore() {
    std::lock_guard lock(mutex);
    if (!boosted) {
        return;
    }
    for (pid_t thread : processThreads()) {
        auto it = previousNice.find(thread);
        // Threads started while boosted go back to the process's own value.
        int nice = it != previousNice.end() ? it->second : processNice;
        setpriority(PRIO_PROCESS, static_cast<id_t>(thread), nice);
    }
    previousNice.clear();
    boosted = false;
    if (std::size_t held = 0; changeLog.allow(ClientLineScope::current(), held)) {
        SPDLOG_INFO("Process priority restored after streaming{}", heldNote(held));
    }
}

std::unique_ptr<ProcessPriority> createProcessPriority() {
    return std::make_unique<LinuxProcessPriority>();
}

} // namespace quillane::host
