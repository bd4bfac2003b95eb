#pragma once

#include "capture/CaptureDevice.h"
#include "capture/PixelWorkers.h"

#include <memory>
#include <string>

namespace quillane::host {

// Linux encodes on the CPU: the "device" is the processor, image work runs on a
// small pool of threads.
class CpuCaptureDevice final : public CaptureDevice {
public:
    bool initialize() override;
    void release() override;

    EncoderDevice device() const override;
    CaptureContext context() const override;
    const std::string& gpuName() const override { return cpuName; }
    std::uint64_t vramMB() const override { return 0; }

    std::shared_ptr<FrameBuffer> createFrameBuffer(EncoderInput like, std::uint32_t width,
                                                   std::uint32_t height) override;
    void clearFrameBuffer(FrameBuffer& buffer) override;
    void copyRegion(EncoderInput source, FrameBuffer& target, std::uint32_t width, std::uint32_t height) override;

private:
    mutable CpuEncoderDevice cpu;  // the encoders' device: it has no state, only an address
    std::unique_ptr<PixelWorkers> workers;
    std::string cpuName;
};

}  // namespace quillane::host
