#include "capture/CaptureDevice.h"

#include "FrameBuffer.h"
#include "capture/PixelWorkers.h"

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

// Linux encodes on the CPU: the "device" is the processor, image work runs on a
// small pool of threads.
struct CaptureDevice::Impl {
    CpuEncoderDevice cpu;
    std::unique_ptr<PixelWorkers> workers;
    std::string gpuName;
};

CaptureDevice::CaptureDevice() : impl(std::make_unique<Impl>()) {}
CaptureDevice::~CaptureDevice() = default;

bool CaptureDevice::initialize() {
    release();
    impl->workers = std::make_unique<PixelWorkers>(PixelWorkers::defaultThreads());
    impl->gpuName = cpuModelName();
    spdlog::info("Capture device: {} ({} threads for image work)", impl->gpuName, impl->workers->concurrency());
    return true;
}

void CaptureDevice::release() { impl->workers.reset(); }

EncoderDevice CaptureDevice::device() const { return impl->workers ? &impl->cpu : nullptr; }
CaptureContext CaptureDevice::context() const { return impl->workers.get(); }
const std::string& CaptureDevice::gpuName() const { return impl->gpuName; }
std::uint64_t CaptureDevice::vramMB() const { return 0; }
const char* CaptureDevice::captureApi() { return "X11 (MIT-SHM, XDamage)"; }

std::shared_ptr<FrameBuffer> CaptureDevice::createFrameBuffer(EncoderInput, std::uint32_t width,
                                                              std::uint32_t height) {
    if (width == 0 || height == 0) return nullptr;
    return std::make_shared<FrameBuffer>(width, height);
}

void CaptureDevice::clearFrameBuffer(FrameBuffer& buffer) { buffer.clear(); }

// The encoder reads the captured image in place: padding costs no copy. The
// buffer is used only while the frame that delivered the image is handled.
void CaptureDevice::copyRegion(EncoderInput source, FrameBuffer& target, std::uint32_t width, std::uint32_t height) {
    if (!source || !source->data) return;
    target.showSource(*source, width, height);
}

EncoderInput CaptureDevice::frameInput(const FrameBuffer& buffer) { return buffer.input(); }

}  // namespace quillane::host
