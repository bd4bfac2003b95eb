// The desktop's browser through xdg-open, started directly with the address
// as its one argument: no shell ever sees the address. It starts with only
// standard input, output and error, and with default signal handling, so the
// browser it may become holds none of the host's sockets or files.

#include "app/UrlOpener.h"

#include <spdlog/spdlog.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstring>
#include <system_error>
#include <thread>

extern char** environ;

namespace quillane::host {
namespace {

// Descriptors from 3 up are closed in the child: one opened without close-on-exec by a library,
// or by another thread just before the spawn, stays in the host.
class ChildSetup {
public:
    ChildSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
        ready = posix_spawn_file_actions_addclosefrom_np(&actions, 3) == 0 && resetSignals() == 0;
    }
    ~ChildSetup() {
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
    }
    ChildSetup(const ChildSetup&) = delete;
    ChildSetup& operator=(const ChildSetup&) = delete;

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    bool ready = false;

private:
    // The host ignores SIGPIPE; a program it starts gets the default back, and no blocked signal.
    int resetSignals() {
        sigset_t none, defaults;
        sigemptyset(&none);
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        if (const int error = posix_spawnattr_setsigmask(&attributes, &none)) return error;
        if (const int error = posix_spawnattr_setsigdefault(&attributes, &defaults)) return error;
        return posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
};

class XdgUrlOpener final : public UrlOpener {
public:
    bool open(const std::string& url) override {
        std::string program = "xdg-open";
        std::string argument = url;
        char* argv[] = {program.data(), argument.data(), nullptr};
        ChildSetup setup;
        if (!setup.ready) {
            SPDLOG_ERROR("Failed to start xdg-open: {}", "cannot prepare the child process");
            return false;
        }
        pid_t pid = 0;
        const int error = posix_spawnp(&pid, "xdg-open", &setup.actions, &setup.attributes, argv, environ);
        if (error != 0) {
            SPDLOG_ERROR("Failed to start xdg-open: {}", std::strerror(error));
            return false;
        }
        // xdg-open may stay until the browser ends; it is reaped on the side.
        try {
            std::thread([pid] {
                int status = 0;
                while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
                }
            }).detach();
        } catch (const std::system_error&) {
            waitpid(pid, nullptr, WNOHANG);
        }
        return true;
    }
};

}  // namespace

std::unique_ptr<UrlOpener> createUrlOpener() { return std::make_unique<XdgUrlOpener>(); }

}  // namespace quillane::host
