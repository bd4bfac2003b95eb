#pragma once

#include <functional>
#include <memory>

namespace quillane::host {

class UpdateChecker;

// The host on Linux: its platform services, Application and UI, run to the end.
// A lost X display ends the process at once instead, with kDisplayLostExitStatus.
// `makeUpdateChecker` replaces the product's update checker (tests).
int runLinuxHost(std::function<std::unique_ptr<UpdateChecker>()> makeUpdateChecker = {});

}  // namespace quillane::host
