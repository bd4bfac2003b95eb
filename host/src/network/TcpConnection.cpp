#include "network/TcpConnection.h"

#include "network/LittleEndian.h"
#include "network/SocketOptions.h"

#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>

#include <algorithm>

namespace quillane::host {

namespace asio = boost::asio;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kMaxSpareBuffers = 8;
// A silent peer is probed after 5 s, then every second: gone after 10 s.
constexpr int kKeepAliveIdleSeconds = 5;
constexpr int kKeepAliveIntervalSeconds = 1;
constexpr int kKeepAliveProbes = 5;

}  // namespace

boost::system::error_code applySocketTuning(tcp::socket& socket, const SocketTuning& tuning) {
    boost::system::error_code ec;
    socket.set_option(tcp::no_delay(tuning.noDelay), ec);
    if (!ec && tuning.resetOnClose) {
        socket.set_option(asio::socket_base::linger(true, 0), ec);
    }
    if (!ec && tuning.sendBufferBytes > 0) {
        socket.set_option(asio::socket_base::send_buffer_size(tuning.sendBufferBytes), ec);
    }
    if (!ec && tuning.receiveBufferBytes > 0) {
        socket.set_option(asio::socket_base::receive_buffer_size(tuning.receiveBufferBytes), ec);
    }
    if (!ec && tuning.keepAlive) {
        if (const int error = setKeepAlive(socket.native_handle(), kKeepAliveIdleSeconds, kKeepAliveIntervalSeconds,
                                           kKeepAliveProbes)) {
            ec.assign(error, boost::system::system_category());
        }
    }
    return ec;
}

std::shared_ptr<TcpConnection> TcpConnection::create(tcp::socket socket,
                                                     std::chrono::milliseconds writeStallTimeout,
                                                     ConnectionEvents events) {
    return std::shared_ptr<TcpConnection>(
        new TcpConnection(std::move(socket), writeStallTimeout, std::move(events)));
}

TcpConnection::TcpConnection(tcp::socket socket, std::chrono::milliseconds writeStallTimeout,
                             ConnectionEvents events)
    : socket(std::move(socket)),
      watchdog(this->socket.get_executor()),
      writeStallTimeout(writeStallTimeout),
      events(std::move(events)),
      lastProgress(Clock::now()) {}

TcpConnection::~TcpConnection() = default;

void TcpConnection::start(std::uint32_t maxMessageLength) {
    this->maxMessageLength = maxMessageLength;
    asio::post(socket.get_executor(), [self = shared_from_this()] {
        if (self->closedOnStrand) {
            return;
        }
        self->armWatchdog();
        if (self->maxMessageLength != 0) {
            self->readLength();
        }
    });
}

PacketBuffer TcpConnection::takeBuffer(std::size_t size) {
    PacketBuffer buffer;
    {
        std::lock_guard lock(mutex);
        // The smallest that fits, so delta frames leave the large buffers to keyframes.
        auto fits = spare.end();
        for (auto it = spare.begin(); it != spare.end(); ++it) {
            if (it->capacity >= size && (fits == spare.end() || it->capacity < fits->capacity)) {
                fits = it;
            }
        }
        if (fits != spare.end()) {
            buffer = std::move(*fits);
            spare.erase(fits);
        }
    }
    if (buffer.capacity < size) {
        // Some headroom, so a slightly larger frame next time reuses this buffer.
        buffer.capacity = size + size / 4;
        buffer.data = std::make_unique_for_overwrite<std::uint8_t[]>(buffer.capacity);
    }
    buffer.size = size;
    return buffer;
}

void TcpConnection::recycle(PacketBuffer buffer) {
    std::lock_guard lock(mutex);
    if (!closed && buffer.data && spare.size() < kMaxSpareBuffers) {
        spare.push_back(std::move(buffer));
    }
}

bool TcpConnection::isOpen() const {
    std::lock_guard lock(mutex);
    return !closed;
}

QueueLoad TcpConnection::load() const {
    std::lock_guard lock(mutex);
    return {queue.size(), queuedBytes, lastProgress};
}

void TcpConnection::close() {
    {
        std::lock_guard lock(mutex);
        if (closed) {
            return;
        }
        closed = true;
    }
    asio::post(socket.get_executor(), [self = shared_from_this()] { self->closeNow(); });
}

void TcpConnection::closeNow() {
    if (closedOnStrand) {
        return;
    }
    closedOnStrand = true;
    {
        std::lock_guard lock(mutex);
        closed = true;
    }
    boost::system::error_code ignored;
    socket.close(ignored);
    watchdog.cancel();
    // A write still in flight may be reading the queued packets; its completion frees them.
    if (!writeInFlight) {
        releaseQueue();
    }
    if (events.closed) {
        events.closed();
    }
}

bool TcpConnection::pushLocked(PacketBuffer& packet) {
    if (queue.empty()) {
        lastProgress = Clock::now();
    }
    queuedBytes += packet.size;
    queue.push_back(std::move(packet));
    if (writing) {
        return false;
    }
    writing = true;
    return true;
}

