#pragma once

namespace quillane::host {

// SIGINT and SIGTERM end the main loop the way the tray's "Exit" does: the
// handler only records the request, the loop sees it on its next turn and the
// program shuts down in order. Installed first thing, so a signal during
// start-up is not lost either. SIGPIPE is ignored: a peer that went away is
// reported by the write that failed.
void installExitSignalHandlers();

// True once SIGINT or SIGTERM arrived.
bool exitSignalReceived();

} // namespace quillane::host
