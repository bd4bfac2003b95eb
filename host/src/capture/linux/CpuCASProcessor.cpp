#include "capture/CASProcessor.h"

#include "capture/CasCpu.h"
#include "capture/linux/FrameBuffer.h"

#include <spdlog/spdlog.h>

namespace quillane::host {
namespace {

// Sharpens on the capture device's worker threads with CasCpu.
class CpuCASProcessor final : public CASProcessor {
public:
    bool initialize(EncoderDevice device) override {
        if (!device) {
            SPDLOG_ERROR("CASProcessor: No device provided");
            return false;
        }
        initialized = true;
        SPDLOG_INFO("CASProcessor initialized (sharpness={:.2f})", sharpness.load());
        return true;
    }

    bool apply(CaptureContext context, EncoderInput source, FrameBuffer* target, std::uint32_t width,
               std::uint32_t height) override {
        if (!initialized || !enabled.load() || !context || !source || !source->data || !target) return false;
        if (width > source->width || height > source->height || width > target->width() || height > target->height())
            return false;
        const CasImage image{source->data, source->rowPitch, width, height};
        casSharpen(image, target->data(), target->rowPitch(), sharpness.load(), context);
        return true;
    }
};

}  // namespace

std::unique_ptr<CASProcessor> createCASProcessor() { return std::make_unique<CpuCASProcessor>(); }

}  // namespace quillane::host
