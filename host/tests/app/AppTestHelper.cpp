// A child process for the tests that must crash, be killed or own the console:
//   crash <kind> <crash folder> <log file>
//   save-loop <settings file>
//   log-console <level> <log file>

#include "app/Logging.h"
#include "app/Settings.h"
#include "platform/CrashHandler.h"
#include "platform/Paths.h"
#include "TestSupport.h"

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <latch>
#include <stdexcept>
#include <string>
#include <thread>

namespace quillane::host::test {

// Outside the anonymous namespace, so that its name shows in the backtrace.
[[gnu::noinline]] void writeNear(std::uintptr_t address) { *reinterpret_cast<volatile int*>(address) = 1; }

namespace {

// A log view whose callback crashes while its mutex is held.
class CrashingSink : public spdlog::sinks::base_sink<std::mutex> {
protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        if (std::string_view(msg.payload.data(), msg.payload.size()) == "crash in the sink") writeNear(0x30);
    }
    void flush_() override {}
};

volatile int g_zero = 0;
volatile int g_one = 1;

[[gnu::noinline]] int recurse(int depth) {
    volatile char pad[1024];
    pad[0] = static_cast<char>(depth);
    if (g_zero == 12345) return pad[0];  // never: keeps the compiler from calling it infinite
    return recurse(depth + 1) + pad[0];
}

[[gnu::noinline]] void thrower() { throw std::runtime_error("boom"); }

void throwFromNoexcept() noexcept { thrower(); }

// The sanitizer would report the division itself instead of letting it trap.
[[gnu::noinline, gnu::no_sanitize_undefined]] int divide(int a, int b) { return a / b; }

void crash(const std::string& kind, const std::string& folder) {
    if (kind == "segv") writeNear(0x10);
    if (kind == "fpe") g_zero = divide(g_one, g_zero);
    if (kind == "ill") __builtin_trap();
    if (kind == "bus") test::causeBusError();
    if (kind == "abort") std::abort();
    if (kind == "terminate") throwFromNoexcept();
    if (kind == "overflow") recurse(0);
    if (kind == "thread-overflow") {
        std::thread worker([] {
            prepareThreadForCrashHandling();
            recurse(0);
        });
        worker.join();
    }
    if (kind == "two-threads") {
        std::latch ready(2);
        auto crasher = [&] {
            ready.arrive_and_wait();
            writeNear(0x20);
        };
        std::thread a(crasher), b(crasher);
        a.join();
        b.join();
    }
    if (kind == "in-sink") {
        addLogSink(std::make_shared<CrashingSink>());
        SPDLOG_INFO("crash in the sink");
    }
    if (kind == "worker-in-sink") {
        // As on a capture or network thread, which prepares itself the same way.
        addLogSink(std::make_shared<CrashingSink>());
        std::thread worker([] {
            prepareThreadForCrashHandling();
            SPDLOG_INFO("crash in the sink");
        });
        worker.join();
    }
    if (kind == "folder-gone") {
        // The report cannot be written any more: the handler must say so.
        std::filesystem::remove_all(pathFromUtf8(folder));
        writeNear(0x10);
    }
}

int runCrash(const std::string& kind, const std::string& folder, const std::string& logFile) {
    test::disableCoreDumps();
    // Registered before everything else, so it runs last: after the logging library is gone.
    if (kind == "after-exit") std::atexit([] { std::abort(); });
    CrashHandlerOptions options;
    options.folder = pathFromUtf8(folder);
    options.showMessage = !test::isWindows();  // a message box would wait for nobody
    if (!installCrashHandler(options)) return 3;
    registerCrashCleanup([]() noexcept { test::writeToStderr("cleanup one ran\n"); });
    registerCrashCleanup([]() noexcept { test::writeToStderr("cleanup two ran\n"); });
    initializeLogging("QuillaneHost", true, 1, logFile);
    SPDLOG_INFO("helper about to crash: {}", kind);
    if (kind == "after-exit") {
        shutdownLogging();
        return 0;
    }
    crash(kind, folder);
    return 2;  // the crash did not happen
}

int runSaveLoop(const std::string& file) {
    spdlog::set_level(spdlog::level::off);
    Settings settings(pathFromUtf8(file));
    for (std::uint32_t i = 1;; ++i) {
        // Sizes vary, so that a torn write would show as a truncated or mixed file.
        settings.updateAndSave([&](SettingsValues& v) {
            v.targetBitrate = i;
            v.maxBitrate = i + 1000;
            v.dismissedVersion = std::string(i % 700, static_cast<char>('a' + i % 26));
        });
    }
}

int runLogConsole(int level, const std::string& logFile) {
    initializeLogging("QuillaneHost", true, level, logFile);
    SPDLOG_TRACE("console trace line");
    SPDLOG_DEBUG("console debug line");
    SPDLOG_INFO("console info line");
    SPDLOG_WARN("console warn line");
    SPDLOG_ERROR("console error line");
    SPDLOG_CRITICAL("console critical line");
    shutdownLogging();
    return 0;
}

}  // namespace

}  // namespace quillane::host::test

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "crash" && argc == 5) return quillane::host::test::runCrash(argv[2], argv[3], argv[4]);
    if (mode == "save-loop" && argc == 3) return quillane::host::test::runSaveLoop(argv[2]);
    if (mode == "log-console" && argc == 4) return quillane::host::test::runLogConsole(std::atoi(argv[2]), argv[3]);
    return 64;
}
