#include "TestSupport.h"

#include <winsock2.h>
#include <windows.h>

#include <cstdlib>

namespace quillane::host::test {
namespace {

std::wstring wide(const std::string& utf8) {
    if (utf8.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

// Quoting for CommandLineToArgvW / the C runtime's argument parser.
void appendQuoted(std::wstring& line, const std::wstring& argument) {
    line += L'"';
    std::size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') line.append(backslashes * 2 + 1, L'\\');
        else line.append(backslashes, L'\\');
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, L'\\');
    line += L'"';
}

}  // namespace

bool tcpPortBindable(std::uint16_t port) {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started) return false;
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    const bool bound = bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    closesocket(s);
    return bound;
}

void setEnvironment(const std::string& name, const std::string& value) {
    SetEnvironmentVariableW(wide(name).c_str(), wide(value).c_str());
    _putenv_s(name.c_str(), value.c_str());
}

void unsetEnvironment(const std::string& name) {
    SetEnvironmentVariableW(wide(name).c_str(), nullptr);
    _putenv_s(name.c_str(), "");
}

std::optional<std::string> environment(const std::string& name) {
    if (const char* value = std::getenv(name.c_str()); value && *value) return value;
    return std::nullopt;
}

std::filesystem::path siblingExecutable(const std::string& name) {
    wchar_t self[MAX_PATH * 4];
    const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH * 4);
    return std::filesystem::path(std::wstring(self, n)).parent_path() / (name + ".exe");
}

bool isWindows() { return true; }

int signalNumber(const std::string&) { return -1; }

struct ChildProcess::State {
    PROCESS_INFORMATION process{};
    bool reaped = false;
};

ChildProcess::~ChildProcess() {
    if (state_) {
        if (!state_->reaped) {
            TerminateProcess(state_->process.hProcess, 1);
            WaitForSingleObject(state_->process.hProcess, 10000);
        }
        CloseHandle(state_->process.hProcess);
        CloseHandle(state_->process.hThread);
    }
    delete state_;
}

bool ChildProcess::start(const std::filesystem::path& executable, const std::vector<std::string>& arguments,
                         const std::filesystem::path& outputFile) {
    std::wstring line;
    appendQuoted(line, executable.wstring());
    for (const auto& a : arguments) {
        line += L' ';
        appendQuoted(line, wide(a));
    }
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE out = CreateFileW(outputFile.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) return false;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out;
    startup.hStdError = out;
    auto* state = new State;
    const BOOL ok = CreateProcessW(executable.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                   &startup, &state->process);
    CloseHandle(out);
    if (!ok) {
        delete state;
        return false;
    }
    state_ = state;
    return true;
}

unsigned long ChildProcess::id() const { return state_ ? state_->process.dwProcessId : 0; }

void ChildProcess::kill() {
    if (state_ && !state_->reaped) TerminateProcess(state_->process.hProcess, 1);
}

std::optional<ProcessEnd> ChildProcess::wait(std::chrono::milliseconds timeout) {
    if (!state_ || state_->reaped) return std::nullopt;
    if (WaitForSingleObject(state_->process.hProcess, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0)
        return std::nullopt;
    state_->reaped = true;
    DWORD code = 0;
    GetExitCodeProcess(state_->process.hProcess, &code);
    ProcessEnd end;
    end.exited = true;
    end.code = code;
    return end;
}

}  // namespace quillane::host::test

#include <cstring>

namespace quillane::host::test {

void disableCoreDumps() {
    // No Windows Error Reporting dialog for the crashes a helper causes.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
}

void writeToStderr(const char* text) noexcept {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
}

bool causeBusError() { return false; }

}  // namespace quillane::host::test
