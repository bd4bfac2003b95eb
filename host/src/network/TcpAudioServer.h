#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace quillane::host {

struct AudioServerTuning {
    // About 200 ms of 10 ms packets wait for a slow client; older ones make room for newer.
    std::size_t maxQueuedPackets = 20;
    // A client whose connection takes no bytes for this long while packets wait is closed.
    std::chrono::milliseconds writeStallTimeout{5000};
};

// Counters of the audio connection since the server was created.
struct AudioServerStats {
    std::uint64_t connectionsAccepted = 0;  // counted once each is set up (or refused)
    std::uint64_t packetsQueued = 0;        // packets that got a sequence number
    std::uint64_t packetsDropped = 0;       // queued, then dropped for newer ones
    std::size_t queuedPackets = 0;          // waiting for the current client now
    std::size_t queuedBytes = 0;
};

// The audio connection: a TCP server that keeps one client and sends it each Opus packet with a
// 12-byte header. It never reads from its client. sendAudioData never waits for the network: the
// packet is copied into a short per-client queue that the I/O thread drains, so a client that
// stops reading costs it its oldest packets, never the capture thread's time.
// Threads: sendAudioData from any one thread at a time (the audio capture thread); start and stop
// from the owner's.
class TcpAudioServer {
public:
    explicit TcpAudioServer(std::uint16_t port, AudioServerTuning tuning = {});
    ~TcpAudioServer();

    TcpAudioServer(const TcpAudioServer&) = delete;
    TcpAudioServer& operator=(const TcpAudioServer&) = delete;

    bool start();
    // Returns promptly whatever the client does.
    void stop();

    // Queues one packet for the current client; the data is copied. Without a client nothing
    // happens and no sequence number is used.
    void sendAudioData(std::uint8_t streamId, const std::uint8_t* data, std::size_t size);

    bool isConnected() const;
    // The listening port; the one the system chose when constructed with 0 and started.
    std::uint16_t port() const;
    AudioServerStats getStats() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace quillane::host
