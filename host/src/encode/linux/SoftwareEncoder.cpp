#include "encode/linux/SoftwareEncoder.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>  // before x264.h, which uses the fixed-width types
#include <cstdio>
#include <cstring>
#include <limits>

#include <libyuv/convert_from_argb.h>
#include <spdlog/spdlog.h>
#include <x264.h>

#include "common/LineSource.h"

namespace quillane::host {
namespace {

// x264's cheapest preset as it stands: slower presets cost more than the frame
// budget, and CABAC would add about 1.2 ms of CPU to a full-motion 1080p frame.
// Its streams are Constrained Baseline, which Main decoders take as they are.
constexpr const char* kPreset = "ultrafast";
// The conversion is BT.601 for both ranges; the stream says so.
constexpr int kColourMatrixBt601 = 6;

// x264 writes its statistics as an encoder closes, so a window resized or a stream started in a loop
// would repeat them: they count against the work's budget, its informational lines apart from the
// host's lines, so they never hold back an outcome or a warning.
void logFromX264(void*, int level, const char* format, va_list args) {
    std::size_t held = 0;
    const bool problem = level <= X264_LOG_WARNING;
    if (!(problem ? StreamLineScope::allow(held) : StreamLineScope::allowLibraryInfo(held))) return;
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    std::string line(text);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    line += heldNote(held);
    if (level <= X264_LOG_ERROR) {
        SPDLOG_ERROR("x264: {}", line);
    } else if (level == X264_LOG_WARNING) {
        SPDLOG_WARN("x264: {}", line);
    } else {
        SPDLOG_DEBUG("x264: {}", line);
    }
}

// Fills the part of a plane's rows outside its top-left imageCols x imageRows
// with value: the padding around a captured image smaller than the stream.
void padPlane(std::uint8_t* plane, std::size_t stride, std::size_t imageCols, std::size_t imageRows,
              std::size_t rows, std::uint8_t value) {
    if (imageCols < stride) {
        for (std::size_t r = 0; r < imageRows; ++r) std::memset(plane + r * stride + imageCols, value, stride - imageCols);
    }
    for (std::size_t r = imageRows; r < rows; ++r) std::memset(plane + r * stride, value, stride);
}

}  // namespace

bool fillX264Params(x264_param_t& param, const EncoderConfig& config) {
    if (x264_param_default_preset(&param, kPreset, "zerolatency") < 0) {
        return false;
    }
    param.pf_log = logFromX264;
    param.i_log_level = X264_LOG_INFO;
    param.i_csp = config.fullRange ? X264_CSP_I420 : X264_CSP_NV12;
    param.i_width = static_cast<int>(config.width);
    param.i_height = static_cast<int>(config.height);
    param.i_fps_num = config.fps;
    param.i_fps_den = 1;
    param.i_timebase_num = 1;
    param.i_timebase_den = config.fps;
    param.b_vfr_input = 0;

    // x264 makes one slice per sliced thread.
    const int slices = static_cast<int>(config.sliceCount == 0 ? 1 : std::min(config.sliceCount, 32u));
    param.i_threads = slices;
    param.b_sliced_threads = 1;
    param.i_slice_count = slices;

    param.i_frame_reference = 1;
    param.i_bframe = 0;
    param.i_keyint_max = config.gopLength == 0 ? X264_KEYINT_MAX_INFINITE : static_cast<int>(config.gopLength);
    param.i_scenecut_threshold = 0;
    param.b_intra_refresh = 0;

    param.rc.i_rc_method = X264_RC_ABR;
    param.rc.i_bitrate = static_cast<int>(config.bitrateKbps);
    param.rc.i_vbv_max_bitrate = static_cast<int>(config.maxBitrateKbps);
    param.rc.i_vbv_buffer_size = static_cast<int>(oneFrameAtPeak(config.maxBitrateKbps, config.fps, 1));

    param.b_repeat_headers = 1;
    param.b_annexb = 1;
    param.b_aud = 0;

    param.vui.b_fullrange = config.fullRange ? 1 : 0;
    param.vui.i_colmatrix = kColourMatrixBt601;

    const char* profile = config.profile == "high" ? "high" : "main";
    return x264_param_apply_profile(&param, profile) >= 0;
}

SoftwareEncoder::SoftwareEncoder() = default;

SoftwareEncoder::~SoftwareEncoder() {
    shutdown();
}

bool SoftwareEncoder::initialize(EncoderDevice, const EncoderConfig& config) {
    if (const std::optional<bool> refused = refuseInitialize("Software", true, config)) {
        return *refused;
    }
    x264_param_t param;
    if (!fillX264Params(param, config)) {
        SPDLOG_ERROR("Software encoder: x264 rejected the parameters");
        return false;
    }
    encoder = x264_encoder_open(&param);
    if (encoder == nullptr) {
        SPDLOG_ERROR("Software encoder: x264_encoder_open failed for {}x{}", config.width, config.height);
        return false;
    }
    encoderConfig = config;
    const std::size_t pixels = std::size_t{config.width} * config.height;
    planes.assign(pixels + pixels / 2, 0);
    if (config.sliceCount > 1) {
        splitter = std::make_unique<HalfSplitter>();
    }
    initialized = true;
    if (std::size_t held = 0; StreamLineScope::allow(held)) {
        SPDLOG_INFO("Software encoder initialized: {}x{} @ {} kbps, {} fps{}", config.width, config.height,
                    config.bitrateKbps, config.fps, heldNote(held));
    }
    return true;
}

void SoftwareEncoder::shutdown() {
    if (!initialized) {
        return;
    }
    if (std::size_t held = 0; StreamLineScope::allow(held)) {
        SPDLOG_INFO("Shutting down Software encoder...{}", heldNote(held));
    }
    x264_encoder_close(encoder);
    encoder = nullptr;
    splitter.reset();
    planes.clear();
    planes.shrink_to_fit();
    initialized = false;
}

bool SoftwareEncoder::convertRows(const BgraFrame& frame, std::uint32_t firstRow, std::uint32_t rows) {
    const std::size_t w = encoderConfig.width;
    const std::size_t h = encoderConfig.height;
    const std::uint32_t storedW = frame.storedWidth();
    const std::uint32_t storedH = frame.storedHeight();
    // Rows of this band that come from the image; the rest, and the columns right
    // of it, are black (firstRow is even, so chroma rows never straddle bands).
    const std::uint32_t imageRows = storedH > firstRow ? std::min(rows, storedH - firstRow) : 0;
    const std::size_t chromaFirst = firstRow / 2;
    const std::size_t chromaImageRows = (std::size_t(imageRows) + 1) / 2;
    const std::size_t chromaRows = (std::size_t(rows) + 1) / 2;
    const std::size_t chromaImageCols = (std::size_t(storedW) + 1) / 2;
    const std::uint8_t blackY = encoderConfig.fullRange ? 0 : 16;
    constexpr std::uint8_t blackChroma = 128;

    std::uint8_t* y = planes.data() + firstRow * w;
    std::uint8_t* chroma = planes.data() + w * h;
    const std::uint8_t* source = imageRows > 0 ? frame.data + std::size_t(firstRow) * frame.rowPitch : nullptr;
    const int pitch = static_cast<int>(frame.rowPitch);
    padPlane(y, w, storedW, imageRows, rows, blackY);
    if (encoderConfig.fullRange) {
        std::uint8_t* u = chroma + chromaFirst * (w / 2);
        std::uint8_t* v = chroma + (w / 2) * (h / 2) + chromaFirst * (w / 2);
        padPlane(u, w / 2, chromaImageCols, chromaImageRows, chromaRows, blackChroma);
        padPlane(v, w / 2, chromaImageCols, chromaImageRows, chromaRows, blackChroma);
        return imageRows == 0 || libyuv::ARGBToJ420(source, pitch, y, int(w), u, int(w / 2), v, int(w / 2),
                                                    int(storedW), int(imageRows)) == 0;
    }
    std::uint8_t* uv = chroma + chromaFirst * w;
    padPlane(uv, w, 2 * chromaImageCols, chromaImageRows, chromaRows, blackChroma);
    return imageRows == 0 ||
           libyuv::ARGBToNV12(source, pitch, y, int(w), uv, int(w), int(storedW), int(imageRows)) == 0;
}

bool SoftwareEncoder::convert(const BgraFrame& frame) {
    const std::uint32_t height = encoderConfig.height;
    const std::uint32_t split = (height / 2) & ~1u;  // chroma rows pair up
    if (!splitter || split == 0) {
        return convertRows(frame, 0, height);
    }
    struct Halves {
        SoftwareEncoder* self;
        const BgraFrame* frame;
        std::uint32_t split;
        std::uint32_t height;
        bool ok[2];
    } halves{this, &frame, split, height, {false, false}};
    const std::function<void(int)> job = [&halves](int half) {
        const std::uint32_t first = half == 0 ? 0 : halves.split;
        const std::uint32_t rows = half == 0 ? halves.split : halves.height - halves.split;
        halves.ok[half] = halves.self->convertRows(*halves.frame, first, rows);
    };
    splitter->run(job);
    return halves.ok[0] && halves.ok[1];
}

bool SoftwareEncoder::encodeFrame(EncoderInput input) {
    if (!initialized || input == nullptr) {
        return false;
    }
    if (input->data == nullptr || input->width != encoderConfig.width || input->height != encoderConfig.height ||
        input->rowPitch < input->storedWidth() * 4 || input->rowPitch > std::uint32_t(std::numeric_limits<int>::max())) {
        SPDLOG_ERROR("Software encoder: frame {}x{} (pitch {}) does not fit the encoder's {}x{}", input->width,
                      input->height, input->rowPitch, encoderConfig.width, encoderConfig.height);
        return false;
    }
    const auto start = std::chrono::steady_clock::now();
    applyPendingBitrate();
    if (!convert(*input)) {
        SPDLOG_ERROR("Software encoder: colour conversion failed");
        return false;
    }

    x264_picture_t picture;
    x264_picture_init(&picture);
    const int w = static_cast<int>(encoderConfig.width);
    const int h = static_cast<int>(encoderConfig.height);
    std::uint8_t* chroma = planes.data() + std::size_t(w) * h;
    picture.img.i_csp = encoderConfig.fullRange ? X264_CSP_I420 : X264_CSP_NV12;
    picture.img.plane[0] = planes.data();
    picture.img.i_stride[0] = w;
    if (encoderConfig.fullRange) {
        picture.img.i_plane = 3;
        picture.img.plane[1] = chroma;
        picture.img.plane[2] = chroma + std::size_t(w / 2) * (h / 2);
        picture.img.i_stride[1] = picture.img.i_stride[2] = w / 2;
    } else {
        picture.img.i_plane = 2;
        picture.img.plane[1] = chroma;
        picture.img.i_stride[1] = w;
    }
    picture.i_pts = frameCounter;
    const bool keyframeWanted = takeKeyframeRequest();
    picture.i_type = keyframeWanted ? X264_TYPE_IDR : X264_TYPE_AUTO;

    x264_nal_t* nals = nullptr;
    int nalCount = 0;
    x264_picture_t produced;
    const int size = x264_encoder_encode(encoder, &nals, &nalCount, &picture, &produced);
    if (size < 0) {
        SPDLOG_ERROR("x264_encoder_encode failed: {}", size);
        if (keyframeWanted) {
            restoreKeyframeRequest();  // the next frame carries the request
        }
        return false;
    }
    const std::uint32_t frameNumber = frameCounter++;
    if (size > 0 && nalCount > 0) {
        // Annex B payloads of one call lie back to back in x264's buffer.
        EncodedFrame frame;
        frame.data = nals[0].p_payload;
        frame.size = static_cast<std::uint64_t>(size);
        frame.isKeyframe = produced.b_keyframe != 0;
        frame.frameNumber = frameNumber;
        if (frame.isKeyframe) {
            parameterSets.scan(frame.data, frame.size, NalRule::H264);
        }
        stats.addFrame(frame.size);
        if (outputCallback) {
            frame.timestampUs = steadyMicros();
            outputCallback(frame);
        }
    }
    stats.addEncodeTime(start);
    return true;
}

void SoftwareEncoder::applyPendingBitrate() {
    const std::optional<PendingBitrate::Rates> rates = pendingBitrate.take();
    if (!rates) {
        return;
    }
    x264_param_t param;
    x264_encoder_parameters(encoder, &param);
    param.rc.i_bitrate = static_cast<int>(rates->bitrateKbps);
    param.rc.i_vbv_max_bitrate = static_cast<int>(rates->maxBitrateKbps);
    param.rc.i_vbv_buffer_size = static_cast<int>(oneFrameAtPeak(rates->maxBitrateKbps, encoderConfig.fps, 1));
    const int status = x264_encoder_reconfig(encoder, &param);
    if (status < 0) {
        SPDLOG_WARN("Failed to reconfigure bitrate: {}", status);
        return;
    }
    encoderConfig.bitrateKbps = rates->bitrateKbps;
    encoderConfig.maxBitrateKbps = rates->maxBitrateKbps;
    SPDLOG_INFO("Bitrate updated to {} / {} kbps", rates->bitrateKbps, rates->maxBitrateKbps);
}

}  // namespace quillane::host
