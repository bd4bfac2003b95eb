#include "capture/linux/CpuCASProcessor.h"

#include "capture/CasCpu.h"
#include "capture/linux/FrameBuffer.h"

#include <spdlog/spdlog.h>

namespace quillane::host {

std::unique_ptr<CASProcessor> createCASProcessor() { return std::make_unique<CpuCASProcessor>(); }

bool CpuCASProcessor::initialize(EncoderDevice device) {
    if (!device) {
        SPDLOG_ERROR("CASProcessor: No device provided");
        return false;
    }
    initialized = true;
    SPDLOG_INFO("CASProcessor initialized (sharpness={:.2f})", sharpness.load());
    return true;
}

bool CpuCASProcessor::apply(CaptureContext context, EncoderInput source, FrameBuffer* target, std::uint32_t width,
                            std::uint32_t height) {
    if (!initialized || !enabled.load() || !context || !source || !source->data || !target) return false;
    if (width > source->width || height > source->height || width > target->width() || height > target->height())
        return false;
    const CasImage image{source->data, source->rowPitch, width, height};
    casSharpen(image, target->data(), target->rowPitch(), sharpness.load(), context);
    return true;
}

}  // namespace quillane::host
