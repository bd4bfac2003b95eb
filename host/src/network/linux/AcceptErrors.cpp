#include "network/AcceptErrors.h"

#include <cerrno>

namespace quillane::host {

bool isIncomingConnectionError(const boost::system::error_code& ec) {
    if (ec.category() != boost::system::system_category()) {
        return false;
    }
    // accept(2) passes on the pending connection's network errors; they say nothing about the
    // listener.
    switch (ec.value()) {
    case ECONNABORTED:
    case ECONNRESET:
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case ETIMEDOUT:
        return true;
    default:
        return false;
    }
}

}  // namespace quillane::host
