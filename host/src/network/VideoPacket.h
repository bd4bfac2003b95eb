#pragma once

#include "network/TransportTypes.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <variant>

namespace quillane::host {

// The 4-byte length prefix and the 16-byte header in front of every video payload.
inline constexpr std::size_t kVideoPacketPrefixSize = 20;
// A client message body may be at most this long; a longer one ends reading from that client.
inline constexpr std::uint32_t kMaxClientMessageLength = 4 * 1024 * 1024;

inline constexpr std::uint8_t kFrameTypeKey = 1;
inline constexpr std::uint8_t kFrameTypeDelta = 3;

// Header bytes 4 to 19 of a video packet; the constant bytes are written by writeVideoPacketPrefix.
struct VideoPacketHeader {
    std::uint8_t type = 0x01;
    std::uint8_t streamId = 0;
    std::uint16_t sequence = 0;
    std::uint16_t payloadLength = 0;  // payload + 8, clamped to 65535
    std::uint32_t timestamp = 0;      // 90 kHz ticks
    std::uint8_t frameType = kFrameTypeDelta;
};

VideoPacketHeader makeVideoPacketHeader(std::uint8_t streamId, std::uint16_t sequence,
                                        std::uint32_t timestamp, bool isKeyframe,
                                        std::size_t payloadSize);

// Writes the length prefix and header (kVideoPacketPrefixSize bytes) for a payload of payloadSize.
void writeVideoPacketPrefix(std::uint8_t* out, const VideoPacketHeader& header,
                            std::size_t payloadSize);

struct KeyframeRequest {
    std::uint8_t streamId = 0;
};

// What a client message body carries; monostate for unknown types and bodies that are too short.
using ClientMessage = std::variant<std::monostate, ClientInput, ClientFeedback, KeyframeRequest>;

ClientMessage decodeClientMessage(std::span<const std::uint8_t> body);

}  // namespace quillane::host
