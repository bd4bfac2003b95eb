#include "network/SignalingProtocol.h"

#include <nlohmann/json.hpp>

#include <array>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>

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

void to_json(nlohmann::json& j, const WelcomeMessage& message) {
    j = nlohmann::json::object();
    j["type"] = message.type;
    j["hostName"] = message.hostName;
    j["hostVersion"] = message.hostVersion;
    j["videoPort"] = message.videoPort;
    j["audioPort"] = message.audioPort;
    j["inputPort"] = message.inputPort;
    j["protocol"] = message.protocol;
    j["supportedCodecs"] = message.supportedCodecs;
    j["requiresAuth"] = message.requiresAuth;
}

void to_json(nlohmann::json& j, const StreamStartedMessage& message) {
    j = nlohmann::json::object();
    j["type"] = message.type;
    j["windowId"] = message.windowId;
    j["streamId"] = message.streamId;
    j["width"] = message.width;
    j["height"] = message.height;
    j["codec"] = message.codec;
}

void to_json(nlohmann::json& j, const ErrorMessage& message) {
    j = nlohmann::json::object();
    j["type"] = message.type;
    j["code"] = message.code;
    j["message"] = message.message;
}

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
    nlohmann::json j = nlohmann::json::object();
    j["type"] = "stream_stopped";
    j["streamId"] = streamId;
    return j;
}

nlohmann::json makeWindowResizedJson(std::int32_t streamId, std::uint32_t windowId, std::uint32_t width,
                                     std::uint32_t height, bool success) {
    nlohmann::json j = nlohmann::json::object();
    j["type"] = "window_resized";
    j["streamId"] = streamId;
    j["windowId"] = windowId;
    j["width"] = width;
    j["height"] = height;
    j["success"] = success;
    return j;
}

nlohmann::json makePongJson(std::int32_t timestamp) {
    nlohmann::json j = nlohmann::json::object();
    j["type"] = "pong";
    j["timestamp"] = timestamp;
    return j;
}

nlohmann::json makeStreamConfigJson(const StreamConfigMessage& message) {
    nlohmann::json j = nlohmann::json::object();
    j["type"] = "stream_config";  // the record's own type field is not read
    j["windowId"] = message.windowId;
    j["streamId"] = message.streamId;
    j["width"] = message.width;
    j["height"] = message.height;
    j["codec"] = message.codec;
    j["sps"] = message.sps;
    j["pps"] = message.pps;
    j["targetBitrate"] = message.targetBitrate;
    j["targetFps"] = message.targetFps;
    return j;
}

std::string serializeMessage(const nlohmann::json& message) {
    return message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace quillane::host

namespace quillane::protocol {

void to_json(nlohmann::json& j, const WindowInfo& window) {
    j = nlohmann::json::object();
    j["id"] = window.id;
    j["title"] = window.title;
    j["processName"] = window.processName;
    j["className"] = window.className;
    j["x"] = window.x;
    j["y"] = window.y;
    j["width"] = window.width;
    j["height"] = window.height;
    j["isMinimized"] = window.isMinimized;
    j["isMaximized"] = window.isMaximized;
    j["isVisible"] = window.isVisible;
    j["iconBase64"] = window.iconBase64;
}

}  // namespace quillane::protocol
