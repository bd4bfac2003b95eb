#pragma once

#include <functional>

namespace quillane::host {

class Application;

// The host on Linux: its platform services, Application and UI, run to the end.
// `applicationReady` sees Application once it is initialised (tests).
int runLinuxHost(std::function<void(Application&)> applicationReady = {});

}  // namespace quillane::host
