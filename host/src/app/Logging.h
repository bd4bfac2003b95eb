#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>

namespace spdlog::sinks {
class sink;
}

namespace quillane::host {

inline constexpr std::size_t kLogFileMaxSize = 10 * 1024 * 1024;  // bytes per file
inline constexpr std::size_t kLogFileMaxFiles = 5;                // rotated files kept beside the current one
inline constexpr const char* kConsoleLogPattern = "[%Y-%m-%d %H:%M:%S.%e] [%^%l%$] [%n] %v";
inline constexpr const char* kFileLogPattern = "[%Y-%m-%d %H:%M:%S.%e] [%l] [%s:%#] %v";

// Builds the process-wide default logger: a colour console sink at `level`, a
// rotating file sink at debug when fileLogging is on (logPath is UTF-8; empty
// means "<name>.log" in the state folder's "logs"), and a distributing sink to
// which addLogSink attaches further sinks. Level numbers are spdlog's: 0 trace
// ... 6 off. A second call changes nothing. When the file sink cannot be created
// the program goes on without it and the warning is logged again through the
// new logger, so that the console (and later the UI) shows it.
void initializeLogging(const std::string& name, bool fileLogging, int level, const std::string& logPath);

// Attaches a sink (the UI's log view) to the default logger. Safe while other
// threads log. Does nothing before initializeLogging or after shutdownLogging.
void addLogSink(std::shared_ptr<spdlog::sinks::sink> sink);

// Flushes and drops the logger. Lines logged afterwards still reach the console.
void shutdownLogging();

// The log file for a run started now: "logs/quillane_YYYY-MM-DD.log" (local
// date) in the state folder, creating the folder; the bare name "quillane.log"
// when the state folder is unknown. Throws std::filesystem::filesystem_error
// when the folder cannot be created.
std::filesystem::path GetLogFilePath();

}  // namespace quillane::host
