#pragma once

#include "platform/TrayIcon.h"

namespace quillane::host {

// The notification-area icon with the tooltip "Quillane Host - Waiting for
// connection". Its clicks and its menu reach the host window's procedure.
class Win32TrayIcon final : public TrayIcon {
public:
    bool add(HostWindow& window) override;
    void remove() override;
};

} // namespace quillane::host
