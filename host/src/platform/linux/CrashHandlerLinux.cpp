#include "platform/CrashHandlerCommon.h"
#include "platform/linux/LastLogTimeLimit.h"

#include <spdlog/spdlog.h>

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>

namespace quillane::host {
namespace {

constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr std::size_t kPathCapacity = 4096;
constexpr std::size_t kAltStackSize = 256 * 1024;  // room for the report, the backtrace and one log line
constexpr unsigned kLogTimeoutSeconds = 3;

// Prepared at installation; the crash path only reads them.
char g_prefix[kPathCapacity] = "crash";  // "<folder>/crash_" once a folder is ready
bool g_timestamped = false;
long g_utcOffsetSeconds = 0;
bool g_showMessage = true;

std::atomic<pid_t> g_owner{0};              // thread that handles the crash
std::atomic<int> g_signalInProgress{SIGABRT};  // what a stuck log call ends the process with
// Set once the process is exiting: the logging library's registry is about to be destroyed, and
// a crash after that (a failed check at exit) must not reach a logger through it.
std::atomic<bool> g_loggingGone{false};

const char* signalName(int sig) {
    switch (sig) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGFPE: return "SIGFPE";
    case SIGILL: return "SIGILL";
    case SIGABRT: return "SIGABRT";
    default: return "signal";
    }
}

// Local time without localtime_r, which takes a lock and may not be called
// from a signal handler: the UTC offset was taken at installation.
CrashTime localCrashTime() {
    long long seconds = static_cast<long long>(std::time(nullptr)) + g_utcOffsetSeconds;
    long long days = seconds / 86400;
    long long rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    // Civil date from days since 1970-01-01 (proleptic Gregorian).
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const long long dayOfEra = days - era * 146097;
    const long long yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const long long mp = (5 * dayOfYear + 2) / 153;
    const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    const int year = static_cast<int>(yearOfEra + era * 400 + (month <= 2 ? 1 : 0));
    const int day = static_cast<int>(dayOfYear - (153 * mp + 2) / 5 + 1);
    return {year, month, day, static_cast<int>(rest / 3600), static_cast<int>(rest % 3600 / 60),
            static_cast<int>(rest % 60)};
}

bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

[[noreturn]] void endBySignal(int sig) {
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(sig, &fallback, nullptr);
    sigset_t unblock;
    sigemptyset(&unblock);
    sigaddset(&unblock, sig);
    pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr);
    raise(sig);
    _exit(128 + sig);
}

// A log call that blocks (the crash happened inside a sink, holding its mutex)
// must not keep the process alive: the alarm ends it by the original signal.
void onLogTimeout(int) { endBySignal(g_signalInProgress.load()); }

void logCrash(int sig, void* address, int code, const char* reason, const char* path, bool written) {
    if (g_loggingGone.load()) return;
    spdlog::logger* logger = spdlog::default_logger_raw();
    if (!logger) return;
    g_signalInProgress.store(sig);
    armLastLogTimeLimit(kLogTimeoutSeconds, onLogTimeout);
    try {
        if (reason)
            SPDLOG_LOGGER_CRITICAL(logger, "CRASH: {}", reason);
        else
            SPDLOG_LOGGER_CRITICAL(logger, "CRASH: Unhandled signal {} ({}) at address {:#x}, code {}", sig,
                                   signalName(sig), reinterpret_cast<std::uintptr_t>(address), code);
        if (written)
            SPDLOG_LOGGER_CRITICAL(logger, "Crash report saved to {}", path);
        else
            SPDLOG_LOGGER_CRITICAL(logger, "Crash report could not be written to {}", path);
        logger->flush();
    } catch (...) {
    }
    alarm(0);
}

void handleCrash(int sig, void* address, int code, const char* reason) {
    const auto self = static_cast<pid_t>(::syscall(SYS_gettid));
    pid_t expected = 0;
    if (!g_owner.compare_exchange_strong(expected, self)) {
        if (expected == self) return;  // crashed again inside the handler: just end
        for (;;) pause();              // another thread is reporting and will end the process
    }

    char path[kPathCapacity + 32];
    FixedText name(path, sizeof path);
    name.add(g_prefix);
    if (g_timestamped) {
        char stamp[kCrashTimeLength + 1];
        formatCrashTime(stamp, localCrashTime());
        name.add(stamp);
    }
    name.add(".txt");

    bool written = false;
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        char buffer[2048];
        FixedText report(buffer, sizeof buffer);
        const CrashTime t = localCrashTime();
        char stamp[kCrashTimeLength + 1];
        formatCrashTime(stamp, t);
        report.add("Quillane Host crash report\n");
        report.add("Signal: ").addDecimal(sig).add(" (").add(signalName(sig)).add(")\n");
        report.add("Code: ").addDecimal(code).add("\n");
        report.add("Fault address: ").addHex(reinterpret_cast<std::uintptr_t>(address)).add("\n");
        if (reason) report.add("Reason: ").add(reason).add("\n");
        report.add("Process: ").addDecimal(::getpid()).add("\n");
        report.add("Thread: ").addDecimal(self).add("\n");
        report.add("Time: ").add(stamp).add("\n");
        report.add("\nBacktrace:\n");
        written = writeAll(fd, report.data(), report.size());
        void* frames[64];
        const int count = backtrace(frames, 64);
        backtrace_symbols_fd(frames, count, fd);
        written = ::close(fd) == 0 && written;
    }

    logCrash(sig, address, code, reason, path, written);

    if (g_showMessage) {
        char buffer[kPathCapacity + 256];
        FixedText message(buffer, sizeof buffer);
        message.add("Quillane Host encountered an unexpected error and needs to close.\n\n");
        message.add(written ? "A crash report has been saved to:\n" : "A crash report could not be written to:\n");
        message.add(path).add("\n");
        writeAll(STDERR_FILENO, message.data(), message.size());
    }
    runCrashCleanups();
}

