#include "network/SocketOptions.h"

#include <cerrno>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace quillane::host {

int setListenAddressOption(std::uintptr_t nativeSocket) {
    const int on = 1;
    if (setsockopt(static_cast<int>(nativeSocket), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        return errno;
    }
    return 0;
}

int setKeepAlive(std::uintptr_t nativeSocket, int idleSeconds, int intervalSeconds, int count) {
    const int fd = static_cast<int>(nativeSocket);
    const int on = 1;
    // Probes go out only while nothing is in flight; the user time-out covers the other case.
    const unsigned userTimeoutMs = static_cast<unsigned>(idleSeconds + intervalSeconds * count) * 1000u;
    if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0 ||
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof idleSeconds) != 0 ||
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &intervalSeconds, sizeof intervalSeconds) != 0 ||
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count) != 0 ||
        setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs, sizeof userTimeoutMs) != 0) {
        return errno;
    }
    return 0;
}

}  // namespace quillane::host
