#pragma once

#include <X11/Xlib.h>

namespace quillane::host {

// What went wrong on one X connection since it was last asked.
struct XErrorRecord {
    unsigned count = 0;            // errors since the last take()
    unsigned char errorCode = 0;   // of the last one (BadWindow, BadMatch, ...)
    unsigned char requestCode = 0;
    unsigned char minorCode = 0;
    unsigned long resourceId = 0;
};

// Xlib has one error handler per process, and its default one ends the process.
// Connections that expect errors (windows vanish at any moment) register here:
// their errors are recorded per connection instead. Errors of other connections
// go to whatever handler was installed before, or are logged when that was
// Xlib's default, so no X error ever ends the process.
class XErrorTrap {
public:
    static void watch(Display* display);
    static void unwatch(Display* display);
    // Flushes the connection with XSync, then returns and clears its record.
    static XErrorRecord sync(Display* display);
    // Returns and clears the record without a round trip.
    static XErrorRecord take(Display* display);
};

}  // namespace quillane::host
