#pragma once

#include "VideoClient.h"

#include <atomic>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace quillane::host::test {

// A payload naming its stream, index and kind, filled with bytes derived from them, so a
// receiver can tell which frame arrived and that it is whole.
inline std::vector<std::uint8_t> makeFrame(std::uint8_t stream, std::uint32_t index, bool key, std::size_t size) {
    std::vector<std::uint8_t> frame(std::max<std::size_t>(size, 6), static_cast<std::uint8_t>(index * 31 + stream));
    frame[0] = stream;
    std::memcpy(frame.data() + 1, &index, 4);
    frame[5] = key ? 1 : 0;
    return frame;
}

// What a decoder needs from one connection: each stream starts with a keyframe, each delta frame
// follows the previous frame of its stream, header and payload agree, sequence numbers go up by one.
class StreamContinuity {
public:
    void add(const ReceivedVideoPacket& packet) {
        struct {
            std::uint8_t stream = 0;
            std::uint32_t index = 0;
            bool key = false;
        } tag;
        const auto& frame = packet.payload;
        bool intact = frame.size() >= 6;
        if (intact) {
            tag.stream = frame[0];
            std::memcpy(&tag.index, frame.data() + 1, 4);
            tag.key = frame[5] == 1;
            intact = frame == makeFrame(tag.stream, tag.index, tag.key, frame.size());
        }
        ++packets_;
        if (!intact || tag.stream != packet.streamId() || tag.key != packet.isKeyframe()) {
            errors_.push_back("packet " + std::to_string(packets_) + " does not match its header");
        }
        if (havePrevious_ && packet.sequence() != static_cast<std::uint16_t>(previousSequence_ + 1)) {
            errors_.push_back("sequence " + std::to_string(packet.sequence()) + " after " +
                              std::to_string(previousSequence_));
        }
        havePrevious_ = true;
        previousSequence_ = packet.sequence();

        auto last = lastIndex_.find(tag.stream);
        if (!tag.key) {
            if (last == lastIndex_.end()) {
                errors_.push_back("stream " + std::to_string(tag.stream) + " starts with a delta frame");
            } else if (tag.index != last->second + 1) {
                errors_.push_back("stream " + std::to_string(tag.stream) + " delta frame " +
                                  std::to_string(tag.index) + " follows frame " + std::to_string(last->second));
            }
        } else {
            ++keyframes_[tag.stream];
            if (last != lastIndex_.end() && tag.index != last->second + 1) {
                ++recoveries_[tag.stream];
            }
        }
        lastIndex_[tag.stream] = tag.index;
    }

    const std::vector<std::string>& errors() const { return errors_; }
    std::size_t packets() const { return packets_; }
    std::size_t keyframes(std::uint8_t stream) const { return lookup(keyframes_, stream); }
    // Keyframes that ended a gap in their stream.
    std::size_t recoveries(std::uint8_t stream) const { return lookup(recoveries_, stream); }

private:
    static std::size_t lookup(const std::map<std::uint8_t, std::size_t>& map, std::uint8_t stream) {
        auto it = map.find(stream);
        return it == map.end() ? 0 : it->second;
    }

    std::size_t packets_ = 0;
    bool havePrevious_ = false;
    std::uint16_t previousSequence_ = 0;
    std::map<std::uint8_t, std::uint32_t> lastIndex_;
    std::map<std::uint8_t, std::size_t> keyframes_;
    std::map<std::uint8_t, std::size_t> recoveries_;
    std::vector<std::string> errors_;
};

// Stands in for the capture threads: steady frames per stream, a keyframe every gopLength frames
// and whenever one was requested.
struct FrameSourceOptions {
    std::vector<std::uint8_t> streams{1, 2};
    std::chrono::microseconds interval{16667};
    std::size_t keyframeBytes = 300 * 1024;
    std::size_t deltaBytes = 40 * 1024;
    std::uint32_t gopLength = 60;
};

class FrameSource {
public:
    using Options = FrameSourceOptions;

    using Send = std::function<void(std::uint8_t, const std::vector<std::uint8_t>&, bool)>;

    FrameSource(Options options, Send send) : options_(std::move(options)), send_(std::move(send)) {}
    ~FrameSource() { stop(); }

    void requestKeyframe(std::uint8_t stream) {
        std::lock_guard lock(mutex_);
        requested_[stream] = true;
    }

    void start() {
        running_ = true;
        thread_ = std::thread([this] { run(); });
    }

    void stop() {
        running_ = false;
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    std::uint64_t framesSent() const { return frames_; }
    std::chrono::microseconds slowestCall() const { return std::chrono::microseconds(slowest_.load()); }
    void resetSlowestCall() { slowest_ = 0; }

private:
    void run() {
        std::map<std::uint8_t, std::uint32_t> index;
        auto next = std::chrono::steady_clock::now();
        while (running_) {
            for (std::uint8_t stream : options_.streams) {
                const std::uint32_t i = index[stream]++;
                bool key = i % options_.gopLength == 0;
                {
                    std::lock_guard lock(mutex_);
                    key = key || std::exchange(requested_[stream], false);
                }
                const auto frame = makeFrame(stream, i, key, key ? options_.keyframeBytes : options_.deltaBytes);
                const auto before = std::chrono::steady_clock::now();
                send_(stream, frame, key);
                const auto took = std::chrono::duration_cast<std::chrono::microseconds>(
                                      std::chrono::steady_clock::now() - before)
                                      .count();
                if (took > slowest_) {
                    slowest_ = took;
                }
                ++frames_;
            }
            next += options_.interval;
            std::this_thread::sleep_until(next);
        }
    }

    const Options options_;
    const Send send_;
    std::mutex mutex_;
    std::map<std::uint8_t, bool> requested_;
    std::atomic<bool> running_{false};
    std::atomic<std::uint64_t> frames_{0};
    std::atomic<std::int64_t> slowest_{0};
    std::thread thread_;
};

}  // namespace quillane::host::test
