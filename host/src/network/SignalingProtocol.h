#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "capture/WindowInfo.h"
#include "common/Version.h"

namespace quillane::host {

using protocol::WindowInfo;

enum class MessageType {
    Hello,
    Welcome,
    WindowListRequest,
    WindowList,
    StreamStart,
    StreamStarted,
    StreamStop,
    KeyframeRequest,
    WindowResize,
    WindowResized,
    Error,
    Ping,
    Pong,
};

// Default ports of the TCP media servers, advertised in "welcome".
inline constexpr std::uint32_t kDefaultVideoPort = 9944;
inline constexpr std::uint32_t kDefaultAudioPort = 9945;
inline constexpr std::uint32_t kDefaultInputPort = 9946;

inline constexpr std::uint32_t kErrorStreamStartFailed = 1001;
inline constexpr const char* kErrorStreamStartFailedText = "Failed to start stream";

struct WelcomeMessage {
    std::string type = "welcome";
    std::string hostName = "Quillane Host";
    std::string hostVersion = kHostVersion;
    std::uint32_t videoPort = kDefaultVideoPort;
    std::uint32_t audioPort = kDefaultAudioPort;
    std::uint32_t inputPort = kDefaultInputPort;
    std::string protocol = "tcp";
    std::vector<std::string> supportedCodecs{"h264"};
    bool requiresAuth = false;
};

struct WindowListMessage {
    std::string type = "window_list";
    std::vector<WindowInfo> windows;
};

// The stream a message is about: its window, its id and its picture size.
struct StreamDescription {
    std::uint32_t windowId = 0;
    std::uint8_t streamId = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
};

// The server knows no size when it answers a start request; the real size
// follows in "stream_config", so width and height stay 0.
struct StreamStartedMessage : StreamDescription {
    std::string type = "stream_started";
    std::string codec = "h264";
};

struct ErrorMessage {
    std::string type = "error";
    std::uint32_t code = 0;
    std::string message;
};

struct StreamConfigMessage : StreamDescription {
    std::string type = "stream_config";
    std::string codec;
    std::string sps;
    std::string pps;
    std::uint32_t targetBitrate = 0;
    std::uint32_t targetFps = 0;
};

// The message's kind, or none for a non-object, a missing "type" or an
// unknown type string. Throws the JSON library's type error when "type" is
// present but not a string.
std::optional<MessageType> parseMessageType(const nlohmann::json& message);

// Readers of client numbers: a missing key reads as 0, true/false as 1/0, an
// integer as its low 32 bits and a fractional number truncated toward zero. A
// value of another JSON type, or a fractional one outside the field's range
// (NaN and infinities too), throws: the message is malformed.
std::int32_t readInt32Field(const nlohmann::json& message, const char* key);
std::uint32_t readUint32Field(const nlohmann::json& message, const char* key);

void to_json(nlohmann::json& j, const WelcomeMessage& message);
void to_json(nlohmann::json& j, const StreamStartedMessage& message);
void to_json(nlohmann::json& j, const ErrorMessage& message);

// Messages built key by key.
nlohmann::json makeWindowListJson(const std::vector<WindowInfo>& windows);
nlohmann::json makeStreamStoppedJson(std::int32_t streamId);
nlohmann::json makeWindowResizedJson(std::int32_t streamId, std::uint32_t windowId, std::uint32_t width,
                                     std::uint32_t height, bool success);
nlohmann::json makePongJson(std::int32_t timestamp);
nlohmann::json makeStreamConfigJson(const StreamConfigMessage& message);

// Compact serialisation of an outgoing message. Text that is not valid UTF-8
// (a window title, say) goes out with U+FFFD in place of the bad bytes.
std::string serializeMessage(const nlohmann::json& message);

}  // namespace quillane::host

namespace quillane::protocol {
void to_json(nlohmann::json& j, const WindowInfo& window);
}  // namespace quillane::protocol
