#include "capture/linux/XRandrFramePacer.h"

#include "capture/linux/ModeRate.h"
#include "platform/linux/X11ErrorTrap.h"

#include <spdlog/spdlog.h>

#include <chrono>

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

namespace quillane::host {

std::unique_ptr<FramePacer> createFramePacer() { return std::make_unique<XRandrFramePacer>(); }

bool XRandrFramePacer::initialize(EncoderDevice device) {
    if (!device) {
        SPDLOG_WARN("FramePacer: No device provided");
        return false;
    }
    // X11's nearest meaning of "the adapter's first output": the first connected
    // RandR output, and the first (preferred) mode it lists.
    if (Display* display = XOpenDisplay(nullptr)) {
        {
            X11ErrorTrap trap(display);
            int eventBase = 0, errorBase = 0;
            if (XRRQueryExtension(display, &eventBase, &errorBase)) {
                if (XRRScreenResources* res = XRRGetScreenResourcesCurrent(display, DefaultRootWindow(display))) {
                    for (int i = 0; i < res->noutput && !vsyncAvailable; ++i) {
                        XRROutputInfo* out = XRRGetOutputInfo(display, res, res->outputs[i]);
                        if (!out) continue;
                        if (out->connection == RR_Connected) {
                            vsyncAvailable = true;
                            for (int m = 0; out->nmode > 0 && m < res->nmode; ++m) {
                                if (res->modes[m].id != out->modes[0]) continue;
                                const double rate = modeRefreshRate(res->modes[m]);
                                if (rate > 0.0) refreshRate = static_cast<float>(rate);
                            }
                        }
                        XRRFreeOutputInfo(out);
                    }
                    XRRFreeScreenResources(res);
                }
            }
        }
        XCloseDisplay(display);
    }
    if (vsyncAvailable) {
        SPDLOG_INFO("FramePacer: VSync synchronization available (refresh rate: {:.1f}Hz)", refreshRate);
    } else {
        SPDLOG_WARN("FramePacer: VSync not available, using timer-based pacing");
    }
    lastFrameTime = std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count();
    return vsyncAvailable;
}

}  // namespace quillane::host
