#pragma once

#include "VideoClient.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

namespace quillane::host::test {

// One audio packet as it arrived: the length prefix, the 12 header bytes and the Opus data.
struct ReceivedAudioPacket {
    std::uint32_t length = 0;
    std::array<std::uint8_t, 12> header{};
    std::vector<std::uint8_t> data;
    std::chrono::steady_clock::time_point received;

    std::uint8_t type() const { return header[1]; }
    std::uint8_t streamId() const { return header[2]; }
    std::uint16_t sequence() const { return static_cast<std::uint16_t>(littleEndian(4, 2)); }
    std::uint16_t payloadLength() const { return static_cast<std::uint16_t>(littleEndian(6, 2)); }
    std::uint32_t timestamp() const { return littleEndian(8, 4); }
    std::uint32_t littleEndian(std::size_t at, std::size_t bytes) const {
        std::uint32_t value = 0;
        for (std::size_t i = bytes; i-- > 0;) value = (value << 8) | header[at + i];
        return value;
    }
};

// The next audio packet on a connection to the host's audio port, or nothing on time-out or end.
inline std::optional<ReceivedAudioPacket> readAudioPacket(VideoClient& client, std::chrono::milliseconds timeout) {
    auto message = client.readMessage(timeout, 12);
    if (!message) return std::nullopt;
    ReceivedAudioPacket packet;
    packet.length = static_cast<std::uint32_t>(message->body.size());
    std::copy(message->body.begin(), message->body.begin() + 12, packet.header.begin());
    packet.data.assign(message->body.begin() + 12, message->body.end());
    packet.received = message->received;
    return packet;
}

}  // namespace quillane::host::test
