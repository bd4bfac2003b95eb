#include "network/TcpInputServer.h"

#include "network/LogText.h"
#include "network/SingleClientServer.h"

#include <spdlog/spdlog.h>

#include <cstring>
#include <mutex>
#include <utility>

namespace quillane::host {

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

constexpr SocketTuning kInputSocketTuning{
    .noDelay = true,
    .resetOnClose = false,  // closing is graceful
    .sendBufferBytes = 0,
    .receiveBufferBytes = 16 * 1024,
    .keepAlive = true,  // nothing is written here: only the probes notice a vanished client
};
// Nothing is ever written to an input client; the watchdog has nothing to watch.
constexpr std::chrono::milliseconds kWriteStallTimeout{10000};
constexpr std::chrono::milliseconds kStopGrace{1000};

bool allowed(LogRateLimiter& limiter) {
    std::size_t suppressed = 0;
    return limiter.allow(suppressed);
}

}  // namespace

struct TcpInputServer::Impl {
    struct Client {
        std::uint64_t id = 0;
        std::shared_ptr<TcpConnection> connection;
    };

    explicit Impl(std::uint16_t port) : server(port, "TCP input") {}

    bool start();
    void stop();
    void handleNewConnection(tcp::socket socket);
    ConnectionEvents makeEvents(std::uint64_t clientId);
    void handleCompleteMessage(std::span<const std::uint8_t> body);
    void closeClient(std::uint64_t clientId);

    template <class Callback>
    Callback copyCallback(const Callback& callback) {
        std::lock_guard lock(callbacksMutex);
        return callback;
    }

    SingleClientServer<Client> server;

    std::mutex callbacksMutex;
    InputEventCallback inputCallback;
    ClientGoneCallback goneCallback;

    PeerLineLimiter smallLog;  // one source: the server keeps one client
    LogRateLimiter setupLog{std::chrono::seconds(1)};
};

bool TcpInputServer::Impl::start() {
    if (server.running) return true;
    try {
        server.start([this](tcp::socket socket) { handleNewConnection(std::move(socket)); });
    } catch (const std::exception& e) {
        SPDLOG_ERROR("Failed to start TCP input server: {}", e.what());
        return false;
    }
    SPDLOG_INFO("TCP input server listening on port {}", server.port.load());
    return true;
}

void TcpInputServer::Impl::stop() {
    if (server.stop(kStopGrace)) SPDLOG_INFO("TCP input server stopped");
}

void TcpInputServer::Impl::handleNewConnection(tcp::socket socket) {
    auto ec = applySocketTuning(socket, kInputSocketTuning);
    tcp::endpoint peer;
    if (!ec) peer = socket.remote_endpoint(ec);
    if (ec) {
        // Typically a client that reset the connection right after connecting.
        if (allowed(setupLog)) SPDLOG_WARN("Failed to set up TCP input client connection: {}", ec.message());
        boost::system::error_code ignored;
        socket.close(ignored);
        return;
    }
    auto fresh = std::make_shared<Client>();
    fresh->id = server.nextClientId();
    fresh->connection = TcpConnection::create(std::move(socket), kWriteStallTimeout, makeEvents(fresh->id));
    bool accepted = false;
    const auto previous = server.install(fresh, accepted);
    if (!accepted) return;
    if (previous) {
        if (previous->connection->isOpen()) {
            SPDLOG_INFO("Closing existing TCP input client connection");
            previous->connection->close();
        }
        // Gone now, before the new client's first record: what it held is released before the
        // new client can press anything.
        if (auto gone = copyCallback(goneCallback)) gone();
    }
    SPDLOG_INFO("TCP input client connected from {}:{}", peer.address().to_string(), peer.port());
    fresh->connection->start(kMaxMessageLength);
}

ConnectionEvents TcpInputServer::Impl::makeEvents(std::uint64_t clientId) {
    ConnectionEvents events;
    events.message = [this](std::span<const std::uint8_t> body) { handleCompleteMessage(body); };
    events.messageTooLarge = [this, clientId](std::uint32_t length) {
        SPDLOG_ERROR("TCP input message too large: {} bytes", length);
        // The stream cannot be re-synchronised; the client reconnects.
        closeClient(clientId);
    };
    events.lengthReadFailed = [](const boost::system::error_code& ec) {
        SPDLOG_INFO("TCP input client disconnected: {}", ec.message());
    };
    events.bodyReadFailed = [this, clientId](const boost::system::error_code& ec) {
        SPDLOG_INFO("TCP input read error: {}", ec.message());
        closeClient(clientId);
    };
    events.closed = [this, clientId] {
        if (!server.forget(clientId)) return;  // replaced: reported gone then
        if (auto gone = copyCallback(goneCallback)) gone();
    };
    return events;
}

void TcpInputServer::Impl::closeClient(std::uint64_t clientId) {
    if (const auto current = server.current(); current && current->id == clientId) current->connection->close();
}

void TcpInputServer::Impl::handleCompleteMessage(std::span<const std::uint8_t> body) {
    if (body.size() < sizeof(InputEvent)) {
        if (std::size_t held = 0; smallLog.allow(0, held)) {
            SPDLOG_WARN("TCP input message too small: {} bytes{}", body.size(), heldNote(held));
        }
        return;
    }
    InputEvent event;
    std::memcpy(&event, body.data(), sizeof(event));
    if (auto callback = copyCallback(inputCallback)) callback(event);
}

TcpInputServer::TcpInputServer(std::uint16_t port) : impl(std::make_unique<Impl>(port)) {}

TcpInputServer::~TcpInputServer() {
    stop();
}

bool TcpInputServer::start() {
    return impl->start();
}

void TcpInputServer::stop() {
    impl->stop();
}

void TcpInputServer::setInputEventCallback(InputEventCallback callback) {
    std::lock_guard lock(impl->callbacksMutex);
    impl->inputCallback = std::move(callback);
}

void TcpInputServer::setClientGoneCallback(ClientGoneCallback callback) {
    std::lock_guard lock(impl->callbacksMutex);
    impl->goneCallback = std::move(callback);
}

bool TcpInputServer::isConnected() const {
    return impl->server.isConnected();
}

std::uint16_t TcpInputServer::getPort() const {
    return impl->server.port;
}

}  // namespace quillane::host
