#pragma once

#include <signal.h>
#include <unistd.h>

namespace quillane::host {

// Bounds the last log calls of a process that is about to end: the thread that
// ends it may find a log sink's lock held by a thread that will never let go.
// After `seconds`, SIGALRM runs `onTimeout`, which must end the process; alarm(0)
// disarms it.
inline void armLastLogTimeLimit(unsigned seconds, void (*onTimeout)(int)) noexcept {
    struct sigaction timeout {};
    timeout.sa_handler = onTimeout;
    sigemptyset(&timeout.sa_mask);
    sigaction(SIGALRM, &timeout, nullptr);
    alarm(seconds);
}

}  // namespace quillane::host
