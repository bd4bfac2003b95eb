#include "platform/windows/CrashHandlerWindows.h"

#include "platform/CrashHandlerCommon.h"

#include <spdlog/spdlog.h>

#include <dbghelp.h>

#include <atomic>
#include <cstring>
#include <cstdint>
#include <exception>

namespace quillane::host {
namespace {

constexpr std::size_t kPathCapacity = 1024;

// Prepared at installation; the crash path only reads them.
wchar_t g_prefix[kPathCapacity] = L"crash";  // "<folder>\crash_" once a folder is ready
bool g_timestamped = false;
bool g_showMessage = true;
std::atomic<DWORD> g_owner{0};  // thread that handles the crash
std::atomic<DWORD> g_reporter{0};  // thread that writes its report
constexpr SIZE_T kReportStackSize = 1024 * 1024;

// Appends to a fixed wide buffer; never allocates, silently truncates.
class FixedWideText {
public:
    FixedWideText(wchar_t* buffer, std::size_t capacity) : buffer(buffer), capacity(capacity) { buffer[0] = 0; }
    FixedWideText& add(const wchar_t* text) {
        while (text && *text && length + 1 < capacity) buffer[length++] = *text++;
        buffer[length] = 0;
        return *this;
    }
    FixedWideText& addAscii(const char* text) {
        while (text && *text && length + 1 < capacity) buffer[length++] = static_cast<wchar_t>(*text++);
        buffer[length] = 0;
        return *this;
    }

private:
    wchar_t* buffer;
    std::size_t capacity;
    std::size_t length = 0;
};

// The log file for the crash lines, opened only when they are written: a
// handle held for the whole run would pin the file, and the logger's rotation
// could then neither rename it nor delete the oldest one.
wchar_t g_logPath[kPathCapacity] = L"";
constexpr DWORD kLogFlushTimeoutMs = 1000;

// One line in the file log's pattern, "[date time.ms] [critical] [file:line] text",
// written straight to the file: no lock of the logging library is taken.
void appendCrashLogLine(int sourceLine, const char* message) {
    if (g_logPath[0] == 0) return;
    SYSTEMTIME t{};
    GetLocalTime(&t);
    char buffer[4096];
    FixedText line(buffer, sizeof buffer);
    line.add("[").addDecimal(t.wYear, 4).add("-").addDecimal(t.wMonth, 2).add("-").addDecimal(t.wDay, 2);
    line.add(" ").addDecimal(t.wHour, 2).add(":").addDecimal(t.wMinute, 2).add(":").addDecimal(t.wSecond, 2);
    line.add(".").addDecimal(t.wMilliseconds, 3).add("] [critical] [CrashHandlerWindows.cpp:");
    line.addDecimal(sourceLine).add("] ").add(message).add("\n");
    // Shared like the logger's own handle; never creates a file logging did not.
    HANDLE file = CreateFileW(g_logPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD done = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &done, nullptr);
    CloseHandle(file);
}

DWORD WINAPI flushLog(void*) {
    if (spdlog::logger* logger = spdlog::default_logger_raw()) {
        try {
            logger->flush();
        } catch (...) {
            // Nothing to report to: the process is ending.
        }
    }
    return 0;
}

// Lines logged just before the crash may still sit in the file sink's buffer.
// The flush runs on a thread of its own and is given up after `timeoutMs`: if
// the crash happened inside a sink holding its lock, it would wait forever.
void flushLogWithin(DWORD timeoutMs) {
    HANDLE thread = CreateThread(nullptr, 64 * 1024, flushLog, nullptr, 0, nullptr);
    if (!thread) return;
    WaitForSingleObject(thread, timeoutMs);
    CloseHandle(thread);
}

CrashTime localCrashTime() {
    SYSTEMTIME t{};
    GetLocalTime(&t);
    return {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond};
}

struct CrashReport {
    EXCEPTION_POINTERS* pointers;
    const char* reason;  // null for an exception, which the dump and the log line describe
    DWORD thread;        // the crashing thread
};

// The dump, the log lines, the user's box and the clean-ups.
void writeCrashReport(const CrashReport& report) {
    EXCEPTION_POINTERS* pointers = report.pointers;
    const char* reason = report.reason;
    wchar_t path[kPathCapacity + 32];
    FixedWideText name(path, kPathCapacity + 32);
    name.add(g_prefix);
    if (g_timestamped) {
        char stamp[kCrashTimeLength + 1];
        formatCrashTime(stamp, localCrashTime());
        name.addAscii(stamp);
    }
    name.add(L".dmp");

    bool written = false;
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        MINIDUMP_EXCEPTION_INFORMATION info{};
        info.ThreadId = report.thread;
        info.ExceptionPointers = pointers;
        info.ClientPointers = FALSE;
        written = MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file, MiniDumpWithDataSegs,
                                    pointers ? &info : nullptr, nullptr, nullptr) != FALSE;
        CloseHandle(file);
        if (!written) DeleteFileW(path);  // a torn dump helps nobody and would contradict the message
    }

