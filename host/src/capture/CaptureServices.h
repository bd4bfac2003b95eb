#pragma once

#include "capture/CaptureSource.h"
#include "capture/WindowInfo.h"
#include "encode/EncoderBase.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace quillane::host {

// What the orchestrator needs from the rest of the system: window captures, the
// window checks and list, and encoders. The platform's set uses createWindowCapture,
// WindowEnumerator and EncoderFactory; tests substitute fakes.
struct CaptureServices {
    std::function<std::unique_ptr<CaptureSource>()> createCapture;
    std::function<bool(std::uint32_t windowId)> windowExists;
    std::function<std::vector<protocol::WindowInfo>()> enumerateWindows;
    std::function<std::vector<EncoderType>(EncoderDevice)> getAvailableEncoders;
    std::function<std::unique_ptr<EncoderBase>(EncoderDevice, const EncoderConfig&)> createBestEncoder;
    // Name of the encoder createBestEncoder falls back to when the adapter offers
    // no hardware encoder ("Software" on Linux); empty when there is none.
    std::string fallbackEncoderName;
};

CaptureServices platformCaptureServices();

}  // namespace quillane::host
