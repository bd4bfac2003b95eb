#pragma once

#include <chrono>
#include <thread>

namespace quillane::host::testing {

// Polls `done` until it holds or `timeout` passed; its last answer.
template <typename Predicate>
bool waitFor(Predicate done, std::chrono::milliseconds timeout,
             std::chrono::milliseconds poll = std::chrono::milliseconds(50)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(poll);
    }
    return done();
}

} // namespace quillane::host::testing
