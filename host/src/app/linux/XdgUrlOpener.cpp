// The desktop's browser through xdg-open, started directly with the address
// as its one argument: no shell ever sees the address.

#include "app/UrlOpener.h"

#include <spdlog/spdlog.h>

#include <spawn.h>
#include <sys/wait.h>

#include <cstring>
#include <system_error>
#include <thread>

extern char** environ;

namespace quillane::host {
namespace {

class XdgUrlOpener final : public UrlOpener {
public:
    bool open(const std::string& url) override {
        std::string program = "xdg-open";
        std::string argument = url;
        char* argv[] = {program.data(), argument.data(), nullptr};
        pid_t pid = 0;
        const int error = posix_spawnp(&pid, "xdg-open", nullptr, nullptr, argv, environ);
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
