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
    : socket_(std::move(socket)),
      watchdog_(socket_.get_executor()),
      writeStallTimeout_(writeStallTimeout),
      events_(std::move(events)),
      lastProgress_(Clock::now()) {}

TcpConnection::~TcpConnection() = default;

void TcpConnection::start(std::uint32_t maxMessageLength) {
    maxMessageLength_ = maxMessageLength;
    asio::post(socket_.get_executor(), [self = shared_from_this()] {
        if (self->closedOnStrand_) {
            return;
        }
        self->armWatchdog();
        if (self->maxMessageLength_ != 0) {
            self->readLength();
        }
    });
}

PacketBuffer TcpConnection::takeBuffer(std::size_t size) {
    PacketBuffer buffer;
    {
        std::lock_guard lock(mutex_);
        // The smallest that fits, so delta frames leave the large buffers to keyframes.
        auto fits = spare_.end();
        for (auto it = spare_.begin(); it != spare_.end(); ++it) {
            if (it->capacity >= size && (fits == spare_.end() || it->capacity < fits->capacity)) {
                fits = it;
            }
        }
        if (fits != spare_.end()) {
            buffer = std::move(*fits);
            spare_.erase(fits);
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
    std::lock_guard lock(mutex_);
    if (!closed_ && buffer.data && spare_.size() < kMaxSpareBuffers) {
        spare_.push_back(std::move(buffer));
    }
}

bool TcpConnection::isOpen() const {
    std::lock_guard lock(mutex_);
    return !closed_;
}

QueueLoad TcpConnection::load() const {
    std::lock_guard lock(mutex_);
    return {queue_.size(), queuedBytes_, lastProgress_};
}

void TcpConnection::close() {
    {
        std::lock_guard lock(mutex_);
        if (closed_) {
            return;
        }
        closed_ = true;
    }
    asio::post(socket_.get_executor(), [self = shared_from_this()] { self->closeNow(); });
}

void TcpConnection::closeNow() {
    if (closedOnStrand_) {
        return;
    }
    closedOnStrand_ = true;
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    boost::system::error_code ignored;
    socket_.close(ignored);
    watchdog_.cancel();
    // A write still in flight may be reading the queued packets; its completion frees them.
    if (!writeInFlight_) {
        releaseQueue();
    }
    if (events_.closed) {
        events_.closed();
    }
}

bool TcpConnection::pushLocked(PacketBuffer& packet) {
    if (queue_.empty()) {
        lastProgress_ = Clock::now();
    }
    queuedBytes_ += packet.size;
    queue_.push_back(std::move(packet));
    if (writing_) {
        return false;
    }
    writing_ = true;
    return true;
}

std::size_t TcpConnection::dropOldestLocked(std::size_t maxPackets) {
    // A partly written packet must go out whole, or the stream would be misframed.
    const std::size_t kept = std::max(takenByWrite_, frontWritten_ > 0 ? std::size_t{1} : std::size_t{0});
    std::size_t dropped = 0;
    while (queue_.size() >= maxPackets && queue_.size() > kept) {
        const auto oldest = queue_.begin() + static_cast<std::ptrdiff_t>(kept);
        queuedBytes_ -= oldest->size;
        if (spare_.size() < kMaxSpareBuffers) {
            spare_.push_back(std::move(*oldest));
        }
        queue_.erase(oldest);
        ++dropped;
    }
    return dropped;
}

void TcpConnection::releaseQueue() {
    std::lock_guard lock(mutex_);
    queue_.clear();
    queuedBytes_ = 0;
    frontWritten_ = 0;
    takenByWrite_ = 0;
    writing_ = false;
    spare_.clear();
}

void TcpConnection::postWrite() {
    asio::post(socket_.get_executor(), [self = shared_from_this()] { self->writeSome(); });
}

void TcpConnection::writeSome() {
    // Several small packets leave in one system call.
    std::size_t count = 0;
    {
        std::lock_guard lock(mutex_);
        if (closed_ || queue_.empty()) {
            writing_ = false;
            return;
        }
        for (auto it = queue_.begin(); it != queue_.end() && count < gather_.size(); ++it) {
            const std::size_t offset = count == 0 ? frontWritten_ : 0;
            gather_[count++] = asio::buffer(it->data.get() + offset, it->size - offset);
        }
        takenByWrite_ = count;
    }
    writeInFlight_ = true;
    socket_.async_write_some(std::span<const asio::const_buffer>(gather_.data(), count),
                             [self = shared_from_this()](const boost::system::error_code& ec,
                                                         std::size_t bytes) { self->onWritten(ec, bytes); });
}

void TcpConnection::onWritten(const boost::system::error_code& ec, std::size_t bytes) {
    writeInFlight_ = false;
    if (closedOnStrand_) {
        releaseQueue();
        return;
    }
    if (ec) {
        bool closing = false;
        {
            std::lock_guard lock(mutex_);
            closing = closed_;
        }
        if (!closing && events_.writeFailed) {
            events_.writeFailed(ec);
        }
        closeNow();
        return;
    }
    std::vector<PacketBuffer> written;
    bool more = false;
    {
        std::lock_guard lock(mutex_);
        lastProgress_ = Clock::now();
        takenByWrite_ = 0;
        while (bytes > 0 && !queue_.empty()) {
            PacketBuffer& front = queue_.front();
            const std::size_t left = front.size - frontWritten_;
            if (bytes < left) {
                frontWritten_ += bytes;
                break;
            }
            bytes -= left;
            frontWritten_ = 0;
            queuedBytes_ -= front.size;
            if (spare_.size() < kMaxSpareBuffers) {
                spare_.push_back(std::move(front));
            }
            queue_.pop_front();
        }
        more = !closed_ && !queue_.empty();
        if (!more) {
            writing_ = false;
        }
    }
    if (more) {
        writeSome();
    }
}

void TcpConnection::armWatchdog() {
    const auto interval = std::clamp<std::chrono::milliseconds>(writeStallTimeout_ / 4, std::chrono::milliseconds(10),
                                                                std::chrono::milliseconds(1000));
    watchdog_.expires_after(interval);
    watchdog_.async_wait([self = shared_from_this()](const boost::system::error_code& ec) {
        if (!ec) {
            self->onWatchdog();
        }
    });
}

void TcpConnection::onWatchdog() {
    if (closedOnStrand_) {
        return;
    }
    Clock::duration idle{0};
    {
        std::lock_guard lock(mutex_);
        if (!queue_.empty()) {
            idle = Clock::now() - lastProgress_;
        }
    }
    if (idle > writeStallTimeout_) {
        if (events_.writeStalled) {
            events_.writeStalled(std::chrono::duration_cast<std::chrono::milliseconds>(idle));
        }
        closeNow();
        return;
    }
    armWatchdog();
}

void TcpConnection::readLength() {
    asio::async_read(socket_, asio::buffer(lengthBuffer_),
                     [self = shared_from_this()](const boost::system::error_code& ec, std::size_t) {
                         if (ec) {
                             if (self->events_.lengthReadFailed) {
                                 self->events_.lengthReadFailed(ec);
                             }
                             self->closeNow();
                             return;
                         }
                         const std::uint32_t length = loadLe32(self->lengthBuffer_.data());
                         if (length > self->maxMessageLength_) {
                             if (self->events_.messageTooLarge) {
                                 self->events_.messageTooLarge(length);
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
    body_.resize(length);
    asio::async_read(socket_, asio::buffer(body_),
                     [self = shared_from_this()](const boost::system::error_code& ec, std::size_t) {
                         if (ec) {
                             if (self->events_.bodyReadFailed) {
                                 self->events_.bodyReadFailed(ec);
                             }
                             return;
                         }
                         if (self->events_.message) {
                             self->events_.message(self->body_);
                         }
                         if (!self->closedOnStrand_) {
                             self->readLength();
                         }
                     });
}

}  // namespace quillane::host
