#pragma once

#include <windows.h>

namespace quillane::host {

// The process-wide unhandled-exception filter that installCrashHandler sets:
// writes the minidump, logs the crash, tells the user, runs the clean-ups.
// Always returns EXCEPTION_EXECUTE_HANDLER, so that the process ends.
LONG WINAPI UnhandledExceptionHandler(EXCEPTION_POINTERS* pointers);

// Exception code recorded in the dump when std::terminate ends the process.
constexpr DWORD kTerminateExceptionCode = 0xE0000001;
// Exit code after std::terminate, the same as abort()'s.
constexpr UINT kTerminateExitCode = 3;

}  // namespace quillane::host
