#pragma once

#include "encode/EncoderBase.h"

#include <cstdint>
#include <functional>
#include <memory>

namespace quillane::host {

// One captured frame: 32-bit BGRA (the fourth byte is not meaningful), lent for
// the duration of the call only. width and height are the frame's real size.
using CaptureFrameCallback =
    std::function<void(EncoderInput texture, std::uint32_t width, std::uint32_t height)>;

// The capture of one window for one stream: X11WindowCapture on Linux,
// WindowCapture (Windows.Graphics.Capture) on Windows; the orchestrator's tests use fakes.
class CaptureSource {
public:
    virtual ~CaptureSource() = default;

    // Binds to the window (id = low 32 bits of its handle) and reads its size.
    virtual bool initialize(std::uint32_t windowId, EncoderDevice device) = 0;
    virtual void getSize(std::uint32_t& width, std::uint32_t& height) const = 0;

    // Frames reach the callback on the capture's own thread, one at a time.
    virtual bool startCapture(CaptureFrameCallback callback) = 0;

    // Returns once no frame is being delivered any more, except when called from
    // inside the callback (the capture then ends after that frame).
    virtual void stopCapture() = 0;

    // False once stopped, also when the capture ended by itself (window closed).
    virtual bool isCapturing() const = 0;

    // Delivers the last captured frame once more (for a keyframe of a window
    // that does not change), soon and one at a time with the others, possibly
    // on the calling thread; nothing when there is none or a new one is coming.
    virtual void repeatLastFrame() = 0;
};

// This platform's window capture (capture/linux/X11WindowCapture.cpp or
// capture/windows/WindowCapture.cpp), and whether a window id still names a
// window it can capture.
std::unique_ptr<CaptureSource> createWindowCapture();
bool windowCaptureTargetExists(std::uint32_t windowId);

}  // namespace quillane::host
