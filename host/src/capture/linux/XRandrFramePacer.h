#pragma once

#include "capture/FramePacer.h"

namespace quillane::host {

// Reads the rate of the first connected RandR output and its preferred mode.
class XRandrFramePacer final : public FramePacer {
public:
    bool initialize(EncoderDevice device) override;
};

}  // namespace quillane::host
