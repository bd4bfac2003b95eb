#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "encode/VideoLimits.h"
#include "network/LogText.h"
#include "network/SignalingCallbacks.h"
#include "network/SignalingProtocol.h"

namespace quillane::host {

// Window sizes a resize request may ask for, in pixels, both dimensions.
inline constexpr std::uint32_t kMinWindowSize = 1;
inline constexpr std::uint32_t kMaxWindowSize = kMaxVideoSide;  // and at most kMaxVideoPixels in all
// Streams one signalling session may run at once.
inline constexpr std::size_t kMaxStreamsPerSession = 8;

// The request side of signalling, free of sockets: turns one received text
// into the calls to the owner's callbacks and the answer for the sender.
// Safe to use from several threads at once.
class SignalingMessageHandler : public SignalingCallbacks {
public:
    struct Config {
        WelcomeMessage welcome;
        // How long one window list answers repeated requests and the checks
        // of start and resize requests.
        std::chrono::milliseconds windowListCacheAge{1000};
    };

    SignalingMessageHandler();
    explicit SignalingMessageHandler(Config config);
    // Calls the hooks set through `callbacks` (and through this handler: they are one set).
    SignalingMessageHandler(Config config, const SignalingCallbacks& callbacks);

    // Handles one message from the client at `clientAddress` (on the
    // connection numbered `session`) and returns the text to send back to it,
    // if any. Never throws: a message that cannot be handled is logged and dropped.
    std::optional<std::string> handleMessage(std::string_view text, const std::string& clientAddress,
                                             std::uint64_t session = 0);
    // The connection has gone: the streams it started and that still run stop (their lines
    // charged to the client at `clientAddress`).
    void sessionClosed(std::uint64_t session, std::string_view clientAddress = {});

private:
    struct WindowSnapshot {
        std::vector<WindowInfo> windows;
        std::string windowListText;  // the serialised "window_list"
    };

    std::optional<std::string> dispatch(std::string_view text, const std::string& clientAddress,
                                        std::uint64_t session);
    std::string handleStreamStart(const nlohmann::json& message, std::uint64_t session);
    void warnUnknownType(const nlohmann::json& message);
    // The session's streams that still run.
    std::size_t runningStreamsOf(std::uint64_t session);
    void recordOwner(std::uint8_t streamId, std::optional<std::uint64_t> session);
    std::string handleWindowResize(const nlohmann::json& message);
    std::shared_ptr<const WindowSnapshot> windowSnapshot();
    bool isListedWindow(std::uint32_t windowId);

    const Config config;

    std::mutex snapshotMutex;
    std::shared_ptr<const WindowSnapshot> snapshot;
    std::chrono::steady_clock::time_point snapshotTime;
    std::uint64_t snapshotGeneration = 0;  // the window list hook's generation it came from

    std::mutex sessionsMutex;
    std::unordered_map<std::uint64_t, std::vector<std::uint8_t>> sessionStreams;  // the ids each session started

    // Lines a client causes with its messages, limited by its address across its connections.
    PeerLineLimiter errorLog;
    PeerLineLimiter unknownTypeLog;
    PeerLineLimiter helloLog;
    PeerLineLimiter refusalLog;
    // A client's ordinary requests are all logged up to a few dozen at once.
    PeerLineLimiter requestLog{std::chrono::seconds(10), 16};
    // The streams its leaving stops: all that one address may run, then as its other requests.
    PeerLineLimiter leftStreamsLog{std::chrono::seconds(10), 16};
};

}  // namespace quillane::host
