#include "network/SocketOptions.h"

#include <cerrno>

#include <sys/socket.h>

namespace quillane::host {

int setListenAddressOption(std::uintptr_t nativeSocket) {
    const int on = 1;
    if (setsockopt(static_cast<int>(nativeSocket), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        return errno;
    }
    return 0;
}

}  // namespace quillane::host
