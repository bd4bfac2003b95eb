#include "H264TestDecoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

#include <cstring>
#include <stdexcept>

namespace quillane::host::test {

struct H264TestDecoder::State {
    AVCodecContext* context = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
};

H264TestDecoder::H264TestDecoder() : state_(std::make_unique<State>()) {
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
    av_frame_free(&state_->frame);
    av_packet_free(&state_->packet);
    avcodec_free_context(&state_->context);
}

bool H264TestDecoder::decode(const std::uint8_t* data, std::size_t size, DecodedPicture& picture) {
    std::vector<std::uint8_t> padded(size + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    std::memcpy(padded.data(), data, size);
    AVPacket* packet = state_->packet;
    packet->data = padded.data();
    packet->size = static_cast<int>(size);
    const int sent = avcodec_send_packet(state_->context, packet);
    av_packet_unref(packet);
    if (sent < 0) {
        return false;
    }
    AVFrame* frame = state_->frame;
    if (avcodec_receive_frame(state_->context, frame) < 0) {
        return false;
    }
    if (frame->format != AV_PIX_FMT_YUV420P && frame->format != AV_PIX_FMT_YUVJ420P) {
        av_frame_unref(frame);
        return false;
    }
    picture.width = frame->width;
    picture.height = frame->height;
    picture.fullRange = frame->color_range == AVCOL_RANGE_JPEG || frame->format == AV_PIX_FMT_YUVJ420P;
    picture.keyframe = frame->key_frame != 0;
    const auto copyPlane = [&](int index, int w, int h, std::vector<std::uint8_t>& out) {
        out.resize(std::size_t(w) * h);
        for (int row = 0; row < h; ++row) {
            std::memcpy(out.data() + std::size_t(row) * w, frame->data[index] + std::size_t(row) * frame->linesize[index], w);
        }
    };
    copyPlane(0, frame->width, frame->height, picture.y);
    copyPlane(1, frame->width / 2, frame->height / 2, picture.u);
    copyPlane(2, frame->width / 2, frame->height / 2, picture.v);
    av_frame_unref(frame);
    return true;
}

}  // namespace quillane::host::test
