#pragma once

#include <X11/Xlib.h>

#include <atomic>
#include <cstddef>

namespace quillane::host {

// Records the X protocol errors of one connection instead of letting Xlib's
// default handler end the process: windows vanish between any two requests.
//
// Xlib has one error handler per process. The first trap installs a dispatcher
// that serves every connection with a live trap and hands errors of all other
// connections to the handler that was installed before it, so other code's
// handling stays as it was. Traps may live on any thread; each connection must
// be used by one thread at a time, as Xlib requires anyway.
class X11ErrorTrap {
public:
    explicit X11ErrorTrap(Display* display);
    ~X11ErrorTrap();
    X11ErrorTrap(const X11ErrorTrap&) = delete;
    X11ErrorTrap& operator=(const X11ErrorTrap&) = delete;

    // Errors seen so far; call XSync first to collect those of requests in flight.
    std::size_t errorCount() const { return count.load(); }
    unsigned char lastErrorCode() const { return lastCode.load(); }

    // Puts the dispatcher back if other code replaced the process's handler
    // (some toolkits reset it to Xlib's default after their own calls).
    static void reinstall();

private:
    static int dispatch(Display* display, XErrorEvent* event);

    Display* display;
    std::atomic<std::size_t> count{0};
    std::atomic<unsigned char> lastCode{0};
};

}  // namespace quillane::host
