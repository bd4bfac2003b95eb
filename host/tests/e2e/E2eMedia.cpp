#include "E2eMedia.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

namespace qhtest {

struct H264Decoder::Impl {
    const AVCodec* codec = nullptr;
    AVCodecContext* ctx = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    SwsContext* sws = nullptr;
};

H264Decoder::H264Decoder() : impl(new Impl) {
    impl->codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    impl->ctx = avcodec_alloc_context3(impl->codec);
    impl->ctx->thread_count = 1;
    avcodec_open2(impl->ctx, impl->codec, nullptr);
    impl->packet = av_packet_alloc();
    impl->frame = av_frame_alloc();
}

H264Decoder::~H264Decoder() {
    sws_freeContext(impl->sws);
    av_frame_free(&impl->frame);
    av_packet_free(&impl->packet);
    avcodec_free_context(&impl->ctx);
    delete impl;
}

template <class F>
void H264Decoder::run(const std::uint8_t* data, std::size_t size, F&& onFrame) {
    std::vector<std::uint8_t> padded(size + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    std::memcpy(padded.data(), data, size);
    impl->packet->data = padded.data();
    impl->packet->size = static_cast<int>(size);
    if (avcodec_send_packet(impl->ctx, impl->packet) < 0) {
        ++errors_;
        return;
    }
    while (avcodec_receive_frame(impl->ctx, impl->frame) == 0) onFrame(*impl->frame);
}

std::vector<Picture> H264Decoder::decode(const std::uint8_t* data, std::size_t size) {
    std::vector<Picture> out;
    run(data, size, [&](AVFrame& frame) {
        const int w = frame.width;
        const int h = frame.height;
        impl->sws = sws_getCachedContext(impl->sws, w, h, static_cast<AVPixelFormat>(frame.format), w, h,
                                         AV_PIX_FMT_RGB24, SWS_POINT | SWS_FULL_CHR_H_INT | SWS_ACCURATE_RND,
                                         nullptr, nullptr, nullptr);
        // Convert with the matrix and range the stream declares (BT.601 when it says nothing).
        const int space = frame.colorspace == AVCOL_SPC_UNSPECIFIED ? SWS_CS_ITU601 : frame.colorspace;
        const int fullRange = frame.color_range == AVCOL_RANGE_JPEG ? 1 : 0;
        sws_setColorspaceDetails(impl->sws, sws_getCoefficients(space), fullRange, sws_getCoefficients(SWS_CS_DEFAULT),
                                 1, 0, 1 << 16, 1 << 16);
        Picture pic;
        pic.width = w;
        pic.height = h;
        pic.rgb.resize(static_cast<std::size_t>(w) * h * 3);
        std::uint8_t* dst[1] = {pic.rgb.data()};
        int dstStride[1] = {w * 3};
        sws_scale(impl->sws, frame.data, frame.linesize, 0, h, dst, dstStride);
        out.push_back(std::move(pic));
    });
    return out;
}

std::vector<LumaPicture> H264Decoder::decodeLuma(const std::uint8_t* data, std::size_t size) {
    std::vector<LumaPicture> out;
    run(data, size, [&](AVFrame& frame) {
        LumaPicture pic;
        pic.width = frame.width;
        pic.height = frame.height;
        pic.y.resize(static_cast<std::size_t>(pic.width) * pic.height);
        for (int row = 0; row < pic.height; ++row)
            std::memcpy(pic.y.data() + static_cast<std::size_t>(row) * pic.width,
                        frame.data[0] + static_cast<std::size_t>(row) * frame.linesize[0], pic.width);
        out.push_back(std::move(pic));
    });
    return out;
}

std::optional<Picture> grabWindow(unsigned long windowId) {
    Display* display = XOpenDisplay(nullptr);
    if (!display) return std::nullopt;
    XWindowAttributes attrs{};
    std::optional<Picture> result;
    if (XGetWindowAttributes(display, windowId, &attrs)) {
        XImage* image = XGetImage(display, windowId, 0, 0, static_cast<unsigned>(attrs.width),
                                  static_cast<unsigned>(attrs.height), AllPlanes, ZPixmap);
        if (image) {
            Picture pic;
            pic.width = attrs.width;
            pic.height = attrs.height;
            pic.rgb.resize(static_cast<std::size_t>(pic.width) * pic.height * 3);
            for (int y = 0; y < pic.height; ++y) {
                for (int x = 0; x < pic.width; ++x) {
                    const unsigned long p = XGetPixel(image, x, y);
                    auto* d = &pic.rgb[(static_cast<std::size_t>(y) * pic.width + x) * 3];
                    d[0] = static_cast<std::uint8_t>((p >> 16) & 0xFF);
                    d[1] = static_cast<std::uint8_t>((p >> 8) & 0xFF);
                    d[2] = static_cast<std::uint8_t>(p & 0xFF);
                }
            }
            XDestroyImage(image);
            result = std::move(pic);
        }
    }
    XCloseDisplay(display);
    return result;
}

double psnr(const Picture& a, const Picture& b) {
    const int w = std::min(a.width, b.width);
    const int h = std::min(a.height, b.height);
    if (w <= 0 || h <= 0) return 0;
    double sum = 0;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w * 3; ++x) {
            const double d = double(a.rgb[static_cast<std::size_t>(y) * a.width * 3 + x]) -
                             double(b.rgb[static_cast<std::size_t>(y) * b.width * 3 + x]);
            sum += d * d;
        }
    }
    const double mse = sum / (double(w) * h * 3);
    if (mse == 0) return 99.0;
    return 10.0 * std::log10(255.0 * 255.0 / mse);
}

