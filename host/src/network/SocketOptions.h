#pragma once

#include <cstdint>

namespace quillane::host {

// A listening TCP socket's address option, set between open and bind: quick
// re-binding after a restart on Linux (SO_REUSEADDR), exclusive use of the
// port on Windows, where SO_REUSEADDR would let a second socket take a port
// that is in use. Returns 0 or the platform's error number.
int setListenAddressOption(std::uintptr_t nativeSocket);

// Keep-alive on a connected socket, so that a peer that vanished without closing (no FIN) is
// noticed and the connection fails: the first probe after idleSeconds of silence, then one every
// intervalSeconds, failing after count unanswered ones; where the platform offers it, data left
// unacknowledged for as long fails it too. Returns 0 or the platform's error number.
int setKeepAlive(std::uintptr_t nativeSocket, int idleSeconds, int intervalSeconds, int count);

}  // namespace quillane::host
