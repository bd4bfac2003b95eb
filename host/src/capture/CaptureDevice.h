#pragma once

#include "encode/EncoderBase.h"

// CaptureContext: what the per-frame image work runs on (the device's immediate
// context on Windows, a pool of worker threads on Linux).
#include "CapturePlatform.h"

#include <cstdint>
#include <memory>
#include <string>

namespace quillane::host {

// An image of a stream's padded size that sharpening and padding write and the
// encoder reads (a texture on Windows, memory on Linux); defined per platform.
class FrameBuffer;

// The device that captures, the per-frame image steps and the encoders share.
class CaptureDevice {
public:
    CaptureDevice();
    ~CaptureDevice();
    CaptureDevice(const CaptureDevice&) = delete;
    CaptureDevice& operator=(const CaptureDevice&) = delete;

    // Creates the device and reads the adapter's name and memory; logs what it did.
    bool initialize();
    void release();

    EncoderDevice device() const;
    CaptureContext context() const;
    const std::string& gpuName() const;
    std::uint64_t vramMB() const;  // 0 when the platform cannot tell
    // The window-capture interface this platform uses, for the host window.
    static const char* captureApi();

    // A width x height image in the format of `like`, cleared to opaque black;
    // null when it cannot be created.
    std::shared_ptr<FrameBuffer> createFrameBuffer(EncoderInput like, std::uint32_t width, std::uint32_t height);
    // Back to opaque black, all of it.
    void clearFrameBuffer(FrameBuffer& buffer);
    // Puts the top-left width x height of source into the buffer at (0, 0). On
    // Linux the buffer refers to the source instead of copying it, so it is read
    // only while the source is valid (the frame callback).
    void copyRegion(EncoderInput source, FrameBuffer& target, std::uint32_t width, std::uint32_t height);
    // The buffer as the encoder takes it.
    static EncoderInput frameInput(const FrameBuffer& buffer);

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace quillane::host
