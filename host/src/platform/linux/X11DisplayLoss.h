#pragma once

namespace quillane::host {

// The exit status of a host whose X display went away (a logout, a crashed X server).
inline constexpr int kDisplayLostExitStatus = 1;

// Makes the loss of the X display end the host once, from one thread: Xlib's default I/O error
// handler calls exit() on every thread whose connection breaks, and several exits at once
// corrupt the heap. The first thread to see the loss logs "Lost the connection to the display
// ..." (under a time limit, in case a dying thread holds a log sink's lock), flushes the log and
// ends the process at once with kDisplayLostExitStatus, without exit handlers; any other thread
// that sees it meanwhile waits for that end. Call before any thread opens a display.
void installX11DisplayLossHandler();

}  // namespace quillane::host
