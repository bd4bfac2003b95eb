#include "capture/CaptureServices.h"

#include "WindowCapture.h"
#include "capture/WindowEnumerator.h"
#include "encode/EncoderFactory.h"

namespace quillane::host {

CaptureServices platformCaptureServices() {
    CaptureServices services;
    services.createCapture = [] { return std::make_unique<WindowCapture>(); };
    services.windowExists = [](std::uint32_t windowId) { return WindowCapture::windowExists(windowId); };
    services.enumerateWindows = [] { return WindowEnumerator::enumerateWindows(); };
    services.getAvailableEncoders = [](EncoderDevice device) { return EncoderFactory::getAvailableEncoders(device); };
    services.createBestEncoder = [](EncoderDevice device, const EncoderConfig& config) {
        return EncoderFactory::createBestEncoder(device, config);
    };
    if (platformEncoderProbes().softwareFallback) services.fallbackEncoderName = encoderTypeName(EncoderType::Software);
    return services;
}

}  // namespace quillane::host
