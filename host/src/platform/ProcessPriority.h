#pragma once

#include <memory>

namespace quillane::host {

// High process priority (and on Windows a 1 ms timer resolution) while at least
// one capture runs. The implementation logs the outcome of each change.
class ProcessPriority {
public:
    virtual ~ProcessPriority() = default;

    // Raises the priority of every thread of the process and the timer
    // resolution; true when the priority was raised.
    virtual bool boost() = 0;

    // Undoes boost(); does nothing when nothing was raised.
    virtual void restore() = 0;
};

std::unique_ptr<ProcessPriority> createProcessPriority();

} // namespace quillane::host
