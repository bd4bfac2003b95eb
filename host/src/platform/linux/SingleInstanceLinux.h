#pragma once

#include "platform/SingleInstance.h"

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace quillane::host {

// One host per lock file: the first process holds an exclusive flock on it for
// its lifetime (the kernel drops it when the process dies, however it dies) and
// listens on a local socket named after the lock file. A later process sends
// "show" over that socket and ends.
class LinuxSingleInstance final : public SingleInstance {
public:
    // The lock file of the user's host: "instance.lock" in the program's state folder.
    static std::filesystem::path defaultLockFile();

    explicit LinuxSingleInstance(std::filesystem::path lockFile = defaultLockFile());
    ~LinuxSingleInstance() override;

    bool acquire() override;
    void handOverToRunningInstance() override;
    void pollRequests(const std::function<void()>& show) override;
    void release() override;

    // Asks the running host to show its window; false when none answered.
    bool sendShowRequest() const;

    // The abstract socket name (without its leading NUL) that the holder listens on.
    const std::string& requestSocketName() const { return socketName; }

private:
    struct Pending {
        int fd;
        std::string received;
        std::chrono::steady_clock::time_point deadline;
    };

    void startListening();

    std::filesystem::path lockFile;
    std::string socketName;  // abstract socket name, without its leading NUL
    int lockFd = -1;
    int listenFd = -1;
    std::vector<Pending> pending;
};

} // namespace quillane::host
