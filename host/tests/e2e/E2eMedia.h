#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "H264TestDecoder.h"
#include "VideoClient.h"

namespace quillane::host::test {

using quillane::host::test::H264TestDecoder;
using quillane::host::test::ReceivedVideoPacket;
// Decoded pictures (H264TestDecoder::Output::rgb) and grabbed windows alike: RGB24 in `rgb`.
using Picture = quillane::host::test::DecodedPicture;

// The window's client area as the X server holds it.
std::optional<Picture> grabWindow(unsigned long windowId);

// True when the X server still takes a new client connection.
bool displayAcceptsClients();

// Peak signal-to-noise ratio of the area both pictures cover.
double psnr(const Picture& a, const Picture& b);

// The client side of the video connection with a thread of its own reading packets, so that arrival
// times do not wait for the test; the test thread takes them from a queue and sends messages.
class VideoReceiver {
public:
    explicit VideoReceiver(std::uint16_t port);
    ~VideoReceiver();
    VideoReceiver(const VideoReceiver&) = delete;
    VideoReceiver& operator=(const VideoReceiver&) = delete;

    bool connected() const { return connected_; }
    std::optional<ReceivedVideoPacket> next(std::chrono::milliseconds timeout);
    void clear();

    void sendFeedback(std::uint16_t decodeTimeMs, std::uint16_t rttMs) { client_.sendFeedback(decodeTimeMs, rttMs); }
    void sendKeyframeRequest(std::uint8_t streamId) { client_.sendKeyframeRequest(streamId); }
    bool sendInput(const VideoInputRecord& record) { return client_.sendInput(record); }
    bool sendRaw(std::span<const std::uint8_t> bytes) { return client_.sendRaw(bytes); }

private:
    void run();

    quillane::host::test::VideoClient client_;
    bool connected_ = false;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<ReceivedVideoPacket> queue_;
    bool closed_ = false;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace quillane::host::test
