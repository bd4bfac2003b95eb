#include "SignalingTestClient.h"

#include <deque>
#include <random>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

namespace quillane::host::test {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using udp = net::ip::udp;
using error_code = boost::system::error_code;
using Clock = std::chrono::steady_clock;

namespace {

const auto kLoopback = net::ip::address_v4::loopback();

// Runs the context until `done` holds or the deadline passes.
template <typename Predicate>
bool runUntil(net::io_context& io, Predicate done, Clock::time_point deadline) {
    while (!done()) {
        const auto now = Clock::now();
        if (now >= deadline) {
            return false;
        }
        if (io.stopped()) {
            io.restart();
        }
        if (io.run_one_for(deadline - now) == 0 && io.stopped() && !done()) {
            // Out of work: nothing can make `done` true any more.
            return done();
        }
    }
    return true;
}

// Completion state shared with a handler, so that a handler that runs after
// its waiter gave up writes to live memory.
struct Completion {
    bool done = false;
    error_code ec;
    std::size_t size = 0;
};

struct CompletionHandler {
    std::shared_ptr<Completion> state;
    void operator()(error_code ec, std::size_t size = 0) const {
        state->done = true;
        state->ec = ec;
        state->size = size;
    }
};

// Waits for one operation; past the deadline `abort` cancels it and the
// aborted completion is still awaited, so no buffer outlives its waiter.
template <typename Abort>
bool await(net::io_context& io, const std::shared_ptr<Completion>& completion, Clock::time_point deadline,
           Abort abort) {
    if (runUntil(io, [&] { return completion->done; }, deadline)) {
        return true;
    }
    abort();
    runUntil(io, [&] { return completion->done; }, Clock::now() + 2s);
    return false;
}

std::uint32_t randomMask() {
    static std::mt19937 generator(std::random_device{}());
    return generator();
}

}  // namespace

struct UdpProbe::State {
    net::io_context io;
    udp::socket socket{io, udp::endpoint(kLoopback, 0)};
};

UdpProbe::UdpProbe() : state(std::make_unique<State>()) {}
UdpProbe::~UdpProbe() = default;

bool UdpProbe::send(std::uint16_t port, std::string_view datagram) {
    error_code ec;
    state->socket.send_to(net::buffer(datagram.data(), datagram.size()), udp::endpoint(kLoopback, port), 0, ec);
    return !ec;
}

std::optional<std::vector<std::uint8_t>> UdpProbe::receive(std::chrono::milliseconds timeout) {
    std::vector<std::uint8_t> buffer(65536);
    udp::endpoint from;
    auto completion = std::make_shared<Completion>();
    state->socket.async_receive_from(net::buffer(buffer), from, CompletionHandler{completion});
    if (!await(state->io, completion, Clock::now() + timeout, [&] { state->socket.cancel(); }) ||
        completion->ec) {
        return std::nullopt;
    }
    buffer.resize(completion->size);
    return buffer;
}

std::uint16_t UdpProbe::localPort() const {
    return state->socket.local_endpoint().port();
}

std::optional<std::vector<std::uint8_t>> discover(std::uint16_t port, std::string_view request,
                                                  std::chrono::milliseconds timeout) {
    UdpProbe probe;
    if (!probe.send(port, request)) {
        return std::nullopt;
    }
    return probe.receive(timeout);
}

// Binds an unopened socket to a local address before it connects; nothing for an empty one.
static bool bindLocal(tcp::socket& socket, const std::string& address) {
    if (address.empty() || socket.is_open()) {
        return true;
    }
    error_code ec;
    socket.open(tcp::v4(), ec);
    if (!ec) {
        socket.bind(tcp::endpoint(net::ip::make_address_v4(address), 0), ec);
    }
    return !ec;
}

struct SignalingClient::State {
    std::string localAddress;
    net::io_context io;
    websocket::stream<tcp::socket> ws{io};
    beast::flat_buffer buffer;
    std::deque<std::string> inbox;
    bool reading = false;
    bool open = false;
    bool writeBroken = false;

