#include "network/IoThread.h"

#include "platform/CrashHandler.h"
#include <spdlog/spdlog.h>

#include <exception>

namespace quillane::host {

IoThread::IoThread(boost::asio::io_context& io, std::string name) : io_(io), name_(std::move(name)) {}

IoThread::~IoThread() {
    stop(std::chrono::milliseconds(0));
}

void IoThread::start() {
    io_.restart();
    work_.emplace(io_.get_executor());
    finished_ = false;
    try {
        thread_ = std::thread([this] { run(); });
    } catch (...) {
        work_.reset();
        throw;
    }
}

void IoThread::run() {
    prepareThreadForCrashHandling();
    for (;;) {
        try {
            io_.run();
            break;
        } catch (const std::exception& e) {
            SPDLOG_ERROR("{} IO error: {}", name_, e.what());
        } catch (...) {
            SPDLOG_ERROR("{} IO error: unknown exception", name_);
        }
    }
    std::lock_guard lock(mutex_);
    finished_ = true;
    finishedChanged_.notify_all();
}

void IoThread::stop(std::chrono::milliseconds grace) {
    if (!thread_.joinable()) {
        return;
    }
    work_.reset();
    {
        std::unique_lock lock(mutex_);
        if (!finishedChanged_.wait_for(lock, grace, [this] { return finished_; })) {
            io_.stop();
        }
    }
    thread_.join();
    // Handlers left behind by io_context::stop release their sockets here rather than at the next start.
    io_.restart();
    for (int round = 0; round < 100; ++round) {
        try {
            if (io_.poll() == 0) {
                break;
            }
        } catch (const std::exception& e) {
            SPDLOG_ERROR("{} IO error: {}", name_, e.what());
        }
    }
}

}  // namespace quillane::host
