#include "platform/linux/ExitSignals.h"

#include <csignal>

namespace quillane::host {

namespace {
volatile std::sig_atomic_t g_exitSignal = 0;

void onExitSignal(int signal) {
    g_exitSignal = signal;
}
} // namespace

void installExitSignalHandlers() {
    struct sigaction action {};
    action.sa_handler = onExitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
}

bool exitSignalReceived() {
    return g_exitSignal != 0;
}

} // namespace quillane::host