    char utf8Path[3 * (kPathCapacity + 32)];
    if (!WideCharToMultiByte(CP_UTF8, 0, path, -1, utf8Path, sizeof utf8Path, nullptr, nullptr)) utf8Path[0] = 0;
    flushLogWithin(kLogFlushTimeoutMs);
    {
        char buffer[sizeof utf8Path + 512];
        FixedText line(buffer, sizeof buffer);
        const EXCEPTION_RECORD* record = pointers ? pointers->ExceptionRecord : nullptr;
        if (reason) {
            line.add("CRASH: ").add(reason);
        } else {
            line.add("CRASH: Unhandled exception at address ")
                .addShortHex(reinterpret_cast<std::uintptr_t>(record ? record->ExceptionAddress : nullptr))
                .add(", code ")
                .addShortHex(record ? record->ExceptionCode : 0);
        }
        appendCrashLogLine(__LINE__, buffer);
        FixedText saved(buffer, sizeof buffer);
        saved.add(written ? "Crash dump saved to " : "Crash dump could not be written to ").add(utf8Path);
        appendCrashLogLine(__LINE__, buffer);
    }

    if (g_showMessage) {
        wchar_t buffer[kPathCapacity + 512];
        FixedWideText message(buffer, kPathCapacity + 512);
        message.add(L"Quillane Host encountered an unexpected error and needs to close.\n\n");
        message.add(written ? L"A crash dump has been saved to:\n" : L"A crash dump could not be written to:\n");
        message.add(path);
        message.add(L"\n\nPlease report this issue on our Discord server.");
        MessageBoxW(nullptr, buffer, L"Quillane Host - Error", MB_ICONERROR);
    }
    // After the box: a new instance started meanwhile still finds this one running.
    runCrashCleanups();
}

DWORD WINAPI reportCrash(void* report) {
    writeCrashReport(*static_cast<const CrashReport*>(report));
    return 0;
}

void handleCrash(EXCEPTION_POINTERS* pointers, const char* reason) {
    const DWORD self = GetCurrentThreadId();
    if (self == g_reporter.load()) return;  // crashed inside the report: just end
    DWORD expected = 0;
    if (!g_owner.compare_exchange_strong(expected, self)) {
        if (expected == self) return;  // crashed again inside the handler: just end
        for (;;) Sleep(INFINITE);      // another thread is reporting and will end the process
    }
    // The report runs on a thread of its own with a stack of its own: a thread
    // that overflowed its stack has next to nothing left for the dump.
    CrashReport report{pointers, reason, self};
    HANDLE reporter = CreateThread(nullptr, kReportStackSize, reportCrash, &report, CREATE_SUSPENDED, nullptr);
    if (!reporter) {
        writeCrashReport(report);
        return;
    }
    g_reporter.store(GetThreadId(reporter));
    ResumeThread(reporter);
    WaitForSingleObject(reporter, INFINITE);
    CloseHandle(reporter);
}

[[noreturn]] void onTerminate() noexcept {
    char buffer[512] = "std::terminate called";
    std::size_t length = std::strlen(buffer);
    auto add = [&](const char* text) {
        while (*text && length + 1 < sizeof buffer) buffer[length++] = *text++;
        buffer[length] = 0;
    };
    if (std::exception_ptr current = std::current_exception()) {
        try {
            std::rethrow_exception(current);
        } catch (const std::exception& e) {
            add(" after throwing: ");
            add(e.what());
        } catch (...) {
            add(" after throwing an exception of unknown type");
        }
    }
    CONTEXT context{};
    RtlCaptureContext(&context);
    EXCEPTION_RECORD record{};
    record.ExceptionCode = kTerminateExceptionCode;
    record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
    record.ExceptionAddress = reinterpret_cast<void*>(context.Rip);
    EXCEPTION_POINTERS pointers{&record, &context};
    handleCrash(&pointers, buffer);
    TerminateProcess(GetCurrentProcess(), kTerminateExitCode);
    for (;;) Sleep(INFINITE);
}

bool prepareDumpPrefix(const CrashHandlerOptions& options) {
    try {
        const auto folder = crashFolder(options);
        if (folder.empty()) return false;
        std::filesystem::create_directories(folder);
        const std::wstring prefix = (folder / L"crash_").wstring();
        if (prefix.size() + kCrashTimeLength + 8 >= kPathCapacity) return false;
        wmemcpy(g_prefix, prefix.c_str(), prefix.size() + 1);
        g_timestamped = true;
        return true;
    } catch (const std::exception& e) {
        SPDLOG_WARN("Cannot prepare the crash dump folder: {}", e.what());
        return false;
    }
}

}  // namespace

void setCrashLogFile(const std::filesystem::path& file) {
    const std::wstring path = file.wstring();
    g_logPath[0] = 0;
    if (path.size() < kPathCapacity) wmemcpy(g_logPath, path.c_str(), path.size() + 1);
}

void prepareThreadForCrashHandling() {
    // Leaves stack for the filter when this thread overflows its stack.
    ULONG guarantee = 64 * 1024;
    SetThreadStackGuarantee(&guarantee);
}

LONG WINAPI UnhandledExceptionHandler(EXCEPTION_POINTERS* pointers) {
    handleCrash(pointers, nullptr);
    return EXCEPTION_EXECUTE_HANDLER;
}

bool installCrashHandler(const CrashHandlerOptions& options) {
    g_showMessage = options.showMessage;
    const bool prepared = prepareDumpPrefix(options);
    prepareThreadForCrashHandling();
    SetUnhandledExceptionFilter(UnhandledExceptionHandler);
    std::set_terminate(onTerminate);
    return prepared;
}

std::filesystem::path GetCrashDumpPath() {
    const auto folder = crashFolder({});
    if (folder.empty()) return L"crash.dmp";
    std::filesystem::create_directories(folder);
    char stamp[kCrashTimeLength + 1];
    formatCrashTime(stamp, localCrashTime());
    return folder / (std::string("crash_") + stamp + ".dmp");
}

}  // namespace quillane::host