    void readNext() {
        reading = true;
        ws.async_read(buffer, [this](error_code ec, std::size_t) {
            reading = false;
            if (ec) {
                open = false;
                return;
            }
            inbox.push_back(beast::buffers_to_string(buffer.data()));
            buffer.consume(buffer.size());
            readNext();
        });
    }

    bool write(net::const_buffer data, std::chrono::milliseconds timeout) {
        if (!open || writeBroken) {
            return false;
        }
        auto completion = std::make_shared<Completion>();
        ws.async_write(data, CompletionHandler{completion});
        if (!await(io, completion, Clock::now() + timeout, [this] {
                // A write that cannot finish leaves the stream unusable.
                writeBroken = true;
                error_code ignored;
                beast::get_lowest_layer(ws).close(ignored);
            })) {
            return false;
        }
        return !completion->ec;
    }
};

SignalingClient::SignalingClient() : state(std::make_unique<State>()) {}

SignalingClient::SignalingClient(const std::string& localAddress) : SignalingClient() {
    state->localAddress = localAddress;
}

SignalingClient::~SignalingClient() {
    reset();
}

bool SignalingClient::connect(std::uint16_t port, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    auto& socket = beast::get_lowest_layer(state->ws);
    const auto abort = [&socket] {
        error_code ignored;
        socket.close(ignored);
    };
    if (!bindLocal(socket, state->localAddress)) {
        return false;
    }
    auto connected = std::make_shared<Completion>();
    socket.async_connect(tcp::endpoint(kLoopback, port), CompletionHandler{connected});
    if (!await(state->io, connected, deadline, abort) || connected->ec) {
        return false;
    }
    auto handshaken = std::make_shared<Completion>();
    state->ws.async_handshake("127.0.0.1:" + std::to_string(port), "/", CompletionHandler{handshaken});
    if (!await(state->io, handshaken, deadline, abort) || handshaken->ec) {
        return false;
    }
    state->open = true;
    state->readNext();
    return true;
}

bool SignalingClient::sendText(std::string_view text, std::chrono::milliseconds timeout) {
    state->ws.text(true);
    return state->write(net::buffer(text.data(), text.size()), timeout);
}

bool SignalingClient::sendJson(const nlohmann::json& message, std::chrono::milliseconds timeout) {
    return sendText(message.dump(), timeout);
}

bool SignalingClient::sendBinary(std::span<const std::uint8_t> data, std::chrono::milliseconds timeout) {
    state->ws.binary(true);
    const bool sent = state->write(net::buffer(data.data(), data.size()), timeout);
    state->ws.text(true);
    return sent;
}

std::optional<std::string> SignalingClient::receive(std::chrono::milliseconds timeout) {
    runUntil(state->io, [&] { return !state->inbox.empty() || !state->reading; }, Clock::now() + timeout);
    if (state->inbox.empty()) {
        return std::nullopt;
    }
    std::string message = std::move(state->inbox.front());
    state->inbox.pop_front();
    return message;
}

std::optional<nlohmann::json> SignalingClient::receiveJson(std::chrono::milliseconds timeout) {
    const auto text = receive(timeout);
    auto parsed = nlohmann::json::parse(text.value_or(""), nullptr, false);
    return parsed.is_discarded() ? std::nullopt : std::optional(std::move(parsed));
}

std::optional<nlohmann::json> SignalingClient::waitForType(std::string_view type,
                                                           std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        auto message = receiveJson(remaining);
        if (!message) {
            return std::nullopt;
        }
        if (message->is_object() && message->value("type", std::string()) == type) {
            return message;
        }
    }
    return std::nullopt;
}

