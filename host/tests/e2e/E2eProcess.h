#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quillane::host::test {

// A child process with its stdin and stdout on pipes (or stdout, and stderr, to
// files), ended by its own pid only.
class PipedChildProcess {
public:
    PipedChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::map<std::string, std::string>& extraEnv, const std::string& stderrFile = {},
                 const std::string& stdoutFile = {});
    ~PipedChildProcess();
    PipedChildProcess(const PipedChildProcess&) = delete;
    PipedChildProcess& operator=(const PipedChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    bool running();
    // One line of stdout (without the newline), or none on time-out or end.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout);
    void writeLine(const std::string& line);
    // SIGTERM, then wait up to `grace`; SIGKILL after that. Returns the wait status.
    int terminate(std::chrono::milliseconds grace = std::chrono::seconds(10));
    // Waits for the exit; none when it did not end in time.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    // Peak resident memory and CPU time from /proc while it runs.
    long residentKb() const;
    double cpuSeconds() const;

private:
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::string pending_;
    std::optional<int> status_;
};

std::string makeTempDir(const std::string& prefix);

// Whole file as text; empty when missing.
std::string readFile(const std::string& path);

}  // namespace quillane::host::test
