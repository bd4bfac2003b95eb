#include "XErrorTrap.h"

#include <spdlog/spdlog.h>

#include <mutex>
#include <unordered_map>

namespace quillane::host {
namespace {

std::mutex trapMutex;
std::unordered_map<Display*, XErrorRecord> watched;  // guarded by trapMutex
XErrorHandler previousHandler = nullptr;
XErrorHandler xlibDefaultHandler = nullptr;
std::once_flag installed;

int onXError(Display* display, XErrorEvent* event) {
    XErrorHandler chain = nullptr;
    {
        std::lock_guard lock(trapMutex);
        auto it = watched.find(display);
        if (it != watched.end()) {
            auto& r = it->second;
            ++r.count;
            r.errorCode = event->error_code;
            r.requestCode = event->request_code;
            r.minorCode = event->minor_code;
            r.resourceId = event->resourceid;
            return 0;
        }
        if (previousHandler != xlibDefaultHandler) chain = previousHandler;
    }
    if (chain) return chain(display, event);
    spdlog::warn("X error {} (request {}.{}) on resource {:#x}", event->error_code, event->request_code,
                 event->minor_code, event->resourceid);
    return 0;
}

void install() {
    std::call_once(installed, [] {
        // Setting a null handler restores Xlib's default and returns what was set,
        // so two calls tell the current handler and the default apart.
        XErrorHandler current = XSetErrorHandler(nullptr);
        XErrorHandler fallback = XSetErrorHandler(nullptr);
        {
            std::lock_guard lock(trapMutex);
            previousHandler = current;
            xlibDefaultHandler = fallback;
        }
        XSetErrorHandler(onXError);
    });
}

}  // namespace

void XErrorTrap::watch(Display* display) {
    install();
    std::lock_guard lock(trapMutex);
    watched[display] = {};
}

void XErrorTrap::unwatch(Display* display) {
    std::lock_guard lock(trapMutex);
    watched.erase(display);
}

XErrorRecord XErrorTrap::sync(Display* display) {
    XSync(display, False);
    return take(display);
}

XErrorRecord XErrorTrap::take(Display* display) {
    std::lock_guard lock(trapMutex);
    auto it = watched.find(display);
    if (it == watched.end()) return {};
    return std::exchange(it->second, XErrorRecord{});
}

}  // namespace quillane::host
