#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quillane::host::test {

// One video packet as it arrived: the length prefix, the 16 header bytes, the payload and the time
// its last byte was read.
struct ReceivedVideoPacket {
    std::uint32_t length = 0;
    std::array<std::uint8_t, 16> header{};
    std::vector<std::uint8_t> payload;
    std::chrono::steady_clock::time_point received;

    std::uint8_t type() const { return header[1]; }
    std::uint8_t streamId() const { return header[2]; }
    std::uint16_t sequence() const;
    std::uint16_t payloadLength() const;
    std::uint32_t timestamp() const;
    std::uint8_t frameType() const { return header[12]; }
    bool isKeyframe() const { return frameType() == 1; }
};

// One length-prefixed message as it arrived: the bytes after the 4-byte length.
struct ReceivedMessage {
    std::vector<std::uint8_t> body;
    std::chrono::steady_clock::time_point received;
};

// The fields of an input record (message type 3), encoded by the client itself.
struct VideoInputRecord {
    std::uint8_t streamId = 0;
    std::uint8_t deviceType = 0;
    std::uint8_t action = 0;
    std::uint16_t x = 0;
    std::uint16_t y = 0;
    std::uint8_t code = 0;
    std::uint8_t modifiers = 0;
    std::int16_t wheelDelta = 0;
};

struct VideoClientOptions {
    int receiveBufferBytes = 0;  // small values make a client that stops reading stall soon
};

// A client of the host's video connection, written from the wire format alone: it reads packets
// and sends feedback, input and keyframe messages (readMessage serves the audio connection too). Reads and connecting take a time-out; sends
// block until the bytes are with the kernel. One thread may read while another sends.
class VideoClient {
public:
    VideoClient();
    ~VideoClient();

    VideoClient(const VideoClient&) = delete;
    VideoClient& operator=(const VideoClient&) = delete;

    bool connect(std::uint16_t port, std::chrono::milliseconds timeout = std::chrono::seconds(5),
                 VideoClientOptions options = {});
    bool connect(const std::string& host, std::uint16_t port, std::chrono::milliseconds timeout,
                 VideoClientOptions options = {});

    // The next whole packet, or nothing when none arrived in time or the connection ended.
    std::optional<ReceivedVideoPacket> readPacket(std::chrono::milliseconds timeout);
    // The next whole message of at least minLength bytes; a shorter one ends the connection's reading.
    std::optional<ReceivedMessage> readMessage(std::chrono::milliseconds timeout, std::size_t minLength);
    // Reads and discards until the host closes or resets the connection; false on time-out.
    bool waitForClose(std::chrono::milliseconds timeout);
    // True once a read saw the end of the connection or an error.
    bool ended() const { return ended_; }

    bool sendFeedback(std::uint16_t decodeTimeMs, std::uint16_t rttMs, std::array<std::uint8_t, 8> opaque = {});
    bool sendInput(const VideoInputRecord& record);
    bool sendKeyframeRequest(std::uint8_t streamId);
    // One message: the 4-byte length of body, then body.
    bool sendMessage(std::span<const std::uint8_t> body);
    bool sendRaw(std::span<const std::uint8_t> bytes);

    void close();
    // Closes with SO_LINGER 0, so the host sees a reset.
    void reset();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    bool ended_ = false;
};

// Message bodies, for tests that send them raw or malformed.
std::vector<std::uint8_t> feedbackBody(std::uint16_t decodeTimeMs, std::uint16_t rttMs,
                                       std::array<std::uint8_t, 8> opaque = {});
std::vector<std::uint8_t> inputBody(const VideoInputRecord& record);
// The same record as the input connection carries it: 12 packed bytes, no message type.
std::vector<std::uint8_t> inputEventBody(const VideoInputRecord& record);
std::vector<std::uint8_t> keyframeRequestBody(std::uint8_t streamId);

}  // namespace quillane::host::test
