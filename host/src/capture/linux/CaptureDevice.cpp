#include "capture/CaptureDevice.h"

#include "FrameBuffer.h"
#include "capture/PixelWorkers.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <cstring>
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

std::shared_ptr<FrameBuffer> CaptureDevice::createFrameBuffer(EncoderInput, std::uint32_t width,
                                                              std::uint32_t height) {
    if (width == 0 || height == 0) return nullptr;
    return std::make_shared<FrameBuffer>(width, height);
}

void CaptureDevice::clearFrameBuffer(FrameBuffer& buffer) { buffer.clear(); }

void CaptureDevice::copyRegion(EncoderInput source, FrameBuffer& target, std::uint32_t width, std::uint32_t height) {
    if (!source || !source->data) return;
    const std::uint32_t w = std::min({width, source->width, target.width()});
    const std::uint32_t h = std::min({height, source->height, target.height()});
    auto copyRows = [&](std::uint32_t first, std::uint32_t end) {
        for (std::uint32_t y = first; y < end; ++y)
            std::memcpy(target.data() + std::size_t(y) * target.rowPitch(),
                        source->data + std::size_t(y) * source->rowPitch, std::size_t(w) * 4);
    };
    if (!impl->workers) {
        copyRows(0, h);
        return;
    }
    const std::uint32_t bands = std::min<std::uint32_t>(h, impl->workers->concurrency());
    if (bands == 0) return;
    const std::uint32_t rows = (h + bands - 1) / bands;
    impl->workers->run(bands, [&](std::size_t band) {
        const auto first = static_cast<std::uint32_t>(band) * rows;
        copyRows(first, std::min(h, first + rows));
    });
}

EncoderInput CaptureDevice::frameInput(const FrameBuffer& buffer) { return buffer.input(); }

}  // namespace quillane::host