namespace {

// Calls fn(type, begin, end) for each NAL unit (without its start code).
template <class F>
void forEachNal(const std::uint8_t* data, std::size_t size, F&& fn) {
    std::size_t i = 0;
    auto findStart = [&](std::size_t from) -> std::size_t {
        for (std::size_t k = from; k + 3 <= size; ++k)
            if (data[k] == 0 && data[k + 1] == 0 && data[k + 2] == 1) return k;
        return size;
    };
    i = findStart(0);
    while (i < size) {
        const std::size_t begin = i + 3;
        std::size_t next = findStart(begin);
        std::size_t end = next;
        while (end > begin && data[end - 1] == 0 && next < size) --end;  // zero byte of a 4-byte start code
        if (begin < size) fn(data[begin] & 0x1F, begin, end);
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

VideoReceiver::VideoReceiver(unsigned short port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    fd_ = fd;
    thread_ = std::thread([this] { run(); });
}

VideoReceiver::~VideoReceiver() {
    stop_ = true;
    if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) close(fd_);
}

void VideoReceiver::run() {
    auto readExact = [this](std::uint8_t* p, std::size_t n) {
        std::size_t got = 0;
        while (got < n) {
            const ssize_t r = recv(fd_, p + got, n - got, 0);
            if (r <= 0) return false;
            got += static_cast<std::size_t>(r);
        }
        return true;
    };
    while (!stop_) {
        std::uint8_t lenBytes[4];
        if (!readExact(lenBytes, 4)) break;
        const std::uint32_t length = lenBytes[0] | (lenBytes[1] << 8) | (lenBytes[2] << 16) |
                                     (static_cast<std::uint32_t>(lenBytes[3]) << 24);
        if (length < 16 || length > 64u * 1024 * 1024) break;
        VideoPacket pkt;
        if (!readExact(pkt.header.data(), 16)) break;
        pkt.payload.resize(length - 16);
        if (!readExact(pkt.payload.data(), pkt.payload.size())) break;
        pkt.received = std::chrono::steady_clock::now();
        pkt.streamId = pkt.header[2];
        pkt.sequence = static_cast<std::uint16_t>(pkt.header[4] | (pkt.header[5] << 8));
        pkt.payloadLength = static_cast<std::uint16_t>(pkt.header[6] | (pkt.header[7] << 8));
        pkt.timestamp = pkt.header[8] | (pkt.header[9] << 8) | (pkt.header[10] << 16) |
                        (static_cast<std::uint32_t>(pkt.header[11]) << 24);
        pkt.frameType = pkt.header[12];
        bytes_ += 4 + length;
        ++packets_;
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(std::move(pkt));
        }
        cv_.notify_all();
    }
    closed_ = true;
    cv_.notify_all();
}

std::optional<VideoPacket> VideoReceiver::next(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (!cv_.wait_for(lock, timeout, [this] { return !queue_.empty() || closed_; })) return std::nullopt;
    if (queue_.empty()) return std::nullopt;
    VideoPacket pkt = std::move(queue_.front());
    queue_.pop_front();
    return pkt;
}

void VideoReceiver::clear() {
    std::lock_guard lock(mutex_);
    queue_.clear();
}

void VideoReceiver::sendRaw(const std::vector<std::uint8_t>& body) {
    std::vector<std::uint8_t> msg(4 + body.size());
    const auto n = static_cast<std::uint32_t>(body.size());
    msg[0] = n & 0xFF;
    msg[1] = (n >> 8) & 0xFF;
    msg[2] = (n >> 16) & 0xFF;
    msg[3] = (n >> 24) & 0xFF;
    std::memcpy(msg.data() + 4, body.data(), body.size());
    const ssize_t r = send(fd_, msg.data(), msg.size(), MSG_NOSIGNAL);
    (void)r;
}

void VideoReceiver::sendFeedback(std::uint16_t decodeTimeMs, std::uint16_t rttMs) {
    std::vector<std::uint8_t> body(13, 0);
    body[0] = 4;
    body[9] = decodeTimeMs & 0xFF;
    body[10] = decodeTimeMs >> 8;
    body[11] = rttMs & 0xFF;
    body[12] = rttMs >> 8;
    sendRaw(body);
}

void VideoReceiver::sendKeyframeRequest(std::uint8_t streamId) {
    sendRaw({16, streamId});
}

}  // namespace qhtest
