#pragma once

#include "network/SignalingCallbacks.h"  // KeyframeRequestCallback, shared with the signalling server

#include <cstdint>
#include <functional>

namespace quillane::host {

// Input record a client sends on the video connection (message type 3), bytes 1 to 12 of the body.
struct ClientInput {
    std::uint8_t streamId = 0;
    std::uint8_t deviceType = 0;
    std::uint8_t action = 0;
    std::uint8_t padding = 0;
    std::uint16_t x = 0;
    std::uint16_t y = 0;
    std::uint8_t code = 0;
    std::uint8_t modifiers = 0;
    std::int16_t wheelDelta = 0;
};
static_assert(sizeof(ClientInput) == 12);

// Feedback record a client sends on the video connection (message type 4), bytes 1 to 12 of the body.
struct ClientFeedback {
    std::uint8_t reserved[8] = {};
    std::uint16_t decodeTimeMs = 0;
    std::uint16_t rttMs = 0;
};
static_assert(sizeof(ClientFeedback) == 12);

using ClientFeedbackCallback = std::function<void(const ClientFeedback&)>;
using ClientInputCallback = std::function<void(const ClientInput&)>;
// A client's connection ended (closed, reset, replaced or refused for a broken message).
using ClientGoneCallback = std::function<void()>;

}  // namespace quillane::host
