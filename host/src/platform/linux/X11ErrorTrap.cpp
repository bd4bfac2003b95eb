#include "platform/linux/X11ErrorTrap.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace quillane::host {
namespace {

using Handler = int (*)(Display*, XErrorEvent*);

struct Registry {
    std::mutex mutex;
    std::vector<std::pair<Display*, X11ErrorTrap*>> traps;
    Handler previous = nullptr;  // the handler our dispatcher replaced
    Handler ours = nullptr;
};

Registry& registry() {
    static Registry r;
    return r;
}

// Caller holds the registry's mutex.
void installLocked(Registry& r, Handler dispatcher) {
    r.ours = dispatcher;
    const Handler before = XSetErrorHandler(dispatcher);
    if (before != dispatcher) r.previous = before;
}

}  // namespace

X11ErrorTrap::X11ErrorTrap(Display* display) : display(display) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    installLocked(r, &X11ErrorTrap::dispatch);
    r.traps.emplace_back(display, this);
}

X11ErrorTrap::~X11ErrorTrap() {
    // Errors of requests still in flight belong to this trap, not to whoever
    // handles errors after it.
    if (display != nullptr) XSync(display, False);
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.traps.erase(std::remove_if(r.traps.begin(), r.traps.end(),
                                 [this](const auto& entry) { return entry.second == this; }),
                  r.traps.end());
}

void X11ErrorTrap::reinstall() {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    installLocked(r, &X11ErrorTrap::dispatch);
}

int X11ErrorTrap::dispatch(Display* display, XErrorEvent* event) {
    Handler previous = nullptr;
    {
        auto& r = registry();
        std::lock_guard lock(r.mutex);
        for (const auto& [d, trap] : r.traps) {
            if (d == display) {
                trap->count.fetch_add(1);
                trap->lastCode.store(event->error_code);
                return 0;
            }
        }
        previous = r.previous;
    }
    // Not ours: whatever handled errors before us (Xlib's default, which exits, included).
    return previous != nullptr ? previous(display, event) : 0;
}

}  // namespace quillane::host
