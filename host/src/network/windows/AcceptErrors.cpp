#include "network/AcceptErrors.h"

#include <winsock2.h>

namespace quillane::host {

bool isIncomingConnectionError(const boost::system::error_code& ec) {
    if (ec.category() != boost::system::system_category()) {
        return false;
    }
    // A connection reset before AcceptEx took it completes the accept with one of these.
    switch (ec.value()) {
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
