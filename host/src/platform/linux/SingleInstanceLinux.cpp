#include "platform/linux/SingleInstanceLinux.h"

#include "platform/Paths.h"
#include "platform/UserMessage.h"

#include <cerrno>
#include <cstring>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <fcntl.h>
#include <unistd.h>

#include <spdlog/spdlog.h>
#include <thread>

namespace quillane::host {

namespace {
constexpr std::string_view kShowRequest = "show\n";
constexpr std::size_t kMaxPending = 8;
constexpr auto kRequestTimeout = std::chrono::seconds(2);

// Abstract socket names live outside the file system: no stale socket file
// after a crash, and no limit from the length of the user's folder names.
socklen_t abstractAddress(const std::string& name, sockaddr_un& address) {
    std::memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    std::size_t length = std::min(name.size(), sizeof(address.sun_path) - 1);
    std::memcpy(address.sun_path + 1, name.data(), length);
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
}

std::string socketNameFor(const std::filesystem::path& lockFile) {
    // FNV-1a of the lock file's absolute path: one socket per lock file.
    std::error_code ec;
    std::string path = std::filesystem::absolute(lockFile, ec).lexically_normal().string();
    std::uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : path) {
        hash = (hash ^ c) * 1099511628211ull;
    }
    char text[64];
    std::snprintf(text, sizeof(text), "quillane-host-%u-%016llx", static_cast<unsigned>(getuid()),
                  static_cast<unsigned long long>(hash));
    return text;
}
} // namespace

std::filesystem::path LinuxSingleInstance::defaultLockFile() {
    std::filesystem::path folder = appStateFolder();
    if (folder.empty()) {
        folder = std::filesystem::temp_directory_path() / ("quillane-" + std::to_string(getuid()));
    }
    return folder / "instance.lock";
}

LinuxSingleInstance::LinuxSingleInstance(std::filesystem::path lockFile)
    : lockFile(std::move(lockFile)), socketName(socketNameFor(this->lockFile)) {}

LinuxSingleInstance::~LinuxSingleInstance() {
    release();
}

bool LinuxSingleInstance::acquire() {
    std::error_code ec;
    std::filesystem::create_directories(lockFile.parent_path(), ec);
    int fd = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        return true;  // no guard possible; the program still runs
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int error = errno;
        ::close(fd);
        return error != EWOULDBLOCK;
    }
    lockFd = fd;
    // The holder's process id, for whoever looks at the file.
    std::string pid = std::to_string(getpid()) + "\n";
    if (::ftruncate(fd, 0) == 0) {
        [[maybe_unused]] auto written = ::write(fd, pid.data(), pid.size());
    }
    startListening();
    return true;
}

void LinuxSingleInstance::startListening() {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return;
    }
    sockaddr_un address;
    socklen_t length = abstractAddress(socketName, address);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd, 8) != 0) {
        // Without it a second instance cannot raise this window; it still ends.
        ::close(fd);
        return;
    }
    listenFd = fd;
}

bool LinuxSingleInstance::sendShowRequest() const {
    sockaddr_un address;
    socklen_t length = abstractAddress(socketName, address);
    // The holder binds its socket right after taking the lock; give it a moment.
    for (int attempt = 0; attempt < 20; ++attempt) {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            return false;
        }
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0) {
            bool sent = ::send(fd, kShowRequest.data(), kShowRequest.size(), MSG_NOSIGNAL) ==
                        static_cast<ssize_t>(kShowRequest.size());
            ::close(fd);
            return sent;
        }
        ::close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

void LinuxSingleInstance::handOverToRunningInstance() {
    sendShowRequest();
    showUserMessage(UserMessageKind::Information, "Quillane Host", "Quillane Host is already running.");
}

void LinuxSingleInstance::pollRequests(const std::function<void()>& show) {
    if (listenFd < 0) {
        return;
    }
    while (pending.size() < kMaxPending) {
        int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            break;
        }
        // Only the same user may ask for the window.
        ucred peer{};
        socklen_t size = sizeof(peer);
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.uid != getuid()) {
            ::close(fd);
            continue;
        }
        pending.push_back({fd, {}, std::chrono::steady_clock::now() + kRequestTimeout});
    }

    auto now = std::chrono::steady_clock::now();
    for (auto it = pending.begin(); it != pending.end();) {
        char buffer[16];
        bool done = false;
        for (;;) {
            ssize_t n = ::recv(it->fd, buffer, sizeof(buffer), 0);
            if (n > 0) {
                it->received.append(buffer, static_cast<std::size_t>(n));
                if (it->received.size() > 64) {
                    done = true;
                    break;
                }
                continue;
            }
            done = n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
            break;
        }
        bool asked = it->received.rfind(kShowRequest, 0) == 0;
        if (asked || done || now >= it->deadline) {
            ::close(it->fd);
            it = pending.erase(it);
            if (asked) {
                SPDLOG_INFO("Another start of Quillane Host asked to show the window");
                show();
            }
        } else {
            ++it;
        }
    }
}

void LinuxSingleInstance::release() {
    for (auto& request : pending) {
        ::close(request.fd);
    }
    pending.clear();
    if (listenFd >= 0) {
        ::close(listenFd);
        listenFd = -1;
    }
    if (lockFd >= 0) {
        ::close(lockFd);  // drops the flock
        lockFd = -1;
    }
}

} // namespace quillane::host
