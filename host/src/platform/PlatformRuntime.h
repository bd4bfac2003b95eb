#pragma once

#include <string>

namespace quillane::host {

// What the main thread needs before it can make its window, and gives back
// after the window is gone: COM's single-threaded apartment on Windows, GLFW on
// Linux.
class PlatformRuntime {
public:
    virtual ~PlatformRuntime() = default;

    // On failure `error` holds the one line to log and show.
    virtual bool initialize(std::string& error) = 0;

    // Safe to call when initialize() failed or was never called.
    virtual void shutdown() = 0;

    // The optimisations that streaming really uses on this platform, for the
    // start-up log line.
    virtual std::string streamingOptimizations() const = 0;
};

} // namespace quillane::host
