#include "VideoClient.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <cstring>

namespace quillane::host::test {

namespace asio = boost::asio;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

std::uint16_t le16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

void putLe16(std::vector<std::uint8_t>& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

}  // namespace

std::uint16_t ReceivedVideoPacket::sequence() const {
    return le16(header.data() + 4);
}

std::uint16_t ReceivedVideoPacket::payloadLength() const {
    return le16(header.data() + 6);
}

std::uint32_t ReceivedVideoPacket::timestamp() const {
    return le32(header.data() + 8);
}

std::vector<std::uint8_t> feedbackBody(std::uint16_t decodeTimeMs, std::uint16_t rttMs,
                                       std::array<std::uint8_t, 8> opaque) {
    std::vector<std::uint8_t> body;
    body.reserve(13);
    body.push_back(4);
    for (std::uint8_t byte : opaque) {
        body.push_back(byte);
    }
    putLe16(body, decodeTimeMs);
    putLe16(body, rttMs);
    return body;
}

std::vector<std::uint8_t> inputBody(const VideoInputRecord& record) {
    std::vector<std::uint8_t> body{3, record.streamId, record.deviceType, record.action, 0};
    putLe16(body, record.x);
    putLe16(body, record.y);
    body.push_back(record.code);
    body.push_back(record.modifiers);
    putLe16(body, static_cast<std::uint16_t>(record.wheelDelta));
    return body;
}

std::vector<std::uint8_t> inputEventBody(const VideoInputRecord& record) {
    std::vector<std::uint8_t> body{record.streamId, record.deviceType, record.action};
    putLe16(body, record.x);
    putLe16(body, record.y);
    body.push_back(record.code);
    body.push_back(record.modifiers);
    putLe16(body, static_cast<std::uint16_t>(record.wheelDelta));
    body.push_back(0);
    return body;
}

std::vector<std::uint8_t> keyframeRequestBody(std::uint8_t streamId) {
    return {16, streamId};
}

struct VideoClient::Impl {
    asio::io_context io;
    tcp::socket socket{io};
    std::vector<std::uint8_t> received;
    std::size_t consumed = 0;
    // When the latest read finished: readPacket reads only while no whole packet is buffered, so any
    // whole packet in `received` was completed by that read.
    Clock::time_point lastRead;

    // Runs one asynchronous operation until it completes or the time-out passes (then cancels it).
    template <class Start>
    boost::system::error_code run(std::chrono::milliseconds timeout, Start&& start) {
        boost::system::error_code result;
        bool done = false;
        io.restart();
        start([&](const boost::system::error_code& ec, auto&&...) {
            result = ec;
            done = true;
        });
        io.run_for(timeout);
        if (!done) {
            boost::system::error_code ignored;
            socket.cancel(ignored);
            io.restart();
            io.run();
            return asio::error::timed_out;
        }
        return result;
    }

