#include "platform/linux/ProcessPriorityLinux.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quillane::host::test {
namespace {

int niceOf(pid_t thread) {
    return getpriority(PRIO_PROCESS, static_cast<id_t>(thread));
}

pid_t currentThread() {
    return static_cast<pid_t>(syscall(SYS_gettid));
}

// A thread that reports its id.
class Worker {
public:
    Worker() : thread([this] {
        tid = currentThread();
        while (!stop) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }) {
        while (tid == 0) std::this_thread::yield();
    }
    ~Worker() {
        stop = true;
        thread.join();
    }
    std::atomic<pid_t> tid{0};
    std::atomic<bool> stop{false};
    std::thread thread;
};

// Every thread, including one started while boosted, is raised and put back;
// a thread that already runs higher keeps its value.
TEST(ProcessPriorityTest, BoostReachesEveryThreadAndRestorePutsThemBack) {
    if (!canRaiseProcessPriority()) GTEST_SKIP() << "not permitted to raise the priority here";
    ASSERT_EQ(niceOf(currentThread()), 0);
    Worker before, audio;
    ASSERT_EQ(setpriority(PRIO_PROCESS, static_cast<id_t>(audio.tid.load()), -15), 0);
    auto priority = createProcessPriority();
    ASSERT_TRUE(priority->boost());
    EXPECT_EQ(niceOf(currentThread()), LinuxProcessPriority::kBoostedNice);
    EXPECT_EQ(niceOf(before.tid), LinuxProcessPriority::kBoostedNice);
    EXPECT_EQ(niceOf(audio.tid), -15);
    {
        Worker during;
        EXPECT_EQ(niceOf(during.tid), LinuxProcessPriority::kBoostedNice);
        priority->restore();
        EXPECT_EQ(niceOf(during.tid), 0);
    }
    EXPECT_EQ(niceOf(currentThread()), 0);
    EXPECT_EQ(niceOf(before.tid), 0);
    EXPECT_EQ(niceOf(audio.tid), -15);
    setpriority(PRIO_PROCESS, static_cast<id_t>(audio.tid.load()), 0);
}

TEST(ProcessPriorityTest, RefusedBoostChangesNothing) {
    // Drop the right to lower nice values in a child, then try.
    pid_t child = fork();
    if (child == 0) {
        rlimit limit{0, 0};
        setrlimit(RLIMIT_NICE, &limit);
        if (geteuid() == 0 && setuid(65534) != 0) _exit(3);
        auto priority = createProcessPriority();
        bool boosted = priority->boost();
        int nice = getpriority(PRIO_PROCESS, 0);
        priority->restore();
        _exit(!boosted && nice == 0 && !canRaiseProcessPriority() ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

} // namespace
} // namespace quillane::host
