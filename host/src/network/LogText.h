#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/RateLimiter.h"  // the limiters of peer-caused log lines

namespace quillane::host {

inline constexpr std::size_t kLogTextLimit = 128;

// Text that a peer chose, made safe for one log line: at most about
// `limit` bytes of it are kept (cut on a character boundary, with a note of
// the full length), control bytes and invalid UTF-8 are written as \xHH, C1 controls and
// bidirectional formatting characters as \uHHHH.
std::string logSafeText(std::string_view text, std::size_t limit = kLogTextLimit);

}  // namespace quillane::host
