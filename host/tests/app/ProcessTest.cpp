#include "app/Settings.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <random>
#include <regex>
#include <thread>


namespace quillane::host::test {

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

    // The report goes to `folder`, by default the run's own crashes folder.
    explicit CrashRun(const std::string& kind, std::optional<std::string> folder = {}) {
        ChildProcess child;
        EXPECT_TRUE(child.start(siblingExecutable("app_test_helper"),
                                {"crash", kind, folder.value_or(crashes.string()), log.string()}, output));
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

}  // namespace

// Each crash leaves one report, two critical lines naming it, runs the
// clean-ups once in order, and ends the process as the crash would have.
TEST(CrashProcess, EveryCrashLeavesAReportAndTheCriticalLine) {
    struct Kind {
        const char* kind;
        const char* signal;
        unsigned long windowsCode;  // 0: Linux only
        const char* critical;       // empty: the signal's own line
    };
    const Kind kinds[] = {
        {"segv", "SIGSEGV", kAccessViolation, ""},
        {"terminate", "SIGABRT", kTerminateExitCode, "CRASH: std::terminate called after throwing: boom"},
        {"two-threads", "SIGSEGV", kAccessViolation, ""},
        // The handler's line must not wait for the sink that crashed holding its lock.
        {"in-sink", "SIGSEGV", kAccessViolation, ""},
        {"worker-in-sink", "SIGSEGV", kAccessViolation, ""},
        {"fpe", "SIGFPE", 0, ""},
        {"ill", "SIGILL", 0, ""},
        {"bus", "SIGBUS", 0, ""},
        {"abort", "SIGABRT", 0, ""},
        {"overflow", "SIGSEGV", 0, ""},
        // Wine ends a thread that overflows its stack without running any
        // handler (it keeps no stack in reserve for one), so Linux only here.
        {"thread-overflow", "SIGSEGV", 0, ""},
    };
    for (const auto& k : kinds) {
        if (isWindows() && k.windowsCode == 0) continue;
        SCOPED_TRACE(k.kind);
        CrashRun run(k.kind);
        ASSERT_TRUE(run.end);
        const int sig = signalNumber(k.signal);
        if (isWindows()) {
            EXPECT_EQ(run.end->code, k.windowsCode);
        } else {
            ASSERT_TRUE(run.end->signaled) << run.outputText();
            EXPECT_EQ(run.end->signal, sig);
        }
        const auto report = onlyReport(run);
        const std::string text = readFile(report);
        std::string critical = k.critical;
        if (critical.empty()) critical = isWindows() ? "CRASH: Unhandled exception at address 0x"
                                                     : "CRASH: Unhandled signal " + std::to_string(sig) + " (";
        const std::string log = run.logText();
        EXPECT_EQ(count(log, "] [critical] ["), 2u) << log;
        EXPECT_EQ(count(log, critical), 1u) << log;
        EXPECT_EQ(count(log, isWindows() ? "Crash dump saved to " : "Crash report saved to "), 1u) << log;
        EXPECT_NE(log.find(report.filename().string()), std::string::npos);
        const std::string out = run.outputText();
        EXPECT_EQ(count(out, "cleanup one ran"), 1u) << out;
        EXPECT_LT(out.find("cleanup one ran"), out.find("cleanup two ran")) << out;
        if (isWindows()) {
            EXPECT_EQ(text.substr(0, 4), "MDMP");
        } else if (std::string(k.kind) == "terminate") {
            EXPECT_NE(text.find("Reason: std::terminate called after throwing: boom\n"), std::string::npos) << text;
        } else {
            EXPECT_NE(text.find("Signal: " + std::to_string(sig) + " ("), std::string::npos) << text;
        }
        if (std::string(k.kind) != "segv") continue;
        if (isWindows()) {
            EXPECT_EQ(count(log, ", code 0xc0000005"), 1u);
        } else {
            EXPECT_NE(text.find("Fault address: 0x0000000000000010\n"), std::string::npos) << text;
            EXPECT_NE(text.find("writeNear"), std::string::npos) << text;  // the backtrace names the faulting function
            EXPECT_EQ(count(log, "CRASH: Unhandled signal 11 (SIGSEGV) at address 0x10, code 1"), 1u);
            EXPECT_NE(out.find("A crash report has been saved to:\n" + report.string()), std::string::npos);
        }
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
    EXPECT_NE(run.outputText().find("cleanup two ran"), std::string::npos);
}

TEST(CrashProcess, WithoutAFolderTheReportGoesToTheStateFolder) {
    if (isWindows()) GTEST_SKIP() << "Windows asks the shell for the folder";
    TempFolder state;
    const auto previous = environment("XDG_STATE_HOME");
    setEnvironment("XDG_STATE_HOME", state.path().string());
    CrashRun run("segv", "");
    if (previous) setEnvironment("XDG_STATE_HOME", *previous);
    else unsetEnvironment("XDG_STATE_HOME");
    ASSERT_TRUE(run.end && run.end->signaled);
    const auto reports = filesIn(state.path() / "Quillane" / "crashes");
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(run.logText().find("Crash report saved to " + reports[0].string()), std::string::npos);
}

// A crash while the process exits, after the logging library is gone, still leaves its report.
TEST(CrashProcess, ACrashAfterExitBeganStillLeavesItsReport) {
    if (isWindows()) GTEST_SKIP() << "exit handlers that crash are a Linux concern here";
    CrashRun run("after-exit");
    ASSERT_TRUE(run.end && run.end->signaled) << run.outputText();
    EXPECT_EQ(run.end->signal, signalNumber("SIGABRT"));
    const auto report = onlyReport(run);
    EXPECT_NE(readFile(report).find("Signal: 6 ("), std::string::npos);
    EXPECT_NE(run.outputText().find("A crash report has been saved to:\n" + report.string()), std::string::npos)
        << run.outputText();
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
    EXPECT_EQ(filesIn(temp.path()).size(), 2u);  // settings.json and the children's output
}

// The console shows the level argument's lines; the file debug and above.
TEST(LoggingProcess, ConsoleAndFileGetTheirLevels) {
    TempFolder temp;
    const auto output = temp.path() / "output.txt";
    const auto log = temp.path() / "logs" / "quillane.log";
    const auto run = [&](const char* level, const std::string& file) {
        ChildProcess child;
        EXPECT_TRUE(child.start(siblingExecutable("app_test_helper"), {"log-console", level, file}, output));
        const auto end = child.wait(60s);
        EXPECT_TRUE(end && end->exited && end->code == 0);
    };
    run("0", log.string());
    const std::regex consoleLine(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[(\x1b\[[0-9;]*m)?(\w+)(\x1b\[[0-9;]*m)?\] \[QuillaneHost\] console (\w+) line)");
    std::vector<std::string> levels;
    for (const auto& line : readLines(output)) {
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

    // A bare file name: reported before and through the new logger, and no file is made.
    std::filesystem::remove(output);
    run("1", "quillane.log");
    EXPECT_FALSE(std::filesystem::exists("quillane.log"));
    const std::string text = readFile(output);
    EXPECT_EQ(count(text, "Failed to create file logger: "), 2u) << text;
    EXPECT_EQ(count(text, "] [QuillaneHost] Failed to create file logger: "), 1u) << text;
    EXPECT_EQ(count(text, "Log file: "), 0u);
    EXPECT_EQ(count(text, "console info line"), 1u);
}

}  // namespace quillane::host::test
