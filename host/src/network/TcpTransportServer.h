#pragma once

#include "network/TransportTypes.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace quillane::host {

struct TransportTuning {
    // A client whose connection takes no bytes for this long while frames wait is closed.
    std::chrono::milliseconds writeStallTimeout{10000};
};

// Counters of the video connection since the server was created.
struct TransportStats {
    std::uint64_t connectionsAccepted = 0;  // counted once each is set up (or refused)
    std::uint64_t framesQueued = 0;     // frames that got a sequence number
    std::uint64_t framesDropped = 0;    // frames skipped while a client was connected
    std::uint64_t keyframeRequests = 0; // keyframes asked for because frames were skipped
    std::size_t queuedFrames = 0;       // waiting for the current client now
    std::size_t queuedBytes = 0;
    std::size_t peakQueuedBytes = 0;    // most bytes ever waiting for one client
};

enum class FrameSendResult {
    Queued,    // will be written to the current client
    Dropped,   // skipped by the client's drop policy
    NoClient,  // nobody to send it to
};

// The video connection: a TCP server that keeps one client, sends it every encoded frame with a
// 16-byte header and hands the client's input, feedback and keyframe messages to callbacks.
// sendVideoFrame never waits for the network: frames are copied into a bounded per-client queue
// that the I/O thread drains, and a client that cannot keep up loses whole delta-frame runs up to
// the next keyframe instead of holding up capture. The callbacks run on the I/O thread or in poll
// and must not wait; the input callback only while its client is the current one, serialised with
// the gone callback, so nothing a client sent is handed on after it was reported gone.
class TcpTransportServer {
public:
    explicit TcpTransportServer(std::uint16_t port, TransportTuning tuning = {});
    ~TcpTransportServer();

    TcpTransportServer(const TcpTransportServer&) = delete;
    TcpTransportServer& operator=(const TcpTransportServer&) = delete;

    bool start();
    void stop();
    // Runs ready I/O completions (and with them the callbacks) on the calling thread; never waits.
    void poll();

    // Queues one frame for the current client; the payload is copied, so it need only stay valid
    // during the call. Safe from several threads at once.
    FrameSendResult sendVideoFrame(std::uint8_t streamId, const std::uint8_t* data, std::size_t size,
                                   bool isKeyframe);

    void setClientFeedbackCallback(ClientFeedbackCallback callback);
    void setClientInputCallback(ClientInputCallback callback);
    void setKeyframeRequestCallback(KeyframeRequestCallback callback);
    void setClientGoneCallback(ClientGoneCallback callback);

    bool isConnected() const;
    // The listening port; the one the system chose when constructed with 0 and started.
    std::uint16_t port() const;
    TransportStats getStats() const;

    static std::uint32_t getTimestamp90kHz();

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace quillane::host
