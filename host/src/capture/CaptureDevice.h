#pragma once

#include "encode/EncoderBase.h"

// CaptureContext: what the per-frame image work runs on (the device's immediate
// context on Windows, a pool of worker threads on Linux), from
// capture/windows/D3D11CaptureContext.h or capture/linux/PixelWorkersContext.h.
#include "capture/CaptureContext.h"

#include <cstdint>
#include <memory>
#include <string>

namespace quillane::host {

// An image of a stream's padded size that sharpening and padding write and the
// encoder reads (a texture on Windows, memory on Linux); defined per platform in
// capture/linux/FrameBuffer.h and capture/windows/FrameBuffer.h.
class FrameBuffer;

// The device that captures, the per-frame image steps and the encoders share.
// createCaptureDevice makes this platform's (capture/linux/CpuCaptureDevice.h,
// capture/windows/D3D11CaptureDevice.h).
class CaptureDevice {
public:
    virtual ~CaptureDevice() = default;

    // Creates the device and reads the adapter's name and memory; logs what it did.
    virtual bool initialize() = 0;
    virtual void release() = 0;

    virtual EncoderDevice device() const = 0;
    virtual CaptureContext context() const = 0;
    virtual const std::string& gpuName() const = 0;
    virtual std::uint64_t vramMB() const = 0;  // 0 when the platform cannot tell
    // The window-capture interface this platform uses, for the host window.
    static const char* captureApi();

    // A width x height image in the format of `like`, cleared to opaque black;
    // null when it cannot be created.
    virtual std::shared_ptr<FrameBuffer> createFrameBuffer(EncoderInput like, std::uint32_t width,
                                                           std::uint32_t height) = 0;
    // Back to opaque black, all of it.
    virtual void clearFrameBuffer(FrameBuffer& buffer) = 0;
    // Puts the top-left width x height of source into the buffer at (0, 0). On
    // Linux the buffer refers to the source instead of copying it, so it is read
    // only while the source is valid (the frame callback).
    virtual void copyRegion(EncoderInput source, FrameBuffer& target, std::uint32_t width, std::uint32_t height) = 0;
    // The buffer as the encoder takes it.
    static EncoderInput frameInput(const FrameBuffer& buffer);
};

// This platform's capture device, not yet initialised.
std::unique_ptr<CaptureDevice> createCaptureDevice();

}  // namespace quillane::host
