#include "network/AcceptErrors.h"

#include <cerrno>

namespace quillane::host {

bool isIncomingConnectionErrorNumber(int error) {
    // accept(2) passes on the pending connection's network errors; they say nothing about the
    // listener.
    switch (error) {
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
