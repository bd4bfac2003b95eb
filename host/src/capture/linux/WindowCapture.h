#pragma once

#include "capture/CaptureSource.h"

#include <memory>

namespace quillane::host {

// Captures one X11 window for one stream, on its own X connection and thread:
// the window is redirected off-screen (Composite, automatic), its pixmap is read
// through shared memory whenever XDamage reports a change, and each frame (BGRX)
// goes to the callback on the capture thread. A covered window is captured all
// the same; an unmapped (minimised) one delivers nothing until it is mapped again;
// when the window is destroyed the capture ends by itself.
class WindowCapture final : public CaptureSource {
public:
    WindowCapture();
    ~WindowCapture() override;
    WindowCapture(const WindowCapture&) = delete;
    WindowCapture& operator=(const WindowCapture&) = delete;

    bool initialize(std::uint32_t windowId, EncoderDevice device) override;
    void getSize(std::uint32_t& width, std::uint32_t& height) const override;
    bool startCapture(CaptureFrameCallback callback) override;
    void stopCapture() override;
    bool isCapturing() const override;
    void repeatLastFrame() override;

    // Whether the window still exists (asked on a connection shared by all callers).
    static bool windowExists(std::uint32_t windowId);

private:
    struct Impl;
    // Shared with the capture thread, which may outlive this object when the
    // capture is stopped and destroyed from inside its own frame callback.
    std::shared_ptr<Impl> impl;
};

}  // namespace quillane::host
