#pragma once

#include <boost/system/error_code.hpp>

namespace quillane::host {

// True for accept errors that concern one incoming connection (it was reset or aborted before it
// was taken) rather than the listener or the process, so the next accept may start at once.
bool isIncomingConnectionError(const boost::system::error_code& ec);
// The platform's half of it: whether a system error number is one of those.
bool isIncomingConnectionErrorNumber(int error);

}  // namespace quillane::host
