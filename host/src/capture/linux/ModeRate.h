#pragma once

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

namespace quillane::host {

// The refresh rate of a RandR mode from its timings, in Hz; 0 when the mode has
// none (Xvfb lists such modes).
inline double modeRefreshRate(const XRRModeInfo& mode) {
    if (mode.dotClock == 0 || mode.hTotal == 0 || mode.vTotal == 0) return 0.0;
    double lines = mode.vTotal;
    if (mode.modeFlags & RR_DoubleScan) lines *= 2;
    if (mode.modeFlags & RR_Interlace) lines /= 2;
    return static_cast<double>(mode.dotClock) / (static_cast<double>(mode.hTotal) * lines);
}

}  // namespace quillane::host
