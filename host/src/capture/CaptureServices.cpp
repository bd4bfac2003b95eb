#include "capture/CaptureServices.h"

#include "capture/WindowEnumerator.h"
#include "encode/EncoderFactory.h"

namespace quillane::host {

CaptureServices platformCaptureServices() {
    CaptureServices services;
    services.createCapture = createWindowCapture;
    services.windowExists = windowCaptureTargetExists;
    services.enumerateWindows = [] { return WindowEnumerator::enumerateWindows(); };
    services.getAvailableEncoders = [](EncoderDevice device) { return EncoderFactory::getAvailableEncoders(device); };
    services.createBestEncoder = [](EncoderDevice device, const EncoderConfig& config) {
        return EncoderFactory::createBestEncoder(device, config);
    };
    if (platformEncoderProbes().softwareFallback) services.fallbackEncoderName = encoderTypeName(EncoderType::Software);
    return services;
}

}  // namespace quillane::host
