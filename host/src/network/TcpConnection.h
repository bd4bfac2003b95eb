#pragma once

#include "network/FrameDropPolicy.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace quillane::host {

// Options set on an accepted media socket; 0 leaves a buffer size at the system's default.
struct SocketTuning {
    bool noDelay = true;
    bool resetOnClose = false;  // SO_LINGER on with time-out 0: close resets and discards unsent data
    int sendBufferBytes = 0;
    int receiveBufferBytes = 0;
    bool keepAlive = false;  // a peer gone without a FIN fails the connection within about 10 s
};

boost::system::error_code applySocketTuning(boost::asio::ip::tcp::socket& socket, const SocketTuning& tuning);

// One packet's whole wire image. Buffers are recycled, so the bytes past size are stale.
struct PacketBuffer {
    std::unique_ptr<std::uint8_t[]> data;
    std::size_t size = 0;
    std::size_t capacity = 0;
};

// What a connection reports to its server. All of them run on the connection's strand (the I/O
// thread, or a thread polling the context), never with a lock of the connection held.
struct ConnectionEvents {
    std::function<void(std::span<const std::uint8_t> body)> message;
    std::function<void(std::uint32_t length)> messageTooLarge;              // reading stops
    std::function<void(const boost::system::error_code&)> lengthReadFailed;  // the connection closes
    std::function<void(const boost::system::error_code&)> bodyReadFailed;    // reading stops
    std::function<void(const boost::system::error_code&)> writeFailed;       // the connection closes
    std::function<void(std::chrono::milliseconds idle)> writeStalled;        // the connection closes
    std::function<void()> closed;  // once, after the socket was closed for any reason
};

// One client connection of a media server: its socket, strand, buffers and outgoing queue. Writers
// on any thread queue whole packets; asynchronous writes on the strand drain the queue, so no
// writer ever waits for the peer. A write error or no write progress for writeStallTimeout closes
// the connection (a partly written packet would misframe the stream). Messages from the peer are
// read as a 4-byte little-endian length and a body, one read chain per connection.
class TcpConnection : public std::enable_shared_from_this<TcpConnection> {
public:
    static std::shared_ptr<TcpConnection> create(boost::asio::ip::tcp::socket socket,
                                                 std::chrono::milliseconds writeStallTimeout,
                                                 ConnectionEvents events);
    ~TcpConnection();

    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;

    // Starts the write watchdog and, when maxMessageLength is not 0, the read chain. Call once.
    void start(std::uint32_t maxMessageLength);

    // A buffer of exactly size bytes, reused from earlier packets when possible.
    PacketBuffer takeBuffer(std::size_t size);
    void recycle(PacketBuffer buffer);

    // Under the queue's lock admit(load, packet) decides whether the packet is queued and may fill
    // in its last bytes, so anything it numbers goes out in that order. False when the connection
    // is closed (admit is then not called) or admit said no; the packet is left to the caller then.
    template <class Admit>
    bool enqueue(PacketBuffer& packet, Admit&& admit) {
        bool startWriting = false;
        {
            std::lock_guard lock(mutex);
            if (closed) {
                return false;
            }
            const QueueLoad load{queue.size(), queuedBytes, lastProgress};
            if (!admit(load, packet)) {
                return false;
            }
            startWriting = pushLocked(packet);
        }
        if (startWriting) {
            postWrite();
        }
        return true;
    }

    // For a stream where fresh data matters more than old (sound): when maxPackets are already
    // waiting, the oldest ones that no write has started on are dropped to make room. Under the
    // queue's lock stamp(packet) fills in the packet's last bytes, so whatever it numbers goes out
    // in that order. Returns how many packets were dropped; none when the connection is closed,
    // and the packet is then left to the caller.
    template <class Stamp>
    std::optional<std::size_t> enqueueDroppingOldest(PacketBuffer& packet, std::size_t maxPackets, Stamp&& stamp) {
        std::size_t dropped = 0;
        bool startWriting = false;
        {
            std::lock_guard lock(mutex);
            if (closed) {
                return std::nullopt;
            }
            dropped = dropOldestLocked(maxPackets);
            stamp(packet);
            startWriting = pushLocked(packet);
        }
        if (startWriting) {
            postWrite();
        }
        return dropped;
    }

    // From the message event only: no further message is read until resumeReading.
    void pauseReading();
    // Any thread: a paused read chain goes on, unless the connection has closed meanwhile.
    void resumeReading();

    // Safe from any thread and more than once.
    void close();
    bool isOpen() const;
    QueueLoad load() const;

private:
    TcpConnection(boost::asio::ip::tcp::socket socket, std::chrono::milliseconds writeStallTimeout,
                  ConnectionEvents events);

    void postWrite();
    void writeSome();
    void onWritten(const boost::system::error_code& ec, std::size_t bytes);
    void armWatchdog();
    void onWatchdog();
    void readLength();
    void readBody(std::uint32_t length);
    // Strand only.
    void closeNow();
    void releaseQueue();
    // Appends under the queue's lock; true when the caller must start the writer.
    bool pushLocked(PacketBuffer& packet);
    // Makes room for one more packet below maxPackets; never touches a packet a write has taken.
    std::size_t dropOldestLocked(std::size_t maxPackets);

    boost::asio::ip::tcp::socket socket;
    boost::asio::steady_timer watchdog;
    const std::chrono::milliseconds writeStallTimeout;
    ConnectionEvents events;
    std::uint32_t maxMessageLength = 0;

    // Read state, strand only.
    std::array<std::uint8_t, 4> lengthBuffer{};
    std::vector<std::uint8_t> body;
    bool readPaused = false;
    // The buffers of the write in flight; the operation keeps only a view of them.
    std::array<boost::asio::const_buffer, 16> gather{};

    // Write state. The deque only grows at the back outside the strand, so the strand may write
    // from its front packets without the lock.
    mutable std::mutex mutex;
    bool closed = false;
    bool writing = false;
    bool writeInFlight = false;  // strand only
    bool closedOnStrand = false; // strand only
    std::deque<PacketBuffer> queue;
    std::size_t queuedBytes = 0;
    std::size_t frontWritten = 0;
    std::size_t takenByWrite = 0;  // front packets the write in flight reads from
    std::chrono::steady_clock::time_point lastProgress;
    std::vector<PacketBuffer> spare;
};

}  // namespace quillane::host
