#include "platform/linux/SingleInstanceLinux.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quillane::host::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class SingleInstanceLinuxTest : public ::testing::Test {
protected:
    // Shows that `instance` ran before one came or `time` passed.
    static int pollShows(LinuxSingleInstance& instance, std::chrono::milliseconds time = 1s) {
        int shows = 0;
        auto deadline = std::chrono::steady_clock::now() + time;
        while (std::chrono::steady_clock::now() < deadline && shows == 0) {
            instance.pollRequests([&] { ++shows; });
            std::this_thread::sleep_for(10ms);
        }
        return shows;
    }

    test::TempFolder temp;
    fs::path folder = temp.path();
    fs::path lockFile = folder / "state" / "instance.lock";
};

// Refused in this process and another while held; free again after a release
// or the holder's death, which leaves the file but not the lock.
TEST_F(SingleInstanceLinuxTest, OnlyOneHolderAtATime) {
    {
        LinuxSingleInstance first(lockFile);
        ASSERT_TRUE(first.acquire());
        EXPECT_TRUE(fs::exists(lockFile));
        LinuxSingleInstance second(lockFile);
        EXPECT_FALSE(second.acquire());
        pid_t child = fork();
        if (child == 0) _exit(LinuxSingleInstance(lockFile).acquire() ? 1 : 0);
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        first.release();
        EXPECT_TRUE(second.acquire());
    }
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    if (child == 0) {
        LinuxSingleInstance holder(lockFile);
        char held = holder.acquire() ? 1 : 0;
        [[maybe_unused]] auto n = write(ready[1], &held, 1);
        pause();
        _exit(0);
    }
    char held = 0;
    ASSERT_EQ(read(ready[0], &held, 1), 1);
    close(ready[0]);
    close(ready[1]);
    ASSERT_EQ(held, 1);
    LinuxSingleInstance probe(lockFile);
    EXPECT_FALSE(probe.acquire());
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_TRUE(fs::exists(lockFile));
    EXPECT_TRUE(probe.acquire());
}

// One request, one show, to the holder of that lock file only.
TEST_F(SingleInstanceLinuxTest, ShowRequestReachesTheHolderOnly) {
    EXPECT_FALSE(LinuxSingleInstance(lockFile).sendShowRequest());  // nobody holds it
    LinuxSingleInstance first(lockFile);
    ASSERT_TRUE(first.acquire());
    LinuxSingleInstance elsewhere(folder / "other" / "instance.lock");
    ASSERT_TRUE(elsewhere.acquire());
    EXPECT_EQ(pollShows(first, 100ms), 0);

    LinuxSingleInstance second(lockFile);
    ASSERT_FALSE(second.acquire());
    ASSERT_TRUE(second.sendShowRequest());
    EXPECT_EQ(pollShows(first), 1);
    EXPECT_EQ(pollShows(first, 100ms), 0);
    EXPECT_EQ(pollShows(elsewhere, 100ms), 0);

    ::testing::internal::CaptureStdout();
    second.handOverToRunningInstance();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Quillane Host is already running.\n");
    EXPECT_EQ(pollShows(first), 1);
}

TEST_F(SingleInstanceLinuxTest, ConnectionWithoutARequestShowsNothing) {
    LinuxSingleInstance first(lockFile);
    ASSERT_TRUE(first.acquire());
    const std::string& name = first.requestSocketName();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());

    for (const std::string& junk : std::vector<std::string>{"hello there\n", "sho", std::string(200, 'x'), ""}) {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), length), 0);
        if (!junk.empty()) send(fd, junk.data(), junk.size(), MSG_NOSIGNAL);
        close(fd);
        EXPECT_EQ(pollShows(first, 200ms), 0) << "after '" << junk << "'";
    }
    // The holder still answers a real request afterwards.
    LinuxSingleInstance second(lockFile);
    ASSERT_TRUE(second.sendShowRequest());
    EXPECT_EQ(pollShows(first), 1);
}

TEST_F(SingleInstanceLinuxTest, UnusableLockFolderStillLetsTheHostRun) {
    fs::create_directories(folder);
    std::ofstream(folder / "file") << "not a folder";
    LinuxSingleInstance instance(folder / "file" / "instance.lock");
    EXPECT_TRUE(instance.acquire());
}

} // namespace
} // namespace quillane::host
