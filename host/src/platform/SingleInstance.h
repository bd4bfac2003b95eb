#pragma once

#include <functional>

namespace quillane::host {

// Keeps one host per user: the first process holds the guard for its lifetime,
// a later one hands over to it and ends.
class SingleInstance {
public:
    virtual ~SingleInstance() = default;

    // True when this process now holds the guard. A guard that cannot be set up
    // at all does not stop the program: that also counts as holding it.
    virtual bool acquire() = 0;

    // Called by a process that did not get the guard: asks the running host to
    // show and raise its window, and tells the user that it is already running.
    virtual void handOverToRunningInstance() = 0;

    // Called by the running host once per main-loop turn: runs `show` for each
    // request to show the window that arrived since the previous call.
    virtual void pollRequests(const std::function<void()>& show) = 0;

    // Gives the guard up; safe to call more than once.
    virtual void release() = 0;
};

} // namespace quillane::host
