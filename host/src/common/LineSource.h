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

// What the lines of streams' work may take, per source (a window, a client's address): the
// first `lines` of the host's own (every warning and error among them), then one per 10 s, and
// apart from them the first `libraryInfo` of the encoder library's informational lines, so
// that its statistics never crowd out an outcome or a warning. Thread-safe.
struct StreamLineBudget {
    StreamLineBudget(std::size_t lines, std::size_t libraryInfo);

    PeerLineLimiter lines;
    PeerLineLimiter libraryInfo;
};

// Set while a stream's work runs on a thread: a start or a stop (charged to the client that
// asked for it), its frames (to the client that started it), or the frame that follows a size
// change of its window (to the window, whose streams share it). The lines of that work (its
// capture's and encoders', the encoder library's own included) then count against the budget.
class StreamLineScope {
public:
    StreamLineScope(StreamLineBudget& budget, std::uint64_t source);
    ~StreamLineScope();
    StreamLineScope(const StreamLineScope&) = delete;
    StreamLineScope& operator=(const StreamLineScope&) = delete;

    // Whether a line of that work may be written now (`held`: the lines held back before it);
    // always, with none held, outside any stream's work.
    static bool allow(std::size_t& held);
    // The same for an informational line of the encoder library.
    static bool allowLibraryInfo(std::size_t& held);

private:
    StreamLineBudget* outerBudget;
    std::uint64_t outerSource;
};

}  // namespace quillane::host
