#include "network/VideoPacket.h"

#include "network/LittleEndian.h"

#include <algorithm>

namespace quillane::host {

namespace {

constexpr std::uint8_t kMessageInput = 3;
constexpr std::uint8_t kMessageFeedback = 4;
constexpr std::uint8_t kMessageKeyframeRequest = 16;

ClientInput decodeClientInput(const std::uint8_t* record) {
    ClientInput input;
    input.streamId = record[0];
    input.deviceType = record[1];
    input.action = record[2];
    input.padding = record[3];
    input.x = loadLe16(record + 4);
    input.y = loadLe16(record + 6);
    input.code = record[8];
    input.modifiers = record[9];
    input.wheelDelta = static_cast<std::int16_t>(loadLe16(record + 10));
    return input;
}

ClientFeedback decodeClientFeedback(const std::uint8_t* record) {
    ClientFeedback feedback;
    std::copy(record, record + 8, feedback.reserved);
    feedback.decodeTimeMs = loadLe16(record + 8);
    feedback.rttMs = loadLe16(record + 10);
    return feedback;
}

}  // namespace

VideoPacketHeader makeVideoPacketHeader(std::uint8_t streamId, std::uint16_t sequence,
                                        std::uint32_t timestamp, bool isKeyframe,
                                        std::size_t payloadSize) {
    VideoPacketHeader header;
    header.streamId = streamId;
    header.sequence = sequence;
    header.payloadLength = static_cast<std::uint16_t>(std::min<std::size_t>(payloadSize + 8, 0xFFFF));
    header.timestamp = timestamp;
    header.frameType = isKeyframe ? kFrameTypeKey : kFrameTypeDelta;
    return header;
}

void writeVideoPacketPrefix(std::uint8_t* out, const VideoPacketHeader& header,
                            std::size_t payloadSize) {
    storeLe32(out, static_cast<std::uint32_t>(payloadSize + 16));
    out[4] = 0x01;
    out[5] = header.type;
    out[6] = header.streamId;
    out[7] = 0x01;
    storeLe16(out + 8, header.sequence);
    storeLe16(out + 10, header.payloadLength);
    storeLe32(out + 12, header.timestamp);
    out[16] = header.frameType;
    out[17] = 0x00;
    out[18] = 0x01;
    out[19] = 0x00;
}

ClientMessage decodeClientMessage(std::span<const std::uint8_t> body) {
    if (body.empty()) {
        return std::monostate{};
    }
    switch (body[0]) {
    case kMessageInput:
        if (body.size() >= 13) {
            return decodeClientInput(body.data() + 1);
        }
        break;
    case kMessageFeedback:
        if (body.size() >= 13) {
            return decodeClientFeedback(body.data() + 1);
        }
        break;
    case kMessageKeyframeRequest:
        if (body.size() >= 2) {
            return KeyframeRequest{body[1]};
        }
        break;
    default:
        break;
    }
    return std::monostate{};
}

}  // namespace quillane::host
