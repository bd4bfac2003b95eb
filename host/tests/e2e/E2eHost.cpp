#include "E2eHost.h"

#include "TestSupport.h"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <thread>


namespace quillane::host::test {

namespace fs = std::filesystem;


HostUnderTest::HostUnderTest() : home_(makeTempDir("qh-e2e-host-")) {
    const auto ports = quillane::host::test::writeFreePortSettings(fs::path(home_) / "config" / "Quillane");
    ports_ = {ports[0], ports[1], ports[2], ports[3]};
    fs::create_directories(fs::path(home_) / "state");
    fs::create_directories(fs::path(home_) / "runtime");
    chmod((fs::path(home_) / "runtime").c_str(), 0700);
}

HostUnderTest::~HostUnderTest() {
    stop();
    std::error_code ec;
    fs::remove_all(home_, ec);
}

bool HostUnderTest::start(std::chrono::milliseconds timeout, const std::map<std::string, std::string>& extraEnv) {
    std::map<std::string, std::string> env{
        {"HOME", home_},
        {"XDG_CONFIG_HOME", home_ + "/config"},
        {"XDG_STATE_HOME", home_ + "/state"},
        {"XDG_RUNTIME_DIR", home_ + "/runtime"},
    };
    env.insert(environment.begin(), environment.end());
    env.insert(extraEnv.begin(), extraEnv.end());
    // The console log is written line by line (the file log only on warnings),
    // so the tests read that.
    process_ = std::make_unique<PipedChildProcess>(binary.empty() ? QH_HOST_BINARY : binary, std::vector<std::string>{}, env,
                                              home_ + "/stderr.txt", home_ + "/stdout.txt");
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!process_->running()) return false;
        if (log().find("Application initialized, entering main loop") != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

int HostUnderTest::stop() {
    if (!process_) return -1;
    const int status = process_->terminate(std::chrono::seconds(10));
    process_.reset();
    return status;
}

std::string HostUnderTest::log() const {
    return readFile(home_ + "/stdout.txt");
}

bool HostUnderTest::waitForLog(const std::string& needle, std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        if (log().find(needle) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

TestWindowProcess::TestWindowProcess(const std::string& title, int width, int height, int fps,
                                     const std::map<std::string, std::string>& extraEnv) {
    process_ = std::make_unique<PipedChildProcess>(
        QH_TEST_WINDOW_BINARY,
        std::vector<std::string>{"--title", title, "--width", std::to_string(width), "--height",
                                 std::to_string(height), "--fps", std::to_string(fps)},
        extraEnv);
    if (auto line = process_->readLine(std::chrono::seconds(10))) {
        if (line->rfind("window 0x", 0) == 0) windowId_ = std::stoul(line->substr(9), nullptr, 16);
    }
    // Let the window manager place and frame it.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
}

TestWindowProcess::~TestWindowProcess() {
    if (process_->running()) command("close", std::chrono::seconds(2));
    process_->terminate(std::chrono::seconds(2));
}

bool TestWindowProcess::command(const std::string& cmd, std::chrono::milliseconds timeout) {
    process_->writeLine(cmd);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        auto line = process_->readLine(std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now()));
        if (!line) return false;
        if (*line == "ok " + cmd) return true;
    }
    return false;
}

std::string TestWindowProcess::typed(std::size_t count, std::chrono::milliseconds quiet) {
    std::string text;
    while (text.size() < count) {
        const auto line = process_->readLine(quiet);
        if (!line) break;
        if (line->rfind("key ", 0) == 0) text += line->substr(4);
    }
    return text;
}

}  // namespace quillane::host::test