void onCrashSignal(int sig, siginfo_t* info, void*) {
    const bool fault = sig != SIGABRT && info;
    handleCrash(sig, fault ? info->si_addr : nullptr, info ? info->si_code : 0, nullptr);
    endBySignal(sig);
}

[[noreturn]] void onTerminate() noexcept {
    char buffer[512];
    FixedText reason(buffer, sizeof buffer);
    reason.add("std::terminate called");
    if (std::exception_ptr current = std::current_exception()) {
        try {
            std::rethrow_exception(current);
        } catch (const std::exception& e) {
            reason.add(" after throwing: ").add(e.what());
        } catch (...) {
            reason.add(" after throwing an exception of unknown type");
        }
    }
    handleCrash(SIGABRT, nullptr, 0, reason.data());
    endBySignal(SIGABRT);
}

bool prepareReportPrefix(const CrashHandlerOptions& options) {
    try {
        const auto folder = crashFolder(options);
        if (folder.empty()) return false;
        std::filesystem::create_directories(folder);
        const std::string prefix = (folder / "crash_").string();
        if (prefix.size() + kCrashTimeLength + 8 >= kPathCapacity) return false;
        std::memcpy(g_prefix, prefix.c_str(), prefix.size() + 1);
        g_timestamped = true;
        return true;
    } catch (const std::exception& e) {
        SPDLOG_WARN("Cannot prepare the crash report folder: {}", e.what());
        return false;
    }
}

// This thread's alternate signal stack, given back when the thread ends.
class AlternateStack {
public:
    AlternateStack() {
        void* memory = mmap(nullptr, kAltStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) return;
        stack_t stack{};
        stack.ss_sp = memory;
        stack.ss_size = kAltStackSize;
        if (sigaltstack(&stack, nullptr) == 0)
            stackMemory = memory;
        else
            munmap(memory, kAltStackSize);
    }
    ~AlternateStack() {
        if (!stackMemory) return;
        stack_t off{};
        off.ss_flags = SS_DISABLE;
        sigaltstack(&off, nullptr);
        munmap(stackMemory, kAltStackSize);
    }
    AlternateStack(const AlternateStack&) = delete;
    AlternateStack& operator=(const AlternateStack&) = delete;

private:
    void* stackMemory = nullptr;
};

}  // namespace

void setCrashLogFile(const std::filesystem::path&) {}

void prepareThreadForCrashHandling() { thread_local AlternateStack stack; }

bool installCrashHandler(const CrashHandlerOptions& options) {
    g_showMessage = options.showMessage;
    const bool prepared = prepareReportPrefix(options);

    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local)) g_utcOffsetSeconds = local.tm_gmtoff;

    // The first backtrace loads the unwinder; do it now rather than in the handler.
    void* frames[4];
    backtrace(frames, 4);

    prepareThreadForCrashHandling();

    struct sigaction action {};
    action.sa_sigaction = onCrashSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int sig : kCrashSignals) sigaddset(&action.sa_mask, sig);
    for (int sig : kCrashSignals) sigaction(sig, &action, nullptr);

    std::set_terminate(onTerminate);
    // Exit handlers run in reverse order of registration: creating the registry first makes this
    // one run before the registry's destructor.
    spdlog::default_logger_raw();
    std::atexit([] { g_loggingGone.store(true); });
    return prepared;
}

std::filesystem::path GetCrashDumpPath() {
    const auto folder = crashFolder({});
    if (folder.empty()) return "crash.txt";
    std::filesystem::create_directories(folder);
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char name[64];
    std::strftime(name, sizeof name, "crash_%Y%m%d_%H%M%S.txt", &local);
    return folder / name;
}

}  // namespace quillane::host