std::optional<nlohmann::json> SignalingClient::request(const nlohmann::json& message, std::string_view replyType,
                                                       std::chrono::milliseconds timeout) {
    if (!sendJson(message, timeout)) {
        return std::nullopt;
    }
    return waitForType(replyType, timeout);
}

bool SignalingClient::expectSilence(std::chrono::milliseconds quiet) {
    runUntil(state->io, [&] { return !state->inbox.empty(); }, Clock::now() + quiet);
    return state->inbox.empty();
}

bool SignalingClient::waitForClose(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (state->reading) {
        if (!runUntil(state->io, [&] { return !state->reading || !state->inbox.empty(); }, deadline)) {
            return false;
        }
        state->inbox.clear();
    }
    return true;
}

void SignalingClient::close() {
    if (state->open && !state->writeBroken) {
        auto completion = std::make_shared<Completion>();
        state->ws.async_close(websocket::close_code::normal, CompletionHandler{completion});
        runUntil(state->io, [&] { return completion->done && !state->reading; }, Clock::now() + 2s);
    }
    reset();
}

void SignalingClient::reset() {
    auto& socket = beast::get_lowest_layer(state->ws);
    if (socket.is_open()) {
        error_code ignored;
        socket.set_option(net::socket_base::linger(true, 0), ignored);
        socket.close(ignored);
    }
    state->open = false;
    // Let the aborted operations finish while the stream still exists.
    runUntil(state->io, [&] { return !state->reading; }, Clock::now() + 1s);
}

struct RawConnection::State {
    std::string localAddress;
    net::io_context io;
    tcp::socket socket{io};
    std::string received;
};

RawConnection::RawConnection() : state(std::make_unique<State>()) {}

RawConnection::RawConnection(const std::string& localAddress) : RawConnection() {
    state->localAddress = localAddress;
}

RawConnection::~RawConnection() {
    reset();
}

bool RawConnection::connect(std::uint16_t port, std::chrono::milliseconds timeout, int receiveBufferBytes) {
    error_code ec;
    if (state->localAddress.empty()) {
        state->socket.open(tcp::v4(), ec);
    } else if (!bindLocal(state->socket, state->localAddress)) {
        return false;
    }
    if (ec) {
        return false;
    }
    if (receiveBufferBytes > 0) {
        state->socket.set_option(net::socket_base::receive_buffer_size(receiveBufferBytes), ec);
    }
    auto completion = std::make_shared<Completion>();
    state->socket.async_connect(tcp::endpoint(kLoopback, port), CompletionHandler{completion});
    const bool done = await(state->io, completion, Clock::now() + timeout, [this] {
        error_code ignored;
        state->socket.close(ignored);
    });
    return done && !completion->ec;
}

bool RawConnection::upgrade(std::uint16_t port, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    if (!send(webSocketUpgradeRequest(port), timeout)) {
        return false;
    }
    while (state->received.find("\r\n\r\n") == std::string::npos) {
        const auto now = Clock::now();
        if (now >= deadline) {
            return false;
        }
        const std::string more = readSome(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now));
        if (more.empty() && !state->socket.is_open()) {
            return false;
        }
    }
    const bool switched = state->received.rfind("HTTP/1.1 101", 0) == 0;
    state->received.erase(0, state->received.find("\r\n\r\n") + 4);
    return switched;
}

bool RawConnection::send(std::span<const std::uint8_t> data, std::chrono::milliseconds timeout) {
    if (!state->socket.is_open()) {
        return false;
    }
    auto completion = std::make_shared<Completion>();
    net::async_write(state->socket, net::buffer(data.data(), data.size()), CompletionHandler{completion});
    const bool done = await(state->io, completion, Clock::now() + timeout, [this] {
        error_code ignored;
        state->socket.close(ignored);
    });
    if (done && completion->ec) {
        error_code ignored;
        state->socket.close(ignored);
    }
    return done && !completion->ec;
}

