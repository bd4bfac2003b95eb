#include "network/AcceptErrors.h"

#include <winsock2.h>

namespace quillane::host {

bool isIncomingConnectionErrorNumber(int error) {
    // A connection reset before AcceptEx took it completes the accept with one of these.
    switch (error) {
    case ERROR_NETNAME_DELETED:
    case ERROR_UNEXP_NET_ERR:
    case ERROR_CONNECTION_ABORTED:
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAENETRESET:
    case WSAETIMEDOUT:
        return true;
    default:
        return false;
    }
}

}  // namespace quillane::host
