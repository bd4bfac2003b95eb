#include "network/SignalingProtocol.h"

#include <nlohmann/json.hpp>

#include <array>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>

// Every message goes out as an object with each listed member under its own name, so the keys
// and the members cannot drift apart. Defines `void name(nlohmann::json&, const Message&)`.
#define QH_WRITE_MEMBER(member) j[#member] = message.member;
#define QH_DEFINE_MESSAGE_WRITER(name, Message, ...)                        \
    void name(nlohmann::json& j, const Message& message) {                 \
        j = nlohmann::json::object();                                       \
        NLOHMANN_JSON_EXPAND(NLOHMANN_JSON_PASTE(QH_WRITE_MEMBER, __VA_ARGS__)) \
    }

namespace quillane::host {

namespace {

struct TypeName {
    const char* text;
    MessageType type;
};

// Canonical strings and aliases, matched byte for byte.
constexpr std::array<TypeName, 16> kTypeNames{{
    {"hello", MessageType::Hello},
    {"welcome", MessageType::Welcome},
    {"window_list_request", MessageType::WindowListRequest},
    {"window_list", MessageType::WindowList},
    {"stream_start", MessageType::StreamStart},
    {"stream_subscribe", MessageType::StreamStart},
    {"stream_started", MessageType::StreamStarted},
    {"stream_stop", MessageType::StreamStop},
    {"stream_unsubscribe", MessageType::StreamStop},
    {"request_keyframe", MessageType::KeyframeRequest},
    {"keyframe_request", MessageType::KeyframeRequest},
    {"window_resize", MessageType::WindowResize},
    {"window_resized", MessageType::WindowResized},
    {"error", MessageType::Error},
    {"ping", MessageType::Ping},
    {"pong", MessageType::Pong},
}};

// Integers keep their low 32 bits, as a 32-bit client clock wraps; a
// floating-point value is truncated toward zero, and one that lands outside the
// field (NaN and the infinities too) has no defined conversion, so it is refused.
template <typename T>
T readField(const nlohmann::json& message, const char* key) {
    const auto it = message.find(key);
    if (it == message.end()) {
        return 0;
    }
    const nlohmann::json& value = *it;
    switch (value.type()) {
    case nlohmann::json::value_t::boolean:
        return value.get<bool>() ? 1 : 0;
    case nlohmann::json::value_t::number_integer:
        return static_cast<T>(static_cast<std::uint32_t>(value.get<std::int64_t>()));
    case nlohmann::json::value_t::number_unsigned:
        return static_cast<T>(static_cast<std::uint32_t>(value.get<std::uint64_t>()));
    case nlohmann::json::value_t::number_float: {
        const double truncated = std::trunc(value.get<double>());
        // Both bounds are exact in a double, and NaN fails both comparisons.
        if (!(truncated >= static_cast<double>(std::numeric_limits<T>::min()) &&
              truncated <= static_cast<double>(std::numeric_limits<T>::max()))) {
            throw std::out_of_range(std::string("value of '") + key + "' is out of range");
        }
        return static_cast<T>(truncated);
    }
    default:
        // Strings, arrays, objects and null: the library's own type error.
        return value.get<T>();
    }
}

// Answers built from a request's fields.
struct StreamStoppedMessage {
    std::string type = "stream_stopped";
    std::int32_t streamId = 0;
};

struct WindowResizedMessage {
    std::string type = "window_resized";
    std::int32_t streamId = 0;
    std::uint32_t windowId = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool success = false;
};

struct PongMessage {
    std::string type = "pong";
    std::int32_t timestamp = 0;
};

QH_DEFINE_MESSAGE_WRITER(to_json, StreamStoppedMessage, type, streamId)
QH_DEFINE_MESSAGE_WRITER(to_json, WindowResizedMessage, type, streamId, windowId, width, height, success)
QH_DEFINE_MESSAGE_WRITER(to_json, PongMessage, type, timestamp)
QH_DEFINE_MESSAGE_WRITER(writeStreamConfig, StreamConfigMessage, windowId, streamId, width, height, codec, sps, pps,
                         targetBitrate, targetFps)

}  // namespace

std::optional<MessageType> parseMessageType(const nlohmann::json& message) {
    if (!message.is_object()) {
        return std::nullopt;
    }
    const auto it = message.find("type");
    if (it == message.end()) {
        return std::nullopt;
    }
    const auto& text = it->get_ref<const std::string&>();
    for (const auto& entry : kTypeNames) {
        if (text == entry.text) {
            return entry.type;
        }
    }
    return std::nullopt;
}

std::int32_t readInt32Field(const nlohmann::json& message, const char* key) {
    return readField<std::int32_t>(message, key);
}

std::uint32_t readUint32Field(const nlohmann::json& message, const char* key) {
    return readField<std::uint32_t>(message, key);
}

QH_DEFINE_MESSAGE_WRITER(to_json, WelcomeMessage, type, hostName, hostVersion, videoPort, audioPort, inputPort, protocol,
                         supportedCodecs, requiresAuth)
QH_DEFINE_MESSAGE_WRITER(to_json, StreamStartedMessage, type, windowId, streamId, width, height, codec)
QH_DEFINE_MESSAGE_WRITER(to_json, ErrorMessage, type, code, message)

nlohmann::json makeWindowListJson(const std::vector<WindowInfo>& windows) {
    nlohmann::json j = nlohmann::json::object();
    j["type"] = "window_list";
    auto& array = j["windows"] = nlohmann::json::array();
    for (const auto& window : windows) {
        array.push_back(window);
    }
    return j;
}

nlohmann::json makeStreamStoppedJson(std::int32_t streamId) {
    return StreamStoppedMessage{.streamId = streamId};
}

nlohmann::json makeWindowResizedJson(std::int32_t streamId, std::uint32_t windowId, std::uint32_t width,
                                     std::uint32_t height, bool success) {
    return WindowResizedMessage{
        .streamId = streamId, .windowId = windowId, .width = width, .height = height, .success = success};
}

nlohmann::json makePongJson(std::int32_t timestamp) {
    return PongMessage{.timestamp = timestamp};
}

nlohmann::json makeStreamConfigJson(const StreamConfigMessage& message) {
    nlohmann::json j;
    writeStreamConfig(j, message);
    j["type"] = "stream_config";  // the record's own type field is not read
    return j;
}

std::string serializeMessage(const nlohmann::json& message) {
    return message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace quillane::host

namespace quillane::protocol {

QH_DEFINE_MESSAGE_WRITER(to_json, WindowInfo, id, title, processName, className, x, y, width, height, isMinimized,
                         isMaximized, isVisible, iconBase64)

}  // namespace quillane::protocol
