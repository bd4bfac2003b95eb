#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace quillane::host {

// Counts the handler calls that are using a set of components, so that shutdown can wait for
// them to end before it tears the components down (bounded, as a stuck call must not hang it).
// Threads: scopes open on the handlers' threads; waitIdle on the thread that shuts down.
class InFlightCalls {
public:
    class Scope {
    public:
        explicit Scope(InFlightCalls& calls) : calls(calls) {
            std::lock_guard lock(calls.mutex);
            ++calls.count;
        }
        ~Scope() {
            std::lock_guard lock(calls.mutex);
            if (--calls.count == 0) calls.idle.notify_all();
        }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        InFlightCalls& calls;
    };

    // True when no call was running any more within the time-out.
    bool waitIdle(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex);
        return idle.wait_for(lock, timeout, [this] { return count == 0; });
    }

private:
    std::mutex mutex;
    std::condition_variable idle;
    int count = 0;
};

}  // namespace quillane::host
