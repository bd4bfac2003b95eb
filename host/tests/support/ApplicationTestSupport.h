#pragma once

// Helpers for tests that run the real Application in the test's process.

#include "app/Application.h"
#include "platform/ProcessPriority.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace quillane::host::test {

// Records boosts (true) and restores (false), from whichever thread, instead
// of changing the test's priority.
class RecordingPriority : public ProcessPriority {
public:
    struct Log {
        std::mutex mutex;
        std::vector<bool> calls;
        std::vector<bool> get() {
            std::lock_guard lock(mutex);
            return calls;
        }
    };
    explicit RecordingPriority(std::shared_ptr<Log> log) : log(std::move(log)) {}
    bool boost() override { return add(true); }
    void restore() override { add(false); }

private:
    bool add(bool boost) {
        std::lock_guard lock(log->mutex);
        log->calls.push_back(boost);
        return true;
    }
    std::shared_ptr<Log> log;
};

// Turns Application::update as the main loop does, on a thread of its own.
class MainLoopTurns {
public:
    explicit MainLoopTurns(Application& app)
        : thread([this, &app] {
              for (; running; std::this_thread::sleep_for(std::chrono::milliseconds(10))) app.update();
          }) {}
    ~MainLoopTurns() { stop(); }
    void stop() {
        running = false;
        if (thread.joinable()) thread.join();
    }

private:
    std::atomic<bool> running{true};
    std::thread thread;
};

}  // namespace quillane::host::test
