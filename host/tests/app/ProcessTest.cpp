#include "app/Settings.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <random>
#include <regex>
#include <thread>

using namespace quillane::host::test;

namespace {

using namespace std::chrono_literals;

constexpr unsigned long kAccessViolation = 0xC0000005;
constexpr unsigned long kTerminateExitCode = 3;

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

std::vector<std::filesystem::path> filesIn(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> files;
    if (std::filesystem::exists(folder))
        for (const auto& e : std::filesystem::directory_iterator(folder)) files.push_back(e.path());
    return files;
}

struct CrashRun {
    TempFolder temp;
    std::filesystem::path crashes = temp.path() / "crashes";
    std::filesystem::path log = temp.path() / "logs" / "quillane.log";
    std::filesystem::path output = temp.path() / "output.txt";
    std::optional<ProcessEnd> end;

    explicit CrashRun(const std::string& kind) {
        ChildProcess child;
        EXPECT_TRUE(child.start(siblingExecutable("app_test_helper"),
                                {"crash", kind, crashes.string(), log.string()}, output));
        end = child.wait(240s);
    }
    std::string logText() const { return readFile(log); }
    std::string outputText() const { return readFile(output); }
    std::vector<std::filesystem::path> reports() const { return filesIn(crashes); }
};

// The one report, named crash_YYYYMMDD_HHMMSS with the platform's extension.
std::filesystem::path onlyReport(const CrashRun& run) {
    const auto reports = run.reports();
    EXPECT_EQ(reports.size(), 1u);
    if (reports.empty()) return {};
    const std::string name = reports[0].filename().string();
    EXPECT_TRUE(std::regex_match(name, std::regex(isWindows() ? R"(crash_\d{8}_\d{6}\.dmp)" : R"(crash_\d{8}_\d{6}\.txt)")))
        << name;
    return reports[0];
}

void expectCriticalLine(const CrashRun& run, const std::string& crashText) {
    const std::string log = run.logText();
    EXPECT_EQ(count(log, "] [critical] ["), 2u) << log;
    EXPECT_EQ(count(log, crashText), 1u) << log;
    EXPECT_EQ(count(log, isWindows() ? "Crash dump saved to " : "Crash report saved to "), 1u) << log;
}

// Ended as the crash would have ended it: by the signal on Linux, with the
// exit code on Windows.
void expectEndedBy(const CrashRun& run, const char* signal, unsigned long windowsCode) {
    ASSERT_TRUE(run.end);
    if (isWindows()) {
        EXPECT_EQ(run.end->code, windowsCode);
    } else {
        ASSERT_TRUE(run.end->signaled) << run.outputText();
        EXPECT_EQ(run.end->signal, signalNumber(signal));
    }
}

void expectCleanups(const CrashRun& run) {
    const std::string out = run.outputText();
    const auto one = out.find("cleanup one ran"), two = out.find("cleanup two ran");
    EXPECT_NE(one, std::string::npos) << out;
    EXPECT_NE(two, std::string::npos) << out;
    EXPECT_LT(one, two);
}

}  // namespace

TEST(CrashProcess, AccessViolationLeavesAReportAndTheCriticalLine) {
    CrashRun run("segv");
    ASSERT_TRUE(run.end);
    const auto report = onlyReport(run);
    if (isWindows()) {
        EXPECT_EQ(run.end->code, kAccessViolation);
        EXPECT_EQ(readFile(report).substr(0, 4), "MDMP");
        expectCriticalLine(run, "CRASH: Unhandled exception at address 0x");
        EXPECT_EQ(count(run.logText(), ", code 0xc0000005"), 1u);
    } else {
        ASSERT_TRUE(run.end->signaled) << run.outputText();
        EXPECT_EQ(run.end->signal, signalNumber("SIGSEGV"));
        const std::string text = readFile(report);
        EXPECT_NE(text.find("Signal: 11 (SIGSEGV)\n"), std::string::npos) << text;
        EXPECT_NE(text.find("Fault address: 0x0000000000000010\n"), std::string::npos) << text;
        // The backtrace names the function that faulted.
        EXPECT_NE(text.find("writeNear"), std::string::npos) << text;
        expectCriticalLine(run, "CRASH: Unhandled signal 11 (SIGSEGV) at address 0x10, code 1");
        EXPECT_NE(run.outputText().find("A crash report has been saved to:\n" + report.string()), std::string::npos);
    }
    EXPECT_NE(run.logText().find(report.filename().string()), std::string::npos);
    expectCleanups(run);
}

