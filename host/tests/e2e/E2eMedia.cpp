#include "E2eMedia.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cmath>
#include <cstring>

namespace quillane::host::test {

bool displayAcceptsClients() {
    Display* display = XOpenDisplay(nullptr);
    if (display) XCloseDisplay(display);
    return display != nullptr;
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

VideoReceiver::VideoReceiver(std::uint16_t port) {
    connected_ = client_.connect(port);
    if (connected_) thread_ = std::thread([this] { run(); });
}

VideoReceiver::~VideoReceiver() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

void VideoReceiver::run() {
    // Short reads, so that the destructor's stop is seen soon.
    while (!stop_ && !client_.ended()) {
        auto packet = client_.readPacket(std::chrono::milliseconds(100));
        if (!packet) continue;
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(std::move(*packet));
        }
        cv_.notify_all();
    }
    std::lock_guard lock(mutex_);
    closed_ = true;
    cv_.notify_all();
}

std::optional<ReceivedVideoPacket> VideoReceiver::next(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (!cv_.wait_for(lock, timeout, [this] { return !queue_.empty() || closed_; })) return std::nullopt;
    if (queue_.empty()) return std::nullopt;
    ReceivedVideoPacket packet = std::move(queue_.front());
    queue_.pop_front();
    return packet;
}

void VideoReceiver::clear() {
    std::lock_guard lock(mutex_);
    queue_.clear();
}

}  // namespace quillane::host::test
