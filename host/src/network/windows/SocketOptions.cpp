#include "network/SocketOptions.h"

#include <winsock2.h>

#include <mstcpip.h>

namespace quillane::host {

int setListenAddressOption(std::uintptr_t nativeSocket) {
    const BOOL on = TRUE;
    if (setsockopt(static_cast<SOCKET>(nativeSocket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                   reinterpret_cast<const char*>(&on), sizeof on) != 0) {
        return WSAGetLastError();
    }
    return 0;
}

int setKeepAlive(std::uintptr_t nativeSocket, int idleSeconds, int intervalSeconds, int count) {
    const auto socket = static_cast<SOCKET>(nativeSocket);
    tcp_keepalive values{};
    values.onoff = 1;
    values.keepalivetime = static_cast<ULONG>(idleSeconds) * 1000;
    values.keepaliveinterval = static_cast<ULONG>(intervalSeconds) * 1000;
    DWORD returned = 0;
    if (WSAIoctl(socket, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr, nullptr) != 0) {
        return WSAGetLastError();
    }
    // The probe count is settable from Windows 10 1703 on (option 16, TCP_KEEPCNT); older
    // systems keep their fixed count of ten.
    constexpr int kTcpKeepCount = 16;
    const DWORD probes = static_cast<DWORD>(count);
    setsockopt(socket, IPPROTO_TCP, kTcpKeepCount, reinterpret_cast<const char*>(&probes), sizeof probes);
    return 0;
}

}  // namespace quillane::host