bool RawConnection::send(std::string_view data, std::chrono::milliseconds timeout) {
    return send(std::span(reinterpret_cast<const std::uint8_t*>(data.data()), data.size()), timeout);
}

std::string RawConnection::readSome(std::chrono::milliseconds timeout) {
    if (!state->socket.is_open()) {
        return {};
    }
    std::array<char, 4096> chunk{};
    auto completion = std::make_shared<Completion>();
    state->socket.async_read_some(net::buffer(chunk), CompletionHandler{completion});
    await(state->io, completion, Clock::now() + timeout, [this] {
        error_code ignored;
        state->socket.cancel(ignored);
    });
    if (completion->ec && completion->ec != net::error::operation_aborted) {
        error_code ignored;
        state->socket.close(ignored);
    }
    std::string text(chunk.data(), completion->size);
    state->received += text;
    return text;
}

bool RawConnection::waitForClose(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (state->socket.is_open()) {
        const auto now = Clock::now();
        if (now >= deadline) {
            return false;
        }
        readSome(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now));
    }
    return true;
}

void RawConnection::reset() {
    if (state->socket.is_open()) {
        error_code ignored;
        state->socket.set_option(net::socket_base::linger(true, 0), ignored);
        state->socket.close(ignored);
    }
}

std::string webSocketUpgradeRequest(std::uint16_t port) {
    return "GET / HTTP/1.1\r\n"
           "Host: 127.0.0.1:" +
           std::to_string(port) +
           "\r\n"
           "Upgrade: websocket\r\n"
           "Connection: Upgrade\r\n"
           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
           "Sec-WebSocket-Version: 13\r\n"
           "\r\n";
}

std::vector<std::uint8_t> clientFrameHeader(std::uint8_t opcode, std::uint64_t length, bool fin) {
    std::vector<std::uint8_t> frame;
    frame.push_back(static_cast<std::uint8_t>((fin ? 0x80 : 0x00) | (opcode & 0x0F)));
    if (length < 126) {
        frame.push_back(static_cast<std::uint8_t>(0x80 | length));
    } else if (length <= 0xFFFF) {
        frame.push_back(0x80 | 126);
        frame.push_back(static_cast<std::uint8_t>(length >> 8));
        frame.push_back(static_cast<std::uint8_t>(length));
    } else {
        frame.push_back(0x80 | 127);
        for (int shift = 56; shift >= 0; shift -= 8) {
            frame.push_back(static_cast<std::uint8_t>(length >> shift));
        }
    }
    const std::uint32_t mask = randomMask();
    for (int shift = 24; shift >= 0; shift -= 8) {
        frame.push_back(static_cast<std::uint8_t>(mask >> shift));
    }
    return frame;
}

std::vector<std::uint8_t> clientFrame(std::uint8_t opcode, std::string_view payload, bool fin) {
    std::vector<std::uint8_t> frame = clientFrameHeader(opcode, payload.size(), fin);
    const std::uint8_t* mask = frame.data() + frame.size() - 4;
    const std::array<std::uint8_t, 4> key{mask[0], mask[1], mask[2], mask[3]};
    for (std::size_t i = 0; i < payload.size(); ++i) {
        frame.push_back(static_cast<std::uint8_t>(payload[i]) ^ key[i % 4]);
    }
    return frame;
}

::testing::AssertionResult signalingAlive(std::uint16_t port) {
    SignalingClient client;
    if (!client.connect(port)) {
        return ::testing::AssertionFailure() << "no WebSocket connection to port " << port;
    }
    if (!client.request({{"type", "hello"}}, "welcome")) {
        return ::testing::AssertionFailure() << "no welcome";
    }
    const auto pong = client.request({{"type", "ping"}, {"timestamp", 4242}}, "pong");
    if (!pong || pong->value("timestamp", 0) != 4242) {
        return ::testing::AssertionFailure() << "no pong";
    }
    client.close();
    return ::testing::AssertionSuccess();
}

}  // namespace quillane::host::test
