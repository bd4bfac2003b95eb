#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "network/SignalingCallbacks.h"
#include "network/SignalingProtocol.h"

namespace quillane::host {

class SignalingServerImpl;

// Bounds that keep one client from exhausting the host.
struct SignalingLimits {
    std::size_t maxMessageBytes = 64 * 1024;       // a larger message closes the session
    std::size_t maxSessions = 32;                   // further connections are closed after accept
    std::size_t maxSessionsPerAddress = 4;          // so one machine cannot take every place
    std::chrono::milliseconds handshakeTimeout{30'000};
    std::size_t maxQueuedBytes = 4 * 1024 * 1024;   // unsent answers of a client that stops reading
    std::chrono::milliseconds acceptRetryDelay{100};
    std::chrono::milliseconds windowListCacheAge{1000};
    // Keep-alive: a ping after this much silence from a client, and again as
    // long as it stays silent; a client that sends nothing (pong or message)
    // for closeAfter is closed, so a headset that left the network frees its place.
    std::chrono::milliseconds keepAlivePingAfter{15'000};
    std::chrono::milliseconds keepAliveCloseAfter{45'000};
    std::chrono::milliseconds keepAliveCheckInterval{1'000};
    // The keep-alive's time (tests advance their own); empty: the steady clock.
    std::function<std::chrono::steady_clock::time_point()> clock;
    // Longest wait at stop for the I/O thread to finish its handlers.
    std::chrono::milliseconds stopDrainTimeout{5'000};
};

struct SignalingServerOptions {
    // The TCP media ports the welcome advertises.
    std::uint16_t videoPort = kDefaultVideoPort;
    std::uint16_t audioPort = kDefaultAudioPort;
    std::uint16_t inputPort = kDefaultInputPort;
    SignalingLimits limits;
    // Test seam: runs on the thread that handles each received message, before
    // it is handled; what it throws takes the path of any failure inside a
    // session's handler (logged, that session closed).
    std::function<void(const std::string& text)> beforeMessage;
};

// WebSocket server for the JSON signalling messages. Handlers run on its own
// I/O thread and on whichever thread calls poll(). An exception that escapes
// a session's handler is logged and closes that session; serving goes on.
// The owner's hooks are set through the SignalingCallbacks setters.
class SignalingServer : public SignalingCallbacks {
public:
    explicit SignalingServer(std::uint16_t port, SignalingServerOptions options = {});
    ~SignalingServer();

    SignalingServer(const SignalingServer&) = delete;
    SignalingServer& operator=(const SignalingServer&) = delete;

    // Starts listening (port 0 picks a free port); false on failure. A
    // stopped server may be started again.
    bool start();
    // Closes every connection, joins the I/O thread; harmless when not running.
    void stop();
    // Runs the handlers that are ready on the calling thread, without waiting.
    void poll();

    std::size_t getClientCount() const;
    // The port actually listened on while running; 0 otherwise.
    std::uint16_t port() const;

    // Writes "stream_config" to every client whose handshake is complete.
    void sendStreamConfig(const StreamConfigMessage& config);
    // Tells every such client that a stream ended without being asked to.
    void sendStreamStopped(std::uint8_t streamId);

private:
    std::shared_ptr<SignalingServerImpl> impl;
};

}  // namespace quillane::host
