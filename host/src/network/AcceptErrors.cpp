#include "network/AcceptErrors.h"

namespace quillane::host {

bool isIncomingConnectionError(const boost::system::error_code& ec) {
    return ec.category() == boost::system::system_category() && isIncomingConnectionErrorNumber(ec.value());
}

}  // namespace quillane::host
