#include "network/AudioPacket.h"

#include "network/LittleEndian.h"

#include <chrono>

namespace quillane::host {

void writeAudioPacketPrefix(std::uint8_t* out, std::uint8_t streamId, std::uint16_t sequence,
                            std::uint32_t timestampMs, std::size_t dataSize) {
    storeLe32(out, static_cast<std::uint32_t>(dataSize + kAudioPacketHeaderSize));
    out[4] = 0x01;
    out[5] = kAudioPacketType;
    out[6] = streamId;
    out[7] = 0x00;
    storeLe16(out + 8, sequence);
    storeLe16(out + 10, static_cast<std::uint16_t>(dataSize + 4));
    storeLe32(out + 12, timestampMs);
}

std::uint32_t audioTimestampMs() {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count();
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ns) / 1000000);
}

}  // namespace quillane::host
