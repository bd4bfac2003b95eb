#include "platform/linux/X11DisplayLoss.h"

#include "platform/linux/LastLogTimeLimit.h"

#include <X11/Xlib.h>
#include <spdlog/spdlog.h>

#include <unistd.h>

#include <atomic>
#include <cstdlib>

namespace quillane::host {
namespace {

constexpr unsigned kLogTimeoutSeconds = 2;

std::atomic<bool> g_ending{false};
// Set once the process is exiting normally: the logging library's registry is about to go, and
// a loss seen after that must not reach a logger through it.
std::atomic<bool> g_loggingGone{false};

[[noreturn]] void endNow() { _exit(kDisplayLostExitStatus); }

void onLogTimeout(int) { endNow(); }

void logLoss(Display* display) {
    if (g_loggingGone.load()) return;
    spdlog::logger* logger = spdlog::default_logger_raw();
    if (!logger) return;
    armLastLogTimeLimit(kLogTimeoutSeconds, onLogTimeout);
    try {
        const char* name = display ? DisplayString(display) : nullptr;
        SPDLOG_LOGGER_ERROR(logger, "Lost the connection to the display {}; Quillane Host ends",
                            name && *name ? name : "(unnamed)");
        logger->flush();
    } catch (...) {
        // Ending matters more than the line.
    }
}

// Xlib's I/O error handler must not return: Xlib would exit the process after it.
int onDisplayLost(Display* display) {
    if (g_ending.exchange(true)) {
        for (;;) pause();  // the first thread ends the process
    }
    logLoss(display);
    endNow();
}

}  // namespace

void installX11DisplayLossHandler() {
    static const bool installed = [] {
        // Exit handlers run in reverse order of registration: creating the registry first makes
        // this one run before the registry's destructor.
        spdlog::default_logger_raw();
        std::atexit([] { g_loggingGone.store(true); });
        return true;
    }();
    (void)installed;
    XSetIOErrorHandler(onDisplayLost);
}

}  // namespace quillane::host
