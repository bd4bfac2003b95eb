#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/RateLimiter.h"

namespace quillane::host {

// Whom the lines of the work under way on a thread are charged to, so that one
// client's or one window's flood of lines neither floods the log nor hides
// another's first lines. A scope names the cause for its lifetime, on its own
// thread only, and puts the outer one back when it ends.

// The source of a client's lines: its address, whichever connection they come from.
std::uint64_t addressSource(std::string_view address);

// Set while a client's request is served (and its callbacks run).
class ClientLineScope {
public:
    explicit ClientLineScope(std::string_view clientAddress);
    ~ClientLineScope();
    ClientLineScope(const ClientLineScope&) = delete;
    ClientLineScope& operator=(const ClientLineScope&) = delete;

    // The source of the client served on this thread; 0 when none is.
    static std::uint64_t current();

private:
    std::uint64_t outer;
};

// Set while a window's size change is followed: the lines of every stream of the
// window and of their encoders (the encoder library's own included) share one
// budget, the limiter's for the window.
class WindowLineScope {
public:
    WindowLineScope(PeerLineLimiter& limiter, std::uint32_t windowId);
    ~WindowLineScope();
    WindowLineScope(const WindowLineScope&) = delete;
    WindowLineScope& operator=(const WindowLineScope&) = delete;

    // Whether a line of that work may be written now (`held`: the lines held back
    // before it); always, with none held, outside any window's work.
    static bool allow(std::size_t& held);

private:
    PeerLineLimiter* outerLimiter;
    std::uint32_t outerWindow;
};

}  // namespace quillane::host
