#include "capture/linux/CpuCaptureDevice.h"

#include "capture/linux/FrameBuffer.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <fstream>

namespace quillane::host {
namespace {

std::string cpuModelName() {
    std::ifstream info("/proc/cpuinfo");
    std::string line;
    while (std::getline(info, line)) {
        if (line.rfind("model name", 0) == 0) {
            const auto colon = line.find(':');
            if (colon != std::string::npos) return line.substr(line.find_first_not_of(' ', colon + 1));
        }
    }
    return "CPU";
}

}  // namespace

std::unique_ptr<CaptureDevice> createCaptureDevice() { return std::make_unique<CpuCaptureDevice>(); }

bool CpuCaptureDevice::initialize() {
    release();
    workers = std::make_unique<PixelWorkers>(PixelWorkers::defaultThreads());
    cpuName = cpuModelName();
    SPDLOG_INFO("Capture device: {} ({} threads for image work)", cpuName, workers->concurrency());
    return true;
}

void CpuCaptureDevice::release() { workers.reset(); }

EncoderDevice CpuCaptureDevice::device() const { return workers ? &cpu : nullptr; }
CaptureContext CpuCaptureDevice::context() const { return workers.get(); }
const char* CaptureDevice::captureApi() { return "X11 (MIT-SHM, XDamage)"; }

std::shared_ptr<FrameBuffer> CpuCaptureDevice::createFrameBuffer(EncoderInput, std::uint32_t width,
                                                                 std::uint32_t height) {
    if (width == 0 || height == 0) return nullptr;
    return std::make_shared<FrameBuffer>(width, height);
}

void CpuCaptureDevice::clearFrameBuffer(FrameBuffer& buffer) { buffer.clear(); }

// The encoder reads the captured image in place: padding costs no copy. The
// buffer is used only while the frame that delivered the image is handled.
void CpuCaptureDevice::copyRegion(EncoderInput source, FrameBuffer& target, std::uint32_t width,
                                  std::uint32_t height) {
    if (!source || !source->data) return;
    target.showSource(*source, width, height);
}

EncoderInput CaptureDevice::frameInput(const FrameBuffer& buffer) { return buffer.input(); }

}  // namespace quillane::host
