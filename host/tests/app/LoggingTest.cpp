#include "app/Logging.h"

#include "RecordingSink.h"
#include "platform/Paths.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <ctime>
#include <regex>

namespace quillane::host::test {

using spdlog::level::level_enum;

namespace {

std::size_t linesContaining(const std::filesystem::path& file, const std::string& part) {
    std::size_t n = 0;
    for (const auto& line : readLines(file)) n += line.find(part) != std::string::npos;
    return n;
}

std::string today(const char* format) {
    const std::time_t now = std::time(nullptr);
    char text[64];
    std::strftime(text, sizeof text, format, std::localtime(&now));
    return text;
}

class LoggingTest : public ::testing::Test {
protected:
    void TearDown() override { shutdownLogging(); }

    TempFolder temp;
    std::filesystem::path logFile = temp.path() / "logs" / "quillane_2026-12-05.log";
};

}  // namespace

// Linux takes the state folder from XDG_STATE_HOME; Windows asks the shell.
TEST_F(LoggingTest, DefaultFilesAreInTheStateFoldersLogs) {
    const auto previous = environment("XDG_STATE_HOME");
    setEnvironment("XDG_STATE_HOME", pathToUtf8(temp.path()));
    const std::string before = today("quillane_%Y-%m-%d.log");
    const auto path = GetLogFilePath();
    const std::string after = today("quillane_%Y-%m-%d.log");
    EXPECT_TRUE(path.filename() == before || path.filename() == after) << path;
    EXPECT_EQ(path.parent_path(), appStateFolder() / "logs");
    EXPECT_TRUE(std::filesystem::is_directory(path.parent_path()));
    if (!isWindows()) {
        EXPECT_EQ(path.parent_path(), temp.path() / "Quillane" / "logs");
    }

    // An empty path writes <name>.log there; Windows shares it between runs, so mark this run's line.
    initializeLogging("QuillaneHost", true, 1, "");
    const std::string line = "into the default file " + temp.path().filename().string();
    SPDLOG_INFO("{}", line);
    shutdownLogging();
    EXPECT_EQ(linesContaining(appStateFolder() / "logs" / "QuillaneHost.log", line), 1u);
    if (previous) setEnvironment("XDG_STATE_HOME", *previous);
    else unsetEnvironment("XDG_STATE_HOME");
}

// The logger's level filters every sink; the file never goes below debug; an
// attached sink sees only what is logged after it was attached.
TEST_F(LoggingTest, LevelsReachTheFileAndAttachedSinks) {
    struct Case {
        int level;
        std::vector<std::string> inFile, inSink;
    };
    const Case cases[] = {
        {3, {"warn", "error"}, {"warn", "error"}},
        {0, {"debug", "info", "warn", "error"}, {"trace", "debug", "info", "warn", "error"}},
        {1, {"debug", "info", "warn", "error"}, {"debug", "info", "warn", "error"}},
    };
    const std::vector<std::string> all = {"trace", "debug", "info", "warn", "error"};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.level);
        std::filesystem::remove(logFile);
        initializeLogging("QuillaneHost", true, c.level, pathToUtf8(logFile));
        SPDLOG_CRITICAL("before the sink");
        auto ui = std::make_shared<RecordingSink>();
        addLogSink(ui);
        SPDLOG_TRACE("trace line");
        SPDLOG_DEBUG("debug line");
        SPDLOG_INFO("info line {}", 42);
        SPDLOG_WARN("warn line");
        SPDLOG_ERROR("error line");
        shutdownLogging();
        for (const auto& name : all) {
            const auto in = [&](const std::vector<std::string>& names) {
                return std::count(names.begin(), names.end(), name) > 0;
            };
            EXPECT_EQ(linesContaining(logFile, name + " line"), in(c.inFile) ? 1u : 0u) << name;
            const auto seenLines = ui->lines();
            const bool seen = std::any_of(seenLines.begin(), seenLines.end(),
                                          [&](const auto& l) { return l.text.starts_with(name + " line"); });
            EXPECT_EQ(seen, in(c.inSink)) << name;
        }
        EXPECT_FALSE(ui->contains(level_enum::critical, "before the sink"));
        EXPECT_EQ(linesContaining(logFile, "before the sink"), 1u);
    }
    // The last run, at debug.
    EXPECT_EQ(linesContaining(logFile, "Logging initialized for QuillaneHost"), 1u);
    EXPECT_EQ(linesContaining(logFile, "Shutting down logging"), 1u);
    const std::regex pattern(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[info\] \[LoggingTest\.cpp:\d+\] info line 42)");
    const auto lines = readLines(logFile);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return std::regex_match(l, pattern); }),
              1);
}

