#pragma once

#include "platform/TrayIcon.h"

namespace quillane::host {

// Linux has no tray icon: the window then minimises instead of hiding, so it
// can always be reached.
class LinuxTrayIcon final : public TrayIcon {
public:
    bool supported() const override { return false; }
    bool add(HostWindow&) override { return false; }
    void remove() override {}
};

} // namespace quillane::host
