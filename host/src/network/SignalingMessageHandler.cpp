#include "network/SignalingMessageHandler.h"

#include <algorithm>
#include <exception>
#include <utility>

#include <nlohmann/json.hpp>
#include <spdlog/spdlog.h>

#include "common/LineSource.h"
#include "network/LogText.h"

namespace quillane::host {

namespace {

// Exception texts of the JSON library quote the offending input after a
// fixed prefix, so they get a little more room than bare client text.
constexpr std::size_t kErrorTextLimit = 2 * kLogTextLimit;

std::string errorReply() {
    ErrorMessage error;
    error.code = kErrorStreamStartFailed;
    error.message = kErrorStreamStartFailedText;
    return serializeMessage(nlohmann::json(error));
}

// The stream id reserved for one start request: given back unless the start took it over.
class ReservedStreamId {
public:
    ReservedStreamId(std::optional<std::uint8_t> id, StreamIdReleaseCallback release)
        : id(id), release(std::move(release)) {}
    ~ReservedStreamId() {
        if (id && release) release(*id);
    }
    ReservedStreamId(const ReservedStreamId&) = delete;
    ReservedStreamId& operator=(const ReservedStreamId&) = delete;

    explicit operator bool() const { return id.has_value(); }
    std::uint8_t handOver() {
        const std::uint8_t taken = *id;
        id.reset();
        return taken;
    }

private:
    std::optional<std::uint8_t> id;
    StreamIdReleaseCallback release;
};

}  // namespace

SignalingMessageHandler::SignalingMessageHandler() : SignalingMessageHandler(Config{}) {}

SignalingMessageHandler::SignalingMessageHandler(Config config) : config(std::move(config)) {}

SignalingMessageHandler::SignalingMessageHandler(Config config, const SignalingCallbacks& callbacks)
    : SignalingCallbacks(callbacks), config(std::move(config)) {}

std::optional<std::string> SignalingMessageHandler::handleMessage(std::string_view text,
                                                                  const std::string& clientAddress,
                                                                  std::uint64_t session) {
    // What the callbacks log counts against this client too, whichever connection it came on.
    const ClientLineScope client(clientAddress);
    try {
        return dispatch(text, clientAddress, session);
    } catch (const std::exception& e) {
        if (std::size_t held = 0; errorLog.allow(ClientLineScope::current(), held)) {
            SPDLOG_ERROR("Error processing message: {}{}", logSafeText(e.what(), kErrorTextLimit), heldNote(held));
        }
    } catch (...) {
        if (std::size_t held = 0; errorLog.allow(ClientLineScope::current(), held)) {
            SPDLOG_ERROR("Error processing message: {}{}", "unknown exception", heldNote(held));
        }
    }
    return std::nullopt;
}

std::optional<std::string> SignalingMessageHandler::dispatch(std::string_view text,
                                                             const std::string& clientAddress,
                                                             std::uint64_t session) {
    const nlohmann::json message = nlohmann::json::parse(text);
    const auto type = parseMessageType(message);
    if (!type) {
        warnUnknownType(message);
        return std::nullopt;
    }

    switch (*type) {
    case MessageType::Hello: {
        std::size_t held = 0;
        const bool logged = helloLog.allow(ClientLineScope::current(), held);
        if (logged) SPDLOG_INFO("Received hello from client at {}{}", clientAddress, heldNote(held));
        if (auto callback = clientConnectedCallback()) {
            callback(clientAddress);
        }
        std::string welcome = serializeMessage(nlohmann::json(config.welcome));
        if (logged) SPDLOG_INFO("Sending welcome message: {}", welcome);
        return welcome;
    }
    case MessageType::WindowListRequest:
        return windowSnapshot()->windowListText;
    case MessageType::StreamStart:
        return handleStreamStart(message, session);
    case MessageType::StreamStop: {
        const std::int32_t streamId = readInt32Field(message, "streamId");
        if (std::size_t held = 0; requestLog.allow(ClientLineScope::current(), held)) {
            SPDLOG_INFO("Stream stop request for stream {}{}", streamId, heldNote(held));
        }
        recordOwner(static_cast<std::uint8_t>(streamId), std::nullopt);
        if (auto callback = streamStopCallback()) {
            callback(static_cast<std::uint8_t>(streamId));
        }
        return serializeMessage(makeStreamStoppedJson(streamId));
    }
    case MessageType::KeyframeRequest: {
        const std::int32_t streamId = readInt32Field(message, "streamId");
        if (auto callback = keyframeRequestCallback()) {
            callback(static_cast<std::uint8_t>(streamId));
        }
        return std::nullopt;
    }
    case MessageType::WindowResize:
        return handleWindowResize(message);
    case MessageType::Ping:
        return serializeMessage(makePongJson(readInt32Field(message, "timestamp")));
    case MessageType::Welcome:
    case MessageType::WindowList:
    case MessageType::StreamStarted:
    case MessageType::WindowResized:
    case MessageType::Error:
    case MessageType::Pong:
        break;
    }
    return std::nullopt;
}

void SignalingMessageHandler::warnUnknownType(const nlohmann::json& message) {
    // value() throws for a non-object, which ends up as a processing error.
    const std::string type = message.value("type", std::string("missing"));
    if (std::size_t held = 0; unknownTypeLog.allow(ClientLineScope::current(), held)) {
        SPDLOG_WARN("Unknown message type: '{}'{}", logSafeText(type), heldNote(held));
    }
}

std::size_t SignalingMessageHandler::runningStreamsOf(std::uint64_t session) {
    std::vector<std::uint8_t> ids;
    {
        std::lock_guard lock(sessionsMutex);
        if (const auto it = sessionStreams.find(session); it != sessionStreams.end()) ids = it->second;
    }
    const auto inUse = streamIdInUseCallback();
    return inUse ? static_cast<std::size_t>(std::count_if(ids.begin(), ids.end(), inUse)) : ids.size();
}

void SignalingMessageHandler::recordOwner(std::uint8_t streamId, std::optional<std::uint64_t> session) {
    std::lock_guard lock(sessionsMutex);
    // An id names one stream at a time: whoever started it before no longer owns it.
    for (auto& [owner, ids] : sessionStreams) std::erase(ids, streamId);
    if (session) sessionStreams[*session].push_back(streamId);
}

void SignalingMessageHandler::sessionClosed(std::uint64_t session, std::string_view clientAddress) {
    std::vector<std::uint8_t> ids;
    {
        std::lock_guard lock(sessionsMutex);
        const auto it = sessionStreams.find(session);
        if (it == sessionStreams.end()) return;
        ids = std::move(it->second);
        sessionStreams.erase(it);
    }
    const auto inUse = streamIdInUseCallback();
    const auto stop = streamStopCallback();
    const ClientLineScope client(clientAddress);
    for (const std::uint8_t id : ids) {
        if (inUse && !inUse(id)) continue;  // ended with its window meanwhile
        if (std::size_t held = 0; leftStreamsLog.allow(ClientLineScope::current(), held)) {
            SPDLOG_INFO("Stopping stream {}: the client that started it disconnected{}", id, heldNote(held));
        }
        if (stop) stop(id);
    }
}

std::string SignalingMessageHandler::handleStreamStart(const nlohmann::json& message, std::uint64_t session) {
    const std::uint32_t windowId = readUint32Field(message, "windowId");
    // Reserved first, so refused requests use their ids up as started ones do.
    const auto reserve = streamIdReserveCallback();
    ReservedStreamId streamId(reserve ? reserve() : std::nullopt, streamIdReleaseCallback());
    std::size_t held = 0;
    if (requestLog.allow(ClientLineScope::current(), held)) {
        SPDLOG_INFO("Stream subscribe request for window {:x}{}", windowId, heldNote(held));
    }
    if (!streamId) {
        if (reserve && refusalLog.allow(ClientLineScope::current(), held)) {
            SPDLOG_WARN("No free stream id for window {:x}{}", windowId, heldNote(held));
        }
        return errorReply();
    }
    if (!isListedWindow(windowId)) {
        if (refusalLog.allow(ClientLineScope::current(), held)) {
            SPDLOG_WARN("Refusing stream for window {:x}: not in the window list{}", windowId, heldNote(held));
        }
        return errorReply();
    }
    if (const std::size_t running = runningStreamsOf(session); running >= kMaxStreamsPerSession) {
        if (refusalLog.allow(ClientLineScope::current(), held)) {
            SPDLOG_WARN("Refusing stream for window {:x}: this client already runs {} streams{}", windowId, running,
                        heldNote(held));
        }
        return errorReply();
    }
    const auto callback = streamRequestCallback();
    if (!callback) {
        return errorReply();
    }
    const std::uint8_t id = streamId.handOver();
    if (!callback(windowId, id)) {
        return errorReply();
    }
    recordOwner(id, session);
    StreamStartedMessage started;
    started.windowId = windowId;
    started.streamId = id;
    return serializeMessage(nlohmann::json(started));
}

std::string SignalingMessageHandler::handleWindowResize(const nlohmann::json& message) {
    const std::int32_t streamId = readInt32Field(message, "streamId");
    const std::uint32_t windowId = readUint32Field(message, "windowId");
    const std::uint32_t width = readUint32Field(message, "width");
    const std::uint32_t height = readUint32Field(message, "height");
    std::size_t held = 0;
    if (requestLog.allow(ClientLineScope::current(), held)) {
        SPDLOG_INFO("Window resize request: stream={}, window={:x}, size={}x{}{}", streamId, windowId, width, height,
                    heldNote(held));
    }

    bool success = false;
    if (!fitsVideoLimits(width, height)) {
        if (refusalLog.allow(ClientLineScope::current(), held)) {
            SPDLOG_ERROR("Refusing resize of window {:x} to {}x{}: size out of range{}", windowId, width, height,
                         heldNote(held));
        }
    } else if (!isListedWindow(windowId)) {
        if (refusalLog.allow(ClientLineScope::current(), held)) {
            SPDLOG_WARN("Refusing resize of window {:x}: not in the window list{}", windowId, heldNote(held));
        }
    } else if (const auto callback = windowResizeCallback()) {
        success = callback(windowId, width, height);
    }
    return serializeMessage(makeWindowResizedJson(streamId, windowId, width, height, success));
}

std::shared_ptr<const SignalingMessageHandler::WindowSnapshot> SignalingMessageHandler::windowSnapshot() {
    const auto now = std::chrono::steady_clock::now();
    // Read before the hook, so a list from a hook set meanwhile is never taken for a newer one.
    const std::uint64_t generation = windowListGeneration();
    {
        std::lock_guard lock(snapshotMutex);
        if (snapshot && generation == snapshotGeneration && now - snapshotTime < config.windowListCacheAge) {
            return snapshot;
        }
    }
    auto fresh = std::make_shared<WindowSnapshot>();
    if (const auto callback = windowListCallback()) {
        fresh->windows = callback();
    }
    fresh->windowListText = serializeMessage(makeWindowListJson(fresh->windows));
    std::lock_guard lock(snapshotMutex);
    if (generation >= snapshotGeneration) {
        snapshot = fresh;
        snapshotTime = now;
        snapshotGeneration = generation;
    }
    return fresh;
}

bool SignalingMessageHandler::isListedWindow(std::uint32_t windowId) {
    const auto current = windowSnapshot();
    for (const auto& window : current->windows) {
        if (window.id == windowId) {
            return true;
        }
    }
    return false;
}

}  // namespace quillane::host