namespace {

// A log view whose callback logs in turn (a warning about its own state, say).
class LoggingSink : public RecordingSink {
protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        RecordingSink::sink_it_(msg);
        if (std::string_view(msg.payload.data(), msg.payload.size()) == "outer line") SPDLOG_WARN("inner line");
    }
};

}  // namespace

TEST_F(LoggingTest, AnAttachedSinkThatLogsDoesNotWaitForItself) {
    initializeLogging("QuillaneHost", true, 1, pathToUtf8(logFile));
    auto ui = std::make_shared<LoggingSink>();
    addLogSink(ui);
    SPDLOG_INFO("outer line");
    SPDLOG_INFO("later line");
    shutdownLogging();
    EXPECT_EQ(linesContaining(logFile, "inner line"), 1u);  // the other sinks still get it
    EXPECT_TRUE(ui->contains(level_enum::info, "outer line"));
    EXPECT_FALSE(ui->contains(level_enum::warn, "inner line"));
    EXPECT_TRUE(ui->contains(level_enum::info, "later line"));
}

TEST_F(LoggingTest, SinkAddedBeforeSetUpOrAfterShutdownIsDropped) {
    auto early = std::make_shared<RecordingSink>();
    addLogSink(early);
    initializeLogging("QuillaneHost", false, 1, "");
    SPDLOG_INFO("while running");
    shutdownLogging();
    auto late = std::make_shared<RecordingSink>();
    addLogSink(late);
    SPDLOG_INFO("after shutdown");  // must not crash: a console logger remains
    EXPECT_TRUE(early->lines().empty());
    EXPECT_TRUE(late->lines().empty());
}

TEST_F(LoggingTest, SecondSetUpChangesNothing) {
    initializeLogging("First", true, 1, pathToUtf8(logFile));
    const auto otherFile = temp.path() / "other" / "other.log";
    initializeLogging("Second", true, 0, pathToUtf8(otherFile));
    SPDLOG_TRACE("not at trace");
    SPDLOG_INFO("still the first");
    shutdownLogging();
    EXPECT_EQ(linesContaining(logFile, "still the first"), 1u);
    EXPECT_EQ(linesContaining(logFile, "not at trace"), 0u);
    EXPECT_FALSE(std::filesystem::exists(otherFile));
}

// Under a non-ASCII folder too.
TEST_F(LoggingTest, RestartOnTheSameDayAppendsWithoutRotating) {
    const auto folder = temp.path() / pathFromUtf8("Zo\xC3\xAB-\xE6\x97\xA5\xE6\x9C\xAC");
    const auto file = folder / "quillane_2026-12-05.log";
    std::filesystem::create_directories(folder);
    writeFile(file, "line of the earlier run\n");
    initializeLogging("QuillaneHost", true, 1, pathToUtf8(file));
    SPDLOG_INFO("line of this run");
    shutdownLogging();
    const auto lines = readLines(file);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "line of the earlier run");
    EXPECT_EQ(linesContaining(file, "line of this run"), 1u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1);
}

TEST_F(LoggingTest, RotatesAtTenMebibytesKeepingFiveOlderFiles) {
    initializeLogging("QuillaneHost", true, 2, pathToUtf8(logFile));
    const std::string payload(1000, 'x');
    // About 75 MB: enough for the current file and more than five rotations.
    for (int i = 0; i < 72000; ++i) SPDLOG_INFO("{} {}", i, payload);
    SPDLOG_INFO("last line");
    shutdownLogging();

    const auto folder = logFile.parent_path();
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
        EXPECT_LE(std::filesystem::file_size(entry.path()), kLogFileMaxSize) << entry.path();
        if (entry.path() != logFile) {  // the current file may be small; rotated ones are full
            EXPECT_GT(std::filesystem::file_size(entry.path()), kLogFileMaxSize - 4096) << entry.path();
        }
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"quillane_2026-12-05.1.log", "quillane_2026-12-05.2.log",
                                               "quillane_2026-12-05.3.log", "quillane_2026-12-05.4.log",
                                               "quillane_2026-12-05.5.log", "quillane_2026-12-05.log"}));
    EXPECT_EQ(linesContaining(logFile, "last line"), 1u);
    // The oldest kept file continues straight into the next one.
    EXPECT_EQ(linesContaining(folder / "quillane_2026-12-05.5.log", "] 0 x"), 0u);
}

}  // namespace quillane::host::test
