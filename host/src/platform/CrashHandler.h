#pragma once

#include <filesystem>

namespace quillane::host {

struct CrashHandlerOptions {
    // Tell the user about the crash (a message box on Windows, stderr on Linux).
    // Off only for unattended runs, where a box would wait for nobody.
    bool showMessage = true;
    // Folder for crash reports; empty means "crashes" in the program's state folder.
    std::filesystem::path folder;
};

// Installs the process-wide crash handler: on Windows the unhandled-exception
// filter, which writes a minidump; on Linux handlers for SIGSEGV, SIGBUS, SIGFPE,
// SIGILL and SIGABRT on an alternate stack, which write a text report with the
// signal, the fault address and a backtrace. std::terminate enters the same path.
// Either way the crash is logged as a critical "CRASH: ..." line, the user is
// told whether the report was written, the registered clean-ups run, and the
// process ends as the crash would have ended it (by the signal, or with the
// exception code). The folder and the report's name prefix are prepared here, so
// that the crash path allocates nothing it could fail on. Call once, first thing.
// Returns false when the folder could not be prepared (crashes are still
// handled; the report then goes to the current folder).
bool installCrashHandler(const CrashHandlerOptions& options = {});

// Lets the crash handler run when the calling thread overflows its stack
// (Linux: an alternate signal stack for this thread, released when the thread
// ends; Windows: stack held back for the filter). installCrashHandler does this
// for the thread that calls it; other threads that may recurse deeply call it
// once at their start.
void prepareThreadForCrashHandling();

// The log file that the crash lines go to; logging set-up names it. On Windows
// the handler appends them to the file itself and calls no logging code (a
// crash inside a sink that holds its lock would hang there);
// on Linux it logs through the logger under a time limit and ignores this.
// An empty path lets go of the file (logging has shut down).
void setCrashLogFile(const std::filesystem::path& file);

// Something the crash handler must undo before the process ends (the tray icon,
// the single-instance guard). It runs on the crashing thread, possibly inside a
// signal handler, after the report and the log line: it must not allocate, lock
// or throw. At most 8 can be registered; returns false when full.
using CrashCleanup = void (*)() noexcept;
bool registerCrashCleanup(CrashCleanup cleanup);

// A new crash report's path: "crashes" in the program's state folder (created
// with its parents), named after the local time as crash_YYYYMMDD_HHMMSS with
// ".dmp" (Windows minidump) or ".txt" (Linux text report). The bare name
// "crash.dmp" / "crash.txt" when the state folder is unknown. Throws
// std::filesystem::filesystem_error when the folder cannot be created.
std::filesystem::path GetCrashDumpPath();

}  // namespace quillane::host
