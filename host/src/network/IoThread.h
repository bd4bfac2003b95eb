#pragma once

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace quillane::host {

// The thread that runs a server's I/O context. An exception that escapes a handler is logged and
// the loop goes on; stop lets pending handlers finish (bounded by a grace period), joins and drains
// what is left, so the context can be started again.
class IoThread {
public:
    IoThread(boost::asio::io_context& io, std::string name);
    ~IoThread();

    IoThread(const IoThread&) = delete;
    IoThread& operator=(const IoThread&) = delete;

    // Throws std::system_error when the thread cannot be created.
    void start();
    // Returns once the thread has ended; handlers still queued after the grace period run here.
    void stop(std::chrono::milliseconds grace);

private:
    void run();

    boost::asio::io_context& io_;
    const std::string name_;
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> work_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable finishedChanged_;
    bool finished_ = false;
};

}  // namespace quillane::host
