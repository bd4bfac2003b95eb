#pragma once

#include "capture/FramePacer.h"

#include <dxgi.h>
#include <wrl/client.h>

namespace quillane::host {

// Reads the rate of output 0 of the device's adapter.
class DxgiFramePacer final : public FramePacer {
public:
    bool initialize(EncoderDevice device) override;

private:
    Microsoft::WRL::ComPtr<IDXGIOutput> output;  // output 0 of the device's adapter
};

}  // namespace quillane::host
