#pragma once

// Shared by the platform crash handlers; not for use outside platform/.

#include "platform/CrashHandler.h"
#include "platform/Paths.h"

namespace quillane::host {

// Runs the registered clean-ups, in registration order.
void runCrashCleanups() noexcept;

// The folder that the options name, or "crashes" in the state folder; empty when unknown.
std::filesystem::path crashFolder(const CrashHandlerOptions& options);

struct CrashTime {
    int year, month, day, hour, minute, second;
};
constexpr int kCrashTimeLength = 15;  // "YYYYMMDD_HHMMSS"

// Writes "YYYYMMDD_HHMMSS" and a terminating NUL (16 chars) to out.
void formatCrashTime(char* out, const CrashTime& time);

}  // namespace quillane::host
