#pragma once

namespace quillane::host {

// The program's version: the welcome message, the log and the update check's user agent.
inline constexpr const char* kHostVersion = "1.1.9";

}  // namespace quillane::host
