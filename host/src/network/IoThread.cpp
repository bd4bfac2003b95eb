#include "network/IoThread.h"

#include "platform/CrashHandler.h"
#include <spdlog/spdlog.h>

#include <exception>

namespace quillane::host {

void runHandlersLogged(const std::string& name, const std::function<void()>& run) {
    for (;;) {
        try {
            run();
            return;
        } catch (const std::exception& e) {
            SPDLOG_ERROR("{} IO error: {}", name, e.what());
        } catch (...) {
            SPDLOG_ERROR("{} IO error: {}", name, "unknown exception");
        }
    }
}

IoThread::IoThread(boost::asio::io_context& io, std::string name) : io(io), name(std::move(name)) {}

IoThread::~IoThread() {
    if (thread.joinable() && onOwnThread()) {
        thread.detach();  // the last owner let go inside one of its handlers
        return;
    }
    stop(std::chrono::milliseconds(0));
}

void IoThread::start() {
    if (thread.joinable()) {
        thread.join();
    }
    io.restart();
    work.emplace(io.get_executor());
    finished = false;
    try {
        thread = std::thread([this] { run(); });
    } catch (...) {
        work.reset();
        throw;
    }
}

void IoThread::run() {
    prepareThreadForCrashHandling();
    runHandlersLogged(name, [this] { io.run(); });
    std::lock_guard lock(mutex);
    finished = true;
    finishedChanged.notify_all();
}

bool IoThread::stop(std::chrono::milliseconds grace, const std::function<void()>& overran) {
    if (!thread.joinable()) {
        return true;
    }
    work.reset();
    if (onOwnThread()) {
        return true;
    }
    bool inTime = true;
    {
        std::unique_lock lock(mutex);
        inTime = finishedChanged.wait_for(lock, grace, [this] { return finished; });
    }
    if (!inTime) {
        if (overran) {
            overran();
        }
        io.stop();
    }
    thread.join();
    drain();
    return inTime;
}

void IoThread::drain() {
    // Handlers left behind by io_context::stop release their sockets here rather than at the next start.
    io.restart();
    for (int round = 0; round < 100; ++round) {
        try {
            if (io.poll() == 0) {
                break;
            }
        } catch (const std::exception& e) {
            SPDLOG_ERROR("{} IO error: {}", name, e.what());
        }
    }
}

}  // namespace quillane::host
