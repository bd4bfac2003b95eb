#include "TestSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

namespace quillane::host::test {

bool tcpPortBindable(std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return bound;
}

void setEnvironment(const std::string& name, const std::string& value) { ::setenv(name.c_str(), value.c_str(), 1); }

void unsetEnvironment(const std::string& name) { ::unsetenv(name.c_str()); }

std::optional<std::string> environment(const std::string& name) {
    if (const char* value = std::getenv(name.c_str())) return value;
    return std::nullopt;
}

std::filesystem::path siblingExecutable(const std::string& name) {
    return std::filesystem::read_symlink("/proc/self/exe").parent_path() / name;
}

bool isWindows() { return false; }

int signalNumber(const std::string& name) {
    const std::pair<const char*, int> known[] = {{"SIGSEGV", SIGSEGV}, {"SIGBUS", SIGBUS}, {"SIGFPE", SIGFPE},
                                                 {"SIGILL", SIGILL},   {"SIGABRT", SIGABRT}, {"SIGKILL", SIGKILL}};
    for (const auto& [n, number] : known)
        if (name == n) return number;
    return -1;
}

struct ChildProcess::State {
    pid_t pid = -1;
    bool reaped = false;
};

ChildProcess::~ChildProcess() {
    if (state_ && !state_->reaped) {
        ::kill(state_->pid, SIGKILL);
        ::waitpid(state_->pid, nullptr, 0);
    }
    delete state_;
}

bool ChildProcess::start(const std::filesystem::path& executable, const std::vector<std::string>& arguments,
                         const std::filesystem::path& outputFile) {
    std::vector<std::string> all{executable.string()};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int out = ::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (out < 0) return false;
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(out);
        return false;
    }
    if (pid == 0) {
        ::dup2(out, STDOUT_FILENO);
        ::dup2(out, STDERR_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(out);
    state_ = new State{pid};
    return true;
}

unsigned long ChildProcess::id() const { return state_ ? static_cast<unsigned long>(state_->pid) : 0; }

void ChildProcess::kill() {
    if (state_ && !state_->reaped) ::kill(state_->pid, SIGKILL);
}

std::optional<ProcessEnd> ChildProcess::wait(std::chrono::milliseconds timeout) {
    if (!state_ || state_->reaped) return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(state_->pid, &status, WNOHANG);
        if (done == state_->pid) {
            state_->reaped = true;
            ProcessEnd end;
            if (WIFSIGNALED(status)) {
                end.signaled = true;
                end.signal = WTERMSIG(status);
            } else if (WIFEXITED(status)) {
                end.exited = true;
                end.code = static_cast<unsigned long>(WEXITSTATUS(status));
            }
            return end;
        }
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

}  // namespace quillane::host::test

#include <sys/mman.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstring>

namespace quillane::host::test {

void disableCoreDumps() {
    rlimit none{0, 0};
    ::setrlimit(RLIMIT_CORE, &none);
}

void writeToStderr(const char* text) noexcept {
    [[maybe_unused]] auto ignored = ::write(STDERR_FILENO, text, std::strlen(text));
}

bool causeBusError() {
    FILE* file = std::tmpfile();
    if (!file) return false;
    const int fd = ::fileno(file);
    if (::ftruncate(fd, 8192) != 0) return false;
    auto* bytes = static_cast<volatile char*>(::mmap(nullptr, 8192, PROT_READ, MAP_SHARED, fd, 0));
    if (bytes == MAP_FAILED) return false;
    if (::ftruncate(fd, 0) != 0) return false;
    return bytes[4096] != 0;  // the page behind the file's end
}

}  // namespace quillane::host::test