TEST(CrashProcess, TerminateEntersTheSameCrashPath) {
    CrashRun run("terminate");
    expectEndedBy(run, "SIGABRT", kTerminateExitCode);
    if (!isWindows()) {
        EXPECT_NE(readFile(onlyReport(run)).find("Reason: std::terminate called after throwing: boom\n"),
                  std::string::npos);
    }
    onlyReport(run);
    expectCriticalLine(run, "CRASH: std::terminate called after throwing: boom");
    expectCleanups(run);
}

TEST(CrashProcess, TwoThreadsCrashingAreHandledOnce) {
    CrashRun run("two-threads");
    expectEndedBy(run, "SIGSEGV", kAccessViolation);
    onlyReport(run);
    expectCriticalLine(run, "CRASH: Unhandled ");
    EXPECT_EQ(count(run.outputText(), "cleanup one ran"), 1u);
}

// The handler's own log line must not wait for the sink that crashed, which
// still holds its lock: the line reaches the file and the process still ends.
TEST(CrashProcess, CrashInsideAnAttachedSinkIsStillLogged) {
    CrashRun run("in-sink");
    expectEndedBy(run, "SIGSEGV", kAccessViolation);
    onlyReport(run);
    expectCriticalLine(run, "CRASH: Unhandled ");
    expectCleanups(run);
}

TEST(CrashProcess, EveryHandledSignalEndsTheProcessByThatSignal) {
    if (isWindows()) GTEST_SKIP() << "signals are Linux's";
    const std::pair<const char*, const char*> cases[] = {
        {"fpe", "SIGFPE"}, {"ill", "SIGILL"}, {"bus", "SIGBUS"}, {"abort", "SIGABRT"}, {"overflow", "SIGSEGV"},
        {"thread-overflow", "SIGSEGV"}};
    for (const auto& [kind, name] : cases) {
        SCOPED_TRACE(kind);
        const int sig = signalNumber(name);
        CrashRun run(kind);
        ASSERT_TRUE(run.end);
        ASSERT_TRUE(run.end->signaled) << run.outputText();
        EXPECT_EQ(run.end->signal, sig);
        const std::string text = readFile(onlyReport(run));
        EXPECT_NE(text.find("Signal: " + std::to_string(sig) + " ("), std::string::npos) << text;
        expectCriticalLine(run, "CRASH: Unhandled signal " + std::to_string(sig) + " (");
        expectCleanups(run);
    }
}

TEST(CrashProcess, AReportThatCannotBeWrittenIsSaidToBeMissing) {
    CrashRun run("folder-gone");
    ASSERT_TRUE(run.end);
    EXPECT_TRUE(run.reports().empty());
    const std::string log = run.logText();
    EXPECT_EQ(count(log, isWindows() ? "Crash dump could not be written to " : "Crash report could not be written to "),
              1u)
        << log;
    EXPECT_EQ(count(log, isWindows() ? "Crash dump saved to" : "Crash report saved to"), 0u);
    if (!isWindows()) {
        EXPECT_NE(run.outputText().find("A crash report could not be written to:\n"), std::string::npos);
        EXPECT_EQ(run.outputText().find("has been saved"), std::string::npos);
    }
    expectCleanups(run);
}

TEST(CrashProcess, WithoutAFolderTheReportGoesToTheStateFolder) {
    if (isWindows()) GTEST_SKIP() << "Windows asks the shell for the folder";
    TempFolder state;
    const auto previous = environment("XDG_STATE_HOME");
    setEnvironment("XDG_STATE_HOME", state.path().string());
    TempFolder temp;
    const auto log = temp.path() / "quillane.log";
    ChildProcess child;
    ASSERT_TRUE(child.start(siblingExecutable("app_test_helper"), {"crash", "segv", "", log.string()},
                            temp.path() / "output.txt"));
    const auto end = child.wait(60s);
    if (previous) setEnvironment("XDG_STATE_HOME", *previous);
    else unsetEnvironment("XDG_STATE_HOME");
    ASSERT_TRUE(end && end->signaled);
    const auto reports = filesIn(state.path() / "Quillane" / "crashes");
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(readFile(log).find("Crash report saved to " + reports[0].string()), std::string::npos);
}

