#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace qhtest {

// An RGB24 picture.
struct Picture {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;
};

// A luma plane, tightly packed.
struct LumaPicture {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> y;
};

// H.264 Annex B access units in, pictures out (libavcodec).
class H264Decoder {
public:
    H264Decoder();
    ~H264Decoder();
    H264Decoder(const H264Decoder&) = delete;
    H264Decoder& operator=(const H264Decoder&) = delete;
    // Feeds one access unit; returns the pictures it completed.
    std::vector<Picture> decode(const std::uint8_t* data, std::size_t size);
    // The same, keeping only the luma plane (cheap for large pictures).
    std::vector<LumaPicture> decodeLuma(const std::uint8_t* data, std::size_t size);
    int errors() const { return errors_; }

private:
    // Feeds one access unit and calls onFrame for each finished frame.
    template <class F>
    void run(const std::uint8_t* data, std::size_t size, F&& onFrame);

    struct Impl;
    Impl* impl;
    int errors_ = 0;
};

// The window's client area as the X server holds it.
std::optional<Picture> grabWindow(unsigned long windowId);

// Peak signal-to-noise ratio of the area both pictures cover.
double psnr(const Picture& a, const Picture& b);

// NAL unit types found in an Annex B access unit.
std::vector<int> nalTypes(const std::uint8_t* data, std::size_t size);
// The first NAL unit of a type, without its start code.
std::vector<std::uint8_t> findNal(const std::uint8_t* data, std::size_t size, int type);

// One packet of the video connection.
struct VideoPacket {
    std::uint8_t streamId = 0;
    std::uint16_t sequence = 0;
    std::uint16_t payloadLength = 0;
    std::uint32_t timestamp = 0;
    std::uint8_t frameType = 0;
    std::array<std::uint8_t, 16> header{};
    std::vector<std::uint8_t> payload;
    std::chrono::steady_clock::time_point received;
};

// The client side of the video connection: reads packets on a thread and
// sends feedback and keyframe messages.
class VideoReceiver {
public:
    explicit VideoReceiver(unsigned short port);
    ~VideoReceiver();
    VideoReceiver(const VideoReceiver&) = delete;
    VideoReceiver& operator=(const VideoReceiver&) = delete;

    bool connected() const { return fd_ >= 0; }
    std::optional<VideoPacket> next(std::chrono::milliseconds timeout);
    void clear();
    std::size_t bytesReceived() const { return bytes_; }
    std::size_t packetsReceived() const { return packets_; }
    bool closed() const { return closed_; }

    void sendFeedback(std::uint16_t decodeTimeMs, std::uint16_t rttMs);
    void sendKeyframeRequest(std::uint8_t streamId);
    void sendRaw(const std::vector<std::uint8_t>& body);

private:
    void run();

    int fd_ = -1;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<VideoPacket> queue_;
    std::atomic<std::size_t> bytes_{0};
    std::atomic<std::size_t> packets_{0};
    std::atomic<bool> closed_{false};
    std::atomic<bool> stop_{false};
};

}  // namespace qhtest
