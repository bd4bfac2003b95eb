#pragma once

#include "capture/CaptureSource.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quillane::host {

class GraphicsCaptureRuntime;

// Captures one window for one stream through Windows.Graphics.Capture: a capture
// item for the window, a free-threaded frame pool of two buffers and a capture
// session. Each frame's texture goes to the callback on the thread the frame pool
// raises its event on; the pool is re-created when the window's size changes,
// and the capture stops by itself when the window closes. The system is reached
// through a GraphicsCaptureRuntime: the real one, or a test's fake.
class WindowCapture final : public CaptureSource {
public:
    WindowCapture();  // on the system's Windows.Graphics.Capture
    explicit WindowCapture(std::shared_ptr<GraphicsCaptureRuntime> runtime);
    ~WindowCapture() override;
    WindowCapture(const WindowCapture&) = delete;
    WindowCapture& operator=(const WindowCapture&) = delete;

    bool initialize(std::uint32_t windowId, EncoderDevice device) override;
    void getSize(std::uint32_t& width, std::uint32_t& height) const override;
    bool startCapture(CaptureFrameCallback callback) override;
    void stopCapture() override;
    bool isCapturing() const override;
    void repeatLastFrame() override;

    static bool windowExists(std::uint32_t windowId);
    // From the registry; 0 when it cannot be read.
    static std::uint32_t getWindowsBuildNumber();
    static bool isCaptureSupported();
    // The report for a start that failed with a Windows Runtime error, one log
    // record per entry (empty entries included).
    static std::vector<std::string> failureReport(std::uint32_t hresult, const std::string& message,
                                                  std::uint32_t build);

private:
    struct Impl;
    // Shared with the event handlers, which the capture system may still invoke
    // while the capture is being torn down.
    std::shared_ptr<Impl> impl;
};

}  // namespace quillane::host
