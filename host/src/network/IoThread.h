#pragma once

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace quillane::host {

// Calls run until it returns without an exception: one that escapes a handler is logged as
// "<name> IO error: ..." and the handlers go on.
void runHandlersLogged(const std::string& name, const std::function<void()>& run);

// The thread that runs a server's I/O context. An exception that escapes a handler is logged as
// "<name> IO error: ..." and the loop goes on; stop lets pending handlers finish (bounded by a
// grace period), joins and drains what is left, so the context can be started again.
// Threads: start and stop from the owner's thread; stop also from one of the context's handlers.
class IoThread {
public:
    IoThread(boost::asio::io_context& io, std::string name);
    ~IoThread();

    IoThread(const IoThread&) = delete;
    IoThread& operator=(const IoThread&) = delete;

    // Throws std::system_error when the thread cannot be created. Joins a run that a handler of
    // its own stopped.
    void start();
    // Returns once the thread has ended; handlers still queued after the grace period run here.
    // When the grace period ran out, overran is called before the context is stopped, and the
    // result is false. Called from a handler, it only lets the thread end once it runs out of work.
    bool stop(std::chrono::milliseconds grace, const std::function<void()>& overran = {});

private:
    void run();
    bool onOwnThread() const { return thread.get_id() == std::this_thread::get_id(); }
    void drain();

    boost::asio::io_context& io;
    const std::string name;
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> work;
    std::thread thread;
    std::mutex mutex;
    std::condition_variable finishedChanged;
    bool finished = false;
};

}  // namespace quillane::host