std::size_t TcpConnection::dropOldestLocked(std::size_t maxPackets) {
    // A partly written packet must go out whole, or the stream would be misframed.
    const std::size_t kept = std::max(takenByWrite, frontWritten > 0 ? std::size_t{1} : std::size_t{0});
    std::size_t dropped = 0;
    while (queue.size() >= maxPackets && queue.size() > kept) {
        const auto oldest = queue.begin() + static_cast<std::ptrdiff_t>(kept);
        queuedBytes -= oldest->size;
        if (spare.size() < kMaxSpareBuffers) {
            spare.push_back(std::move(*oldest));
        }
        queue.erase(oldest);
        ++dropped;
    }
    return dropped;
}

void TcpConnection::releaseQueue() {
    std::lock_guard lock(mutex);
    queue.clear();
    queuedBytes = 0;
    frontWritten = 0;
    takenByWrite = 0;
    writing = false;
    spare.clear();
}

void TcpConnection::postWrite() {
    asio::post(socket.get_executor(), [self = shared_from_this()] { self->writeSome(); });
}

void TcpConnection::writeSome() {
    // Several small packets leave in one system call.
    std::size_t count = 0;
    {
        std::lock_guard lock(mutex);
        if (closed || queue.empty()) {
            writing = false;
            return;
        }
        for (auto it = queue.begin(); it != queue.end() && count < gather.size(); ++it) {
            const std::size_t offset = count == 0 ? frontWritten : 0;
            gather[count++] = asio::buffer(it->data.get() + offset, it->size - offset);
        }
        takenByWrite = count;
    }
    writeInFlight = true;
    socket.async_write_some(std::span<const asio::const_buffer>(gather.data(), count),
                             [self = shared_from_this()](const boost::system::error_code& ec,
                                                         std::size_t bytes) { self->onWritten(ec, bytes); });
}

void TcpConnection::onWritten(const boost::system::error_code& ec, std::size_t bytes) {
    writeInFlight = false;
    if (closedOnStrand) {
        releaseQueue();
        return;
    }
    if (ec) {
        bool closing = false;
        {
            std::lock_guard lock(mutex);
            closing = closed;
        }
        if (!closing && events.writeFailed) {
            events.writeFailed(ec);
        }
        closeNow();
        return;
    }
    std::vector<PacketBuffer> written;
    bool more = false;
    {
        std::lock_guard lock(mutex);
        lastProgress = Clock::now();
        takenByWrite = 0;
        while (bytes > 0 && !queue.empty()) {
            PacketBuffer& front = queue.front();
            const std::size_t left = front.size - frontWritten;
            if (bytes < left) {
                frontWritten += bytes;
                break;
            }
            bytes -= left;
            frontWritten = 0;
            queuedBytes -= front.size;
            if (spare.size() < kMaxSpareBuffers) {
                spare.push_back(std::move(front));
            }
            queue.pop_front();
        }
        more = !closed && !queue.empty();
        if (!more) {
            writing = false;
        }
    }
    if (more) {
        writeSome();
    }
}

void TcpConnection::armWatchdog() {
    const auto interval = std::clamp<std::chrono::milliseconds>(writeStallTimeout / 4, std::chrono::milliseconds(10),
                                                                std::chrono::milliseconds(1000));
    watchdog.expires_after(interval);
    watchdog.async_wait([self = shared_from_this()](const boost::system::error_code& ec) {
        if (!ec) {
            self->onWatchdog();
        }
    });
}

void TcpConnection::onWatchdog() {
    if (closedOnStrand) {
        return;
    }
    Clock::duration idle{0};
    {
        std::lock_guard lock(mutex);
        if (!queue.empty()) {
            idle = Clock::now() - lastProgress;
        }
    }
    if (idle > writeStallTimeout) {
        if (events.writeStalled) {
            events.writeStalled(std::chrono::duration_cast<std::chrono::milliseconds>(idle));
        }
        closeNow();
        return;
    }
    armWatchdog();
}

void TcpConnection::readLength() {
    asio::async_read(socket, asio::buffer(lengthBuffer),
                     [self = shared_from_this()](const boost::system::error_code& ec, std::size_t) {
                         if (ec) {
                             if (self->events.lengthReadFailed) {
                                 self->events.lengthReadFailed(ec);
                             }
                             self->closeNow();
                             return;
                         }
                         const std::uint32_t length = loadLe32(self->lengthBuffer.data());
                         if (length > self->maxMessageLength) {
                             if (self->events.messageTooLarge) {
                                 self->events.messageTooLarge(length);
                             }
                             return;
                         }
                         if (length == 0) {
                             self->readLength();
                             return;
                         }
                         self->readBody(length);
                     });
}

void TcpConnection::readBody(std::uint32_t length) {
    body.resize(length);
    asio::async_read(socket, asio::buffer(body),
                     [self = shared_from_this()](const boost::system::error_code& ec, std::size_t) {
                         if (ec) {
                             if (self->events.bodyReadFailed) {
                                 self->events.bodyReadFailed(ec);
                             }
                             return;
                         }
                         if (self->events.message) {
                             self->events.message(self->body);
                         }
                         if (!self->closedOnStrand && !self->readPaused) {
                             self->readLength();
                         }
                     });
}

void TcpConnection::pauseReading() {
    readPaused = true;
}

void TcpConnection::resumeReading() {
    asio::post(socket.get_executor(), [self = shared_from_this()] {
        if (!self->readPaused || self->closedOnStrand) {
            return;
        }
        self->readPaused = false;
        self->readLength();
    });
}

}  // namespace quillane::host
