#pragma once

#include <cstddef>
#include <cstdint>

namespace quillane::host {

// The 4-byte length prefix and the 12-byte header in front of every Opus packet.
inline constexpr std::size_t kAudioPacketPrefixSize = 16;
inline constexpr std::size_t kAudioPacketHeaderSize = 12;
inline constexpr std::uint8_t kAudioPacketType = 0x02;

// Writes the length prefix and header for an Opus packet of dataSize bytes: length 12 + size,
// bytes 0x01 0x02 streamId 0x00, sequence, payloadLength (size + 4, low 16 bits) and timestamp.
void writeAudioPacketPrefix(std::uint8_t* out, std::uint8_t streamId, std::uint16_t sequence,
                            std::uint32_t timestampMs, std::size_t dataSize);

// Milliseconds of the steady clock, low 32 bits: the audio packet's timestamp.
std::uint32_t audioTimestampMs();

}  // namespace quillane::host