// A kill at any moment of a save leaves the old file or the new one, never a torn one.
TEST(SettingsProcess, KilledWhileSavingNeverLeavesABrokenFile) {
    TempFolder temp;
    const auto file = temp.path() / "settings.json";
    std::mt19937 rng(12345);
    const int rounds = isWindows() ? 15 : 40;
    for (int round = 0; round < rounds; ++round) {
        // Each round starts afresh, so that the kill surely lands inside the child's save loop.
        std::filesystem::remove(file);
        ChildProcess child;
        ASSERT_TRUE(child.start(siblingExecutable("app_test_helper"), {"save-loop", file.string()},
                                temp.path() / "output.txt"));
        // Wait for the first save, then let it run a little before the kill.
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (!std::filesystem::exists(file) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(1ms);
        std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 40));
        child.kill();
        const auto end = child.wait(30s);
        ASSERT_TRUE(end);
        if (!isWindows()) {
            EXPECT_TRUE(end->signaled);
            EXPECT_EQ(end->signal, signalNumber("SIGKILL"));
        }
        ASSERT_TRUE(std::filesystem::exists(file)) << "round " << round;
        const std::string text = readFile(file);
        nlohmann::json saved;
        ASSERT_NO_THROW(saved = nlohmann::json::parse(text)) << "round " << round << ":\n" << text;
        ASSERT_TRUE(saved.is_object());
        EXPECT_EQ(saved.size(), 15u);
        EXPECT_EQ(saved["maxBitrate"].get<std::uint32_t>(), saved["targetBitrate"].get<std::uint32_t>() + 1000);
        EXPECT_EQ(saved["dismissedVersion"].get<std::string>().size(), saved["targetBitrate"].get<std::uint32_t>() % 700);
    }
    // The next load clears the temporary files that the kills left.
    quillane::host::Settings settings(file);
    EXPECT_TRUE(settings.load());
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(temp.path())) ++files;
    EXPECT_EQ(files, 2u);  // settings.json and the children's output
}

TEST(LoggingProcess, ConsoleShowsTheLevelArgumentAndTheFileDebugAndAbove) {
    TempFolder temp;
    const auto log = temp.path() / "logs" / "quillane.log";
    const auto output = temp.path() / "output.txt";
    ChildProcess child;
    ASSERT_TRUE(child.start(siblingExecutable("app_test_helper"), {"log-console", "0", log.string()}, output));
    const auto end = child.wait(60s);
    ASSERT_TRUE(end && end->exited && end->code == 0);
    const auto console = readLines(output);
    const std::regex consoleLine(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[(\x1b\[[0-9;]*m)?(\w+)(\x1b\[[0-9;]*m)?\] \[QuillaneHost\] console (\w+) line)");
    std::vector<std::string> levels;
    for (const auto& line : console) {
        std::smatch m;
        if (std::regex_match(line, m, consoleLine)) {
            levels.push_back(m[2]);
            EXPECT_EQ(m[2].str().substr(0, 3), m[4].str().substr(0, 3)) << line;
        }
    }
    EXPECT_EQ(levels, (std::vector<std::string>{"trace", "debug", "info", "warning", "error", "critical"}));
    const std::string file = readFile(log);
    EXPECT_EQ(file.find("console trace line"), std::string::npos);
    EXPECT_NE(file.find("] [debug] [AppTestHelper.cpp:"), std::string::npos) << file;
    EXPECT_NE(file.find("console critical line"), std::string::npos);
}

TEST(LoggingProcess, FileSinkFailureIsRepeatedThroughTheNewLogger) {
    TempFolder temp;
    const auto output = temp.path() / "output.txt";
    ChildProcess child;
    ASSERT_TRUE(child.start(siblingExecutable("app_test_helper"), {"log-console", "1", "quillane.log"}, output));
    const auto end = child.wait(60s);
    ASSERT_TRUE(end && end->exited && end->code == 0);
    const std::string text = readFile(output);
    EXPECT_EQ(count(text, "Failed to create file logger: "), 2u) << text;
    EXPECT_EQ(count(text, "] [QuillaneHost] Failed to create file logger: "), 1u) << text;
    EXPECT_EQ(count(text, "console info line"), 1u);
}
