#include "H264TestDecoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <cstring>
#include <stdexcept>

namespace quillane::host::test {

struct H264TestDecoder::State {
    AVCodecContext* context = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    SwsContext* sws = nullptr;
};

H264TestDecoder::H264TestDecoder(Output output) : state_(std::make_unique<State>()), output_(output) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    if (codec == nullptr) {
        throw std::runtime_error("no H.264 decoder");
    }
    state_->context = avcodec_alloc_context3(codec);
    state_->context->thread_count = 1;  // a picture out for every access unit in
    state_->context->flags |= AV_CODEC_FLAG_LOW_DELAY;
    if (avcodec_open2(state_->context, codec, nullptr) < 0) {
        throw std::runtime_error("cannot open the H.264 decoder");
    }
    state_->packet = av_packet_alloc();
    state_->frame = av_frame_alloc();
}

H264TestDecoder::~H264TestDecoder() {
    sws_freeContext(state_->sws);
    av_frame_free(&state_->frame);
    av_packet_free(&state_->packet);
    avcodec_free_context(&state_->context);
}

namespace {

void copyPlane(const AVFrame& frame, int index, int w, int h, std::vector<std::uint8_t>& out) {
    out.resize(std::size_t(w) * h);
    for (int row = 0; row < h; ++row) {
        std::memcpy(out.data() + std::size_t(row) * w, frame.data[index] + std::size_t(row) * frame.linesize[index], w);
    }
}

}  // namespace

std::vector<DecodedPicture> H264TestDecoder::decode(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> padded(size + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    std::memcpy(padded.data(), data, size);
    AVPacket* packet = state_->packet;
    packet->data = padded.data();
    packet->size = static_cast<int>(size);
    const int sent = avcodec_send_packet(state_->context, packet);
    av_packet_unref(packet);
    std::vector<DecodedPicture> pictures;
    if (sent < 0) {
        ++errors_;
        return pictures;
    }
    AVFrame* frame = state_->frame;
    while (avcodec_receive_frame(state_->context, frame) == 0) {
        DecodedPicture picture;
        picture.width = frame->width;
        picture.height = frame->height;
        picture.fullRange = frame->color_range == AVCOL_RANGE_JPEG || frame->format == AV_PIX_FMT_YUVJ420P;
        picture.keyframe = frame->key_frame != 0;
        const int w = frame->width;
        const int h = frame->height;
        if (output_ == Output::rgb) {
            const auto format = static_cast<AVPixelFormat>(frame->format);
            state_->sws = sws_getCachedContext(state_->sws, w, h, format, w, h, AV_PIX_FMT_RGB24,
                                               SWS_POINT | SWS_FULL_CHR_H_INT | SWS_ACCURATE_RND, nullptr, nullptr,
                                               nullptr);
            // The matrix the stream declares, BT.601 when it says nothing.
            const int space = frame->colorspace == AVCOL_SPC_UNSPECIFIED ? SWS_CS_ITU601 : frame->colorspace;
            sws_setColorspaceDetails(state_->sws, sws_getCoefficients(space), picture.fullRange ? 1 : 0,
                                     sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
            picture.rgb.resize(std::size_t(w) * h * 3);
            std::uint8_t* dst[1] = {picture.rgb.data()};
            int dstStride[1] = {w * 3};
            sws_scale(state_->sws, frame->data, frame->linesize, 0, h, dst, dstStride);
        } else if (output_ == Output::luma) {
            copyPlane(*frame, 0, w, h, picture.y);
        } else if (frame->format == AV_PIX_FMT_YUV420P || frame->format == AV_PIX_FMT_YUVJ420P) {
            copyPlane(*frame, 0, w, h, picture.y);
            copyPlane(*frame, 1, w / 2, h / 2, picture.u);
            copyPlane(*frame, 2, w / 2, h / 2, picture.v);
        } else {
            ++errors_;
            av_frame_unref(frame);
            continue;
        }
        av_frame_unref(frame);
        pictures.push_back(std::move(picture));
    }
    return pictures;
}

bool H264TestDecoder::decode(const std::uint8_t* data, std::size_t size, DecodedPicture& picture) {
    auto pictures = decode(data, size);
    if (pictures.empty()) {
        return false;
    }
    picture = std::move(pictures.back());
    return true;
}

namespace {

// Calls fn(type, begin, end) for each NAL unit, start codes and trailing zero bytes left out.
template <class F>
void forEachNal(const std::uint8_t* data, std::size_t size, F&& fn) {
    auto findStart = [&](std::size_t from) {
        for (std::size_t k = from; k + 3 <= size; ++k) {
            if (data[k] == 0 && data[k + 1] == 0 && data[k + 2] == 1) {
                return k;
            }
        }
        return size;
    };
    for (std::size_t i = findStart(0); i < size;) {
        const std::size_t begin = i + 3;
        const std::size_t next = findStart(begin);
        std::size_t end = next;
        while (end > begin && next < size && data[end - 1] == 0) {
            --end;
        }
        if (begin < size) {
            fn(data[begin] & 0x1F, begin, end);
        }
        i = next;
    }
}

}  // namespace

std::vector<int> nalTypes(const std::uint8_t* data, std::size_t size) {
    std::vector<int> types;
    forEachNal(data, size, [&](int type, std::size_t, std::size_t) { types.push_back(type); });
    return types;
}

std::vector<std::uint8_t> findNal(const std::uint8_t* data, std::size_t size, int type) {
    std::vector<std::uint8_t> out;
    bool found = false;
    forEachNal(data, size, [&](int t, std::size_t b, std::size_t e) {
        if (!found && t == type) {
            out.assign(data + b, data + e);
            found = true;
        }
    });
    return out;
}

}  // namespace quillane::host::test
