#pragma once

#include <cstdint>

namespace quillane::host {

// A listening TCP socket's address option, set between open and bind: quick
// re-binding after a restart on Linux (SO_REUSEADDR), exclusive use of the
// port on Windows, where SO_REUSEADDR would let a second socket take a port
// that is in use. Returns 0 or the platform's error number.
int setListenAddressOption(std::uintptr_t nativeSocket);

}  // namespace quillane::host