    std::size_t available() const { return received.size() - consumed; }
    const std::uint8_t* front() const { return received.data() + consumed; }
};

VideoClient::VideoClient() : impl_(std::make_unique<Impl>()) {}

VideoClient::~VideoClient() = default;

bool VideoClient::connect(std::uint16_t port, std::chrono::milliseconds timeout, VideoClientOptions options) {
    return connect("127.0.0.1", port, timeout, options);
}

bool VideoClient::connect(const std::string& host, std::uint16_t port, std::chrono::milliseconds timeout,
                          VideoClientOptions options) {
    boost::system::error_code ec;
    const tcp::endpoint endpoint(asio::ip::make_address(host, ec), port);
    if (ec) {
        return false;
    }
    if (impl_->socket.is_open()) {
        close();
    }
    impl_->socket.open(tcp::v4(), ec);
    if (!ec && options.receiveBufferBytes > 0) {
        impl_->socket.set_option(asio::socket_base::receive_buffer_size(options.receiveBufferBytes), ec);
    }
    if (ec) {
        return false;
    }
    ended_ = false;
    impl_->received.clear();
    impl_->consumed = 0;
    return !impl_->run(timeout, [&](auto handler) { impl_->socket.async_connect(endpoint, handler); });
}

std::optional<ReceivedVideoPacket> VideoClient::readPacket(std::chrono::milliseconds timeout) {
    auto message = readMessage(timeout, 16);
    if (!message) {
        return std::nullopt;
    }
    ReceivedVideoPacket packet;
    packet.length = static_cast<std::uint32_t>(message->body.size());
    std::memcpy(packet.header.data(), message->body.data(), 16);
    packet.payload.assign(message->body.begin() + 16, message->body.end());
    packet.received = message->received;
    return packet;
}

std::optional<ReceivedMessage> VideoClient::readMessage(std::chrono::milliseconds timeout, std::size_t minLength) {
    const auto deadline = Clock::now() + timeout;
    std::array<std::uint8_t, 64 * 1024> chunk;
    for (;;) {
        if (impl_->available() >= 4) {
            const std::uint32_t length = le32(impl_->front());
            if (length < minLength) {
                ended_ = true;  // shorter than its header: the stream is misframed
                return std::nullopt;
            }
            if (impl_->available() >= 4 + std::size_t{length}) {
                ReceivedMessage message;
                message.body.assign(impl_->front() + 4, impl_->front() + 4 + length);
                message.received = impl_->lastRead;
                impl_->consumed += 4 + std::size_t{length};
                if (impl_->consumed > impl_->received.size() / 2) {
                    impl_->received.erase(impl_->received.begin(),
                                          impl_->received.begin() + static_cast<std::ptrdiff_t>(impl_->consumed));
                    impl_->consumed = 0;
                }
                return message;
            }
        }
        if (ended_) {
            return std::nullopt;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return std::nullopt;
        }
        std::size_t got = 0;
        const auto ec = impl_->run(left, [&](auto handler) {
            impl_->socket.async_read_some(asio::buffer(chunk),
                                          [&, handler](const boost::system::error_code& e, std::size_t n) mutable {
                                              got = n;
                                              impl_->lastRead = Clock::now();
                                              handler(e);
                                          });
        });
        impl_->received.insert(impl_->received.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(got));
        if (ec == asio::error::timed_out) {
            return std::nullopt;
        }
        if (ec) {
            ended_ = true;
        }
    }
}

bool VideoClient::waitForClose(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!ended_) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return false;
        }
        if (!readPacket(left) && !ended_) {
            return false;
        }
    }
    return true;
}

bool VideoClient::sendFeedback(std::uint16_t decodeTimeMs, std::uint16_t rttMs, std::array<std::uint8_t, 8> opaque) {
    return sendMessage(feedbackBody(decodeTimeMs, rttMs, opaque));
}

bool VideoClient::sendInput(const VideoInputRecord& record) {
    return sendMessage(inputBody(record));
}

bool VideoClient::sendKeyframeRequest(std::uint8_t streamId) {
    return sendMessage(keyframeRequestBody(streamId));
}

bool VideoClient::sendMessage(std::span<const std::uint8_t> body) {
    std::vector<std::uint8_t> bytes(4 + body.size());
    const auto length = static_cast<std::uint32_t>(body.size());
    for (int i = 0; i < 4; ++i) {
        bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(length >> (8 * i));
    }
    std::copy(body.begin(), body.end(), bytes.begin() + 4);
    return sendRaw(bytes);
}

// A blocking write straight on the socket: it leaves the io_context, which belongs to reading, alone,
// so a reader thread and a sending thread share nothing but the descriptor.
bool VideoClient::sendRaw(std::span<const std::uint8_t> bytes) {
    boost::system::error_code ec;
    asio::write(impl_->socket, asio::buffer(bytes.data(), bytes.size()), ec);
    return !ec;
}

void VideoClient::close() {
    boost::system::error_code ignored;
    impl_->socket.shutdown(tcp::socket::shutdown_both, ignored);
    impl_->socket.close(ignored);
}

void VideoClient::reset() {
    boost::system::error_code ignored;
    impl_->socket.set_option(asio::socket_base::linger(true, 0), ignored);
    impl_->socket.close(ignored);
}

}  // namespace quillane::host::test
