#include "app/Logging.h"

#include "app/AttachedSinks.h"
#include "platform/CrashHandler.h"
#include "platform/Inheritance.h"
#include "platform/Paths.h"

#include <fmt/chrono.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <stdexcept>
#include <vector>

namespace quillane::host {
namespace {

// Written on the main thread only (set-up, attach, shutdown).
std::shared_ptr<spdlog::logger> g_logger;
std::shared_ptr<AttachedSinks> g_attachedSinks;
bool g_loggingInitialized = false;

spdlog::level::level_enum toLevel(int level) {
    return static_cast<spdlog::level::level_enum>(std::clamp(level, 0, 6));
}

std::shared_ptr<spdlog::sinks::sink> makeConsoleSink(spdlog::level::level_enum level) {
    auto sink = std::make_shared<spdlog::sinks::stdout_color_sink_mt>(spdlog::color_mode::automatic);
    sink->set_level(level);
    sink->set_pattern(kConsoleLogPattern);
    return sink;
}

std::filesystem::path chooseLogFile(const std::string& name, const std::string& logPath) {
    if (!logPath.empty()) return pathFromUtf8(logPath);
    const auto state = appStateFolder();
    const auto folder = (state.empty() ? std::filesystem::path(".") : state) / "logs";
    std::filesystem::create_directories(folder);
    return folder / pathFromUtf8(name + ".log");
}

std::shared_ptr<spdlog::sinks::sink> makeFileSink(const std::string& name, const std::string& logPath) {
    const auto file = chooseLogFile(name, logPath);
    if (!file.has_parent_path())
        throw std::runtime_error("log path \"" + logPath + "\" names no folder");
    std::filesystem::create_directories(file.parent_path());
    // The library takes the platform's own file-name type, so non-ASCII folders
    // reach the same file on Windows too.
    // Each file the sink opens (again at every rotation) stays out of programs the host starts.
    // This runs under the sink's lock, so a failure goes to stderr, not back into the log.
    spdlog::file_event_handlers handlers;
    handlers.after_open = [](const spdlog::filename_t&, std::FILE* stream) {
        if (const int error = keepFileFromChildren(stream))
            std::fprintf(stderr, "The log file stays open in programs the host starts (error %d)\n", error);
    };
    auto sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(
        file.string<spdlog::filename_t::value_type>(), kLogFileMaxSize, kLogFileMaxFiles, false, handlers);
    sink->set_level(spdlog::level::debug);
    sink->set_pattern(kFileLogPattern);
    setCrashLogFile(file);
    SPDLOG_INFO("Log file: {}", pathToUtf8(file));
    return sink;
}

}  // namespace

void initializeLogging(const std::string& name, bool fileLogging, int level, const std::string& logPath) {
    if (g_loggingInitialized) return;

    std::vector<spdlog::sink_ptr> sinks{makeConsoleSink(toLevel(level))};
    std::string fileFailure;
    if (fileLogging) {
        try {
            sinks.push_back(makeFileSink(name, logPath));
        } catch (const std::exception& e) {
            fileFailure = e.what();
            SPDLOG_WARN("Failed to create file logger: {}", fileFailure);
        }
    }
    // Sinks attached later join this one, so that attaching never changes the
    // logger's own sink list while another thread walks it.
    g_attachedSinks = std::make_shared<AttachedSinks>();
    sinks.push_back(g_attachedSinks);

    g_logger = std::make_shared<spdlog::logger>(name, sinks.begin(), sinks.end());
    g_logger->set_level(toLevel(level));
    g_logger->flush_on(spdlog::level::warn);
    spdlog::set_default_logger(g_logger);
    g_loggingInitialized = true;

    if (!fileFailure.empty()) SPDLOG_WARN("Failed to create file logger: {}", fileFailure);
    SPDLOG_INFO("Logging initialized for {}", name);
}

void addLogSink(std::shared_ptr<spdlog::sinks::sink> sink) {
    if (!g_loggingInitialized || !g_attachedSinks || !sink) return;
    g_attachedSinks->add(std::move(sink));
}

void shutdownLogging() {
    if (!g_loggingInitialized) return;
    if (spdlog::logger* logger = spdlog::default_logger_raw()) logger->info("Shutting down logging");
    spdlog::shutdown();
    setCrashLogFile({});  // the file is the logger's no more
    g_logger.reset();
    g_attachedSinks.reset();
    g_loggingInitialized = false;
    // The library leaves no default logger behind; a late line from a destructor
    // or the crash handler would then dereference nothing. Keep a console one.
    spdlog::set_default_logger(std::make_shared<spdlog::logger>("", makeConsoleSink(spdlog::level::trace)));
}

std::filesystem::path GetLogFilePath() {
    const auto state = appStateFolder();
    if (state.empty()) return "quillane.log";
    const auto folder = state / "logs";
    std::filesystem::create_directories(folder);
    return folder / fmt::format("quillane_{:%Y-%m-%d}.log", fmt::localtime(std::time(nullptr)));
}

}  // namespace quillane::host
