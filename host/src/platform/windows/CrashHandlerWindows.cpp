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

// Appends to a fixed wide buffer; never allocates, silently truncates.
class FixedWideText {
public:
    FixedWideText(wchar_t* buffer, std::size_t capacity) : buffer_(buffer), capacity_(capacity) { buffer_[0] = 0; }
    FixedWideText& add(const wchar_t* text) {
        while (text && *text && length_ + 1 < capacity_) buffer_[length_++] = *text++;
        buffer_[length_] = 0;
        return *this;
    }
    FixedWideText& addAscii(const char* text) {
        while (text && *text && length_ + 1 < capacity_) buffer_[length_++] = static_cast<wchar_t>(*text++);
        buffer_[length_] = 0;
        return *this;
    }

private:
    wchar_t* buffer_;
    std::size_t capacity_;
    std::size_t length_ = 0;
};

CrashTime localCrashTime() {
    SYSTEMTIME t{};
    GetLocalTime(&t);
    return {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond};
}

void handleCrash(EXCEPTION_POINTERS* pointers, const char* reason) {
    const DWORD self = GetCurrentThreadId();
    DWORD expected = 0;
    if (!g_owner.compare_exchange_strong(expected, self)) {
        if (expected == self) return;  // crashed again inside the handler: just end
        for (;;) Sleep(INFINITE);      // another thread is reporting and will end the process
    }

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
        info.ThreadId = self;
        info.ExceptionPointers = pointers;
        info.ClientPointers = FALSE;
        written = MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file, MiniDumpWithDataSegs,
                                    pointers ? &info : nullptr, nullptr, nullptr) != FALSE;
        CloseHandle(file);
        if (!written) DeleteFileW(path);  // a torn dump helps nobody and would contradict the message
    }

    char utf8Path[3 * (kPathCapacity + 32)];
    if (!WideCharToMultiByte(CP_UTF8, 0, path, -1, utf8Path, sizeof utf8Path, nullptr, nullptr)) utf8Path[0] = 0;
    if (spdlog::logger* logger = spdlog::default_logger_raw()) {
        try {
            const EXCEPTION_RECORD* record = pointers ? pointers->ExceptionRecord : nullptr;
            if (reason)
                SPDLOG_LOGGER_CRITICAL(logger, "CRASH: {}", reason);
            else
                SPDLOG_LOGGER_CRITICAL(logger, "CRASH: Unhandled exception at address {:#x}, code {:#x}",
                                       reinterpret_cast<std::uintptr_t>(record ? record->ExceptionAddress : nullptr),
                                       static_cast<unsigned long>(record ? record->ExceptionCode : 0));
            if (written)
                SPDLOG_LOGGER_CRITICAL(logger, "Crash dump saved to {}", utf8Path);
            else
                SPDLOG_LOGGER_CRITICAL(logger, "Crash dump could not be written to {}", utf8Path);
            logger->flush();
        } catch (...) {
        }
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
        spdlog::warn("Cannot prepare the crash dump folder: {}", e.what());
        return false;
    }
}

}  // namespace

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
