#pragma once

// Helpers for tests that touch real files and processes.

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quillane::host::test {

// A fresh folder under the system's temporary folder, removed with its content.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

std::string readFile(const std::filesystem::path& file);  // bytes; empty when missing
void writeFile(const std::filesystem::path& file, const std::string& bytes);
std::vector<std::string> readLines(const std::filesystem::path& file);  // without line endings

// A TCP port that nothing holds at the moment, below the ephemeral range, so
// that another test's outgoing connection cannot take it before it is used.
std::uint16_t freeTcpPort();
// Whether a listener could bind the port on every address now.
bool tcpPortBindable(std::uint16_t port);
// Writes the host's settings.json into `folder` with four different free ports
// (signalling, video, audio, input; returned in that order), so that a host
// under test never meets another run on this machine at its default ports.
// Automatic update checks are off: a host under test stays on loopback.
std::array<std::uint16_t, 4> writeFreePortSettings(const std::filesystem::path& folder);
// Such a settings file for the length of a test: removed again when this goes.
class FreePortSettings {
public:
    explicit FreePortSettings(std::filesystem::path folder);
    ~FreePortSettings();
    FreePortSettings(const FreePortSettings&) = delete;
    FreePortSettings& operator=(const FreePortSettings&) = delete;
    const std::filesystem::path& folder() const { return settingsFolder; }
    std::uint16_t signaling() const { return freePorts[0]; }
    std::uint16_t video() const { return freePorts[1]; }
    std::uint16_t audio() const { return freePorts[2]; }
    std::uint16_t input() const { return freePorts[3]; }
    const std::array<std::uint16_t, 4>& ports() const { return freePorts; }  // in that order

private:
    std::filesystem::path settingsFolder;
    std::array<std::uint16_t, 4> freePorts;
};

// Environment of this process (for code that reads it, and for children).
void setEnvironment(const std::string& name, const std::string& value);
void unsetEnvironment(const std::string& name);
std::optional<std::string> environment(const std::string& name);

// The executable beside the running test executable (name without ".exe").
std::filesystem::path siblingExecutable(const std::string& name);

struct ProcessEnd {
    bool signaled = false;  // Linux: ended by a signal
    int signal = 0;
    bool exited = false;    // ended by exit; code holds the status (Windows: the process's exit code)
    unsigned long code = 0;
};

// A child process with its stdout and stderr appended to one file.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();  // kills a child that is still running
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool start(const std::filesystem::path& executable, const std::vector<std::string>& arguments,
               const std::filesystem::path& outputFile);
    void kill();  // SIGKILL / TerminateProcess: no chance to clean up
    unsigned long id() const;  // the process id; 0 before a start
    std::optional<ProcessEnd> wait(std::chrono::milliseconds timeout);

private:
    struct State;
    State* state_ = nullptr;
};

bool isWindows();
// A Linux signal's number by name ("SIGSEGV"); -1 where the platform has none.
int signalNumber(const std::string& name);

// For crash helpers: no core file for the crashes they cause on purpose.
void disableCoreDumps();
// Writes straight to stderr: no allocation, no lock (usable in a crash clean-up).
void writeToStderr(const char* text) noexcept;
// A real bus error (a read past the end of a truncated mapped file); false
// where the platform has none.
bool causeBusError();

}  // namespace quillane::host::test
