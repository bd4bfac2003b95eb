#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "E2eProcess.h"

namespace quillane::host::test {

struct HostPorts {
    std::uint16_t signaling = 0;
    std::uint16_t video = 0;
    std::uint16_t audio = 0;
    std::uint16_t input = 0;
};

// The real host binary in the virtual desktop, with its own HOME and XDG
// folders and a settings file that puts it on free ports.
class HostUnderTest {
public:
    HostUnderTest();
    ~HostUnderTest();

    // Starts it (with extra environment variables) and waits until its main loop runs.
    bool start(std::chrono::milliseconds timeout = std::chrono::seconds(20),
               const std::map<std::string, std::string>& extraEnv = {});
    int stop();

    const HostPorts& ports() const { return ports_; }
    PipedChildProcess* process() { return process_.get(); }
    // Everything it logged so far.
    std::string log() const;
    // Waits until the log holds `needle`.
    bool waitForLog(const std::string& needle, std::chrono::milliseconds timeout) const;

    std::string home() const { return home_; }

    // Another host binary than the product's, and variables added to its environment.
    std::string binary;
    std::map<std::string, std::string> environment;

private:
    std::string home_;
    HostPorts ports_;
    std::unique_ptr<PipedChildProcess> process_;
};

// The test window program, mapped and showing its pattern.
class TestWindowProcess {
public:
    // `extraEnv` adds to its environment (another display, for one).
    explicit TestWindowProcess(const std::string& title, int width = 640, int height = 480, int fps = 30,
                               const std::map<std::string, std::string>& extraEnv = {});
    ~TestWindowProcess();
    bool ok() const { return windowId_ != 0; }
    unsigned long windowId() const { return windowId_; }
    bool command(const std::string& cmd, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // The text its key presses typed, until `count` characters or `quiet` without one.
    std::string typed(std::size_t count, std::chrono::milliseconds quiet);

private:
    std::unique_ptr<PipedChildProcess> process_;
    unsigned long windowId_ = 0;
};

}  // namespace quillane::host::test
