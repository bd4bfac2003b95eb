#include "network/SocketOptions.h"

#include <winsock2.h>

namespace quillane::host {

int setListenAddressOption(std::uintptr_t nativeSocket) {
    const BOOL on = TRUE;
    if (setsockopt(static_cast<SOCKET>(nativeSocket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                   reinterpret_cast<const char*>(&on), sizeof on) != 0) {
        return WSAGetLastError();
    }
    return 0;
}

}  // namespace quillane::host
