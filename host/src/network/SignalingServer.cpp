#include "network/SignalingServer.h"

#include <atomic>
#include <deque>
#include <future>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <nlohmann/json.hpp>
#include <spdlog/spdlog.h>

#include "network/LogText.h"
#include "network/SignalingMessageHandler.h"
#include "network/SocketOptions.h"
#include "platform/CrashHandler.h"

namespace quillane::host {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using error_code = boost::system::error_code;

namespace {

// Longest wait for the I/O thread to finish its last completions at stop.
constexpr auto kStopDrainTimeout = std::chrono::seconds(5);

SignalingMessageHandler::Config handlerConfig(const SignalingServerOptions& options) {
    SignalingMessageHandler::Config config;
    config.welcome.videoPort = options.videoPort;
    config.welcome.audioPort = options.audioPort;
    config.welcome.inputPort = options.inputPort;
    config.windowListCacheAge = options.limits.windowListCacheAge;
    return config;
}

}  // namespace

class WebSocketSession;

class SignalingServerImpl : public std::enable_shared_from_this<SignalingServerImpl> {
public:
    SignalingServerImpl(std::uint16_t port, const SignalingServerOptions& options)
        : handler(handlerConfig(options)),
          limits(options.limits),
          port(port),
          acceptStrand(net::make_strand(ioContext)),
          acceptor(acceptStrand),
          acceptRetryTimer(acceptStrand) {}

    ~SignalingServerImpl() {
        if (ioThread.joinable()) {
            if (ioThread.get_id() == std::this_thread::get_id()) {
                ioThread.detach();
            } else {
                ioThread.join();
            }
        }
    }

    bool start();
    void stop();
    void poll() { ioContext.poll(); }

    std::size_t clientCount() const {
        std::lock_guard lock(sessionsMutex);
        return sessions.size();
    }

    std::uint16_t boundPort() const { return running ? listeningPort.load() : 0; }

    void addSession(const std::shared_ptr<WebSocketSession>& session) {
        std::lock_guard lock(sessionsMutex);
        sessions.insert(session);
    }

    void removeSession(const WebSocketSession* session);
    void broadcast(const std::string& text);
    void handleMessage(WebSocketSession* session, const std::string& text);

    SignalingMessageHandler handler;
    const SignalingLimits limits;

private:
    void closeAll();
    void doAccept();
    void onAccept(error_code ec, tcp::socket socket);

    const std::uint16_t port;
    net::io_context ioContext{1};
    net::strand<net::io_context::executor_type> acceptStrand;
    tcp::acceptor acceptor;
    net::steady_timer acceptRetryTimer;
    std::thread ioThread;
    std::future<void> ioThreadDone;
    std::atomic<bool> running{false};
    std::atomic<std::uint16_t> listeningPort{0};
    std::mutex lifecycleMutex;  // start and stop

    std::set<std::shared_ptr<WebSocketSession>> sessions;
    mutable std::mutex sessionsMutex;

    LogRateLimiter acceptErrorLog{std::chrono::seconds(1)};
    LogRateLimiter sessionLimitLog{std::chrono::seconds(1)};
};

// One accepted connection. Every member below is touched only on the
// connection's strand.
class WebSocketSession : public std::enable_shared_from_this<WebSocketSession> {
public:
    WebSocketSession(tcp::socket&& socket, const std::shared_ptr<SignalingServerImpl>& server)
        : ws(std::move(socket)), server(server), maxQueuedBytes(server->limits.maxQueuedBytes) {
        error_code ec;
        const auto endpoint = ws.next_layer().remote_endpoint(ec);
        clientAddress = ec ? "unknown" : endpoint.address().to_string();
        ws.read_message_max(server->limits.maxMessageBytes);
        websocket::stream_base::timeout timeouts{};
        timeouts.handshake_timeout = server->limits.handshakeTimeout;
        timeouts.idle_timeout = websocket::stream_base::none();
        timeouts.keep_alive_pings = false;
        ws.set_option(timeouts);
    }

    const std::string& address() const { return clientAddress; }
    bool isOpen() const { return open; }

    void run() {
        net::dispatch(ws.get_executor(), [self = shared_from_this()] {
            self->ws.async_accept(beast::bind_front_handler(&WebSocketSession::onAccept, self));
        });
    }

    // Queues one text message; callable from any thread. Dropped unless the
    // handshake has completed and the session is still open.
    void send(const std::string& text) {
        auto message = std::make_shared<std::string>(text);
        net::post(ws.get_executor(), [self = shared_from_this(), message = std::move(message)] {
            self->enqueue(message);
        });
    }

    // Ends the connection without a close frame; callable from any thread.
    void close() {
        net::dispatch(ws.get_executor(), [self = shared_from_this()] { self->closeNow(false); });
    }

private:
    void onAccept(error_code ec) {
        if (closed) {
            return;
        }
        if (ec) {
            SPDLOG_ERROR("WebSocket accept failed: {}", ec.message());
            closeNow(true);
            return;
        }
        open = true;
        SPDLOG_INFO("Client connected");
        doRead();
    }

    void doRead() {
        ws.async_read(buffer, beast::bind_front_handler(&WebSocketSession::onRead, shared_from_this()));
    }

    void onRead(error_code ec, std::size_t) {
        if (closed) {
            return;
        }
        if (ec == websocket::error::closed) {
            SPDLOG_INFO("Client disconnected");
            closeNow(true);
            return;
        }
        if (ec) {
            SPDLOG_ERROR("WebSocket read failed: {}", ec.message());
            closeNow(true);
            return;
        }
        const std::string text = beast::buffers_to_string(buffer.data());
        buffer.consume(buffer.size());
        if (const auto owner = server.lock()) {
            owner->handleMessage(this, text);
        }
        doRead();
    }

    void enqueue(const std::shared_ptr<std::string>& message) {
        if (!open || closed) {
            return;
        }
        // A client that stops reading must not make the host hold its answers
        // without bound; a single message of any size still goes out alone.
        if (!writeQueue.empty() && queuedBytes + message->size() > maxQueuedBytes) {
            SPDLOG_WARN("Closing signaling client {}: more than {} bytes waiting to be sent", clientAddress,
                        maxQueuedBytes);
            closeNow(true);
            return;
        }
        writeQueue.push_back(message);
        queuedBytes += message->size();
        if (writeQueue.size() == 1) {
            doWrite();
        }
    }

    void doWrite() {
        if (writeQueue.empty()) {
            return;
        }
        ws.async_write(net::buffer(*writeQueue.front()),
                       beast::bind_front_handler(&WebSocketSession::onWrite, shared_from_this()));
    }

    void onWrite(error_code ec, std::size_t) {
        if (closed) {
            return;
        }
        if (ec) {
            SPDLOG_ERROR("WebSocket write failed: {}", ec.message());
            closeNow(true);
            return;
        }
        queuedBytes -= writeQueue.front()->size();
        writeQueue.pop_front();
        doWrite();
    }

    // Closes the socket, which completes every pending operation with an
    // error, and leaves the server's set.
    void closeNow(bool removeFromServer) {
        if (closed) {
            return;
        }
        closed = true;
        open = false;
        error_code ignored;
        beast::get_lowest_layer(ws).close(ignored);
        if (removeFromServer) {
            if (const auto owner = server.lock()) {
                owner->removeSession(this);
            }
        }
    }

    websocket::stream<tcp::socket> ws;
    std::weak_ptr<SignalingServerImpl> server;
    beast::flat_buffer buffer;
    std::deque<std::shared_ptr<std::string>> writeQueue;
    std::size_t queuedBytes = 0;
    const std::size_t maxQueuedBytes;
    std::string clientAddress;
    std::atomic<bool> open{false};  // handshake completed and not closed; read by broadcast
    bool closed = false;
};

bool SignalingServerImpl::start() {
    std::lock_guard lifecycle(lifecycleMutex);
    if (running) {
        SPDLOG_ERROR("Failed to start signaling server: {}", "already running");
        return false;
    }
    // A previous run may have ended inside one of its own handlers.
    if (ioThread.joinable()) {
        ioThread.join();
    }
    ioContext.restart();
    try {
        const tcp::endpoint endpoint(net::ip::address_v4::any(), port);
        acceptor.open(endpoint.protocol());
        if (const int error = setListenAddressOption(static_cast<std::uintptr_t>(acceptor.native_handle()));
            error != 0) {
            throw boost::system::system_error(error_code(error, boost::system::system_category()));
        }
        acceptor.bind(endpoint);
        acceptor.listen(net::socket_base::max_listen_connections);
        listeningPort = acceptor.local_endpoint().port();
        running = true;
        doAccept();
        std::promise<void> done;
        ioThreadDone = done.get_future();
        ioThread = std::thread([this, done = std::move(done)]() mutable {
            prepareThreadForCrashHandling();
            ioContext.run();
            done.set_value();
        });
        SPDLOG_INFO("Signaling server listening on port {}", listeningPort.load());
        return true;
    } catch (const std::exception& e) {
        SPDLOG_ERROR("Failed to start signaling server: {}", e.what());
        running = false;
        error_code ignored;
        acceptor.close(ignored);
        // Completes an accept that was already started, releasing what it holds.
        ioContext.poll();
        return false;
    }
}

void SignalingServerImpl::stop() {
    std::lock_guard lifecycle(lifecycleMutex);
    if (!running) {
        return;
    }
    try {
        running = false;
        // On the accept strand, so that no accept that is being completed can
        // add a session after the set has been emptied.
        net::post(acceptStrand, [self = shared_from_this()] { self->closeAll(); });
        // With every socket closed the pending operations complete and the
        // I/O thread runs out of work, which releases every session.
        if (ioThread.joinable() && ioThread.get_id() != std::this_thread::get_id()) {
            if (ioThreadDone.wait_for(kStopDrainTimeout) != std::future_status::ready) {
                SPDLOG_WARN("Signaling server I/O did not finish in time; stopping it");
                ioContext.stop();
            }
            ioThread.join();
        }
    } catch (...) {
    }
    SPDLOG_INFO("Signaling server stopped");
}

void SignalingServerImpl::closeAll() {
    error_code ignored;
    acceptor.close(ignored);
    acceptRetryTimer.cancel();
    std::set<std::shared_ptr<WebSocketSession>> closing;
    {
        std::lock_guard lock(sessionsMutex);
        closing.swap(sessions);
    }
    for (const auto& session : closing) {
        session->close();
    }
}

void SignalingServerImpl::doAccept() {
    acceptor.async_accept(net::make_strand(ioContext),
                          beast::bind_front_handler(&SignalingServerImpl::onAccept, shared_from_this()));
}

void SignalingServerImpl::onAccept(error_code ec, tcp::socket socket) {
    if (!running) {
        return;
    }
    if (ec) {
        // Out of descriptors, say: log now and then, and try again shortly
        // instead of spinning or giving up for good.
        std::size_t suppressed = 0;
        if (acceptErrorLog.allow(suppressed)) {
            if (suppressed > 0) {
                SPDLOG_ERROR("Accept failed: {} ({} more since the last report)", ec.message(), suppressed);
            } else {
                SPDLOG_ERROR("Accept failed: {}", ec.message());
            }
        }
        acceptRetryTimer.expires_after(limits.acceptRetryDelay);
        acceptRetryTimer.async_wait([self = shared_from_this()](error_code waitError) {
            if (!waitError && self->running) {
                self->doAccept();
            }
        });
        return;
    }

    bool full = false;
    {
        std::lock_guard lock(sessionsMutex);
        full = sessions.size() >= limits.maxSessions;
    }
    if (full) {
        std::size_t suppressed = 0;
        if (sessionLimitLog.allow(suppressed)) {
            SPDLOG_WARN("Too many signaling clients ({}), closing new connection", limits.maxSessions);
        }
        error_code ignored;
        socket.close(ignored);
    } else {
        auto session = std::make_shared<WebSocketSession>(std::move(socket), shared_from_this());
        addSession(session);
        session->run();
    }
    if (running) {
        doAccept();
    }
}

void SignalingServerImpl::removeSession(const WebSocketSession* session) {
    std::shared_ptr<WebSocketSession> released;  // destroyed after the lock is gone
    std::lock_guard lock(sessionsMutex);
    for (auto it = sessions.begin(); it != sessions.end(); ++it) {
        if (it->get() == session) {
            released = *it;
            sessions.erase(it);
            break;
        }
    }
}

void SignalingServerImpl::broadcast(const std::string& text) {
    std::lock_guard lock(sessionsMutex);
    for (const auto& session : sessions) {
        if (session->isOpen()) {
            session->send(text);
        }
    }
}

void SignalingServerImpl::handleMessage(WebSocketSession* session, const std::string& text) {
    std::shared_ptr<WebSocketSession> target;
    {
        std::lock_guard lock(sessionsMutex);
        for (const auto& candidate : sessions) {
            if (candidate.get() == session) {
                target = candidate;
                break;
            }
        }
    }
    if (!target) {
        return;  // removed sessions get no answers
    }
    if (const auto reply = handler.handleMessage(text, target->address())) {
        target->send(*reply);
    }
}

SignalingServer::SignalingServer(std::uint16_t port, SignalingServerOptions options)
    : impl(std::make_shared<SignalingServerImpl>(port, options)) {}

SignalingServer::~SignalingServer() {
    impl->stop();
}

bool SignalingServer::start() {
    return impl->start();
}

void SignalingServer::stop() {
    impl->stop();
}

void SignalingServer::poll() {
    impl->poll();
}

std::size_t SignalingServer::getClientCount() const {
    return impl->clientCount();
}

std::uint16_t SignalingServer::getPort() const {
    return impl->boundPort();
}

void SignalingServer::sendStreamConfig(const StreamConfigMessage& config) {
    const nlohmann::json message = makeStreamConfigJson(config);
    SPDLOG_INFO("Sending stream_config: streamId={}, {}x{}, codec={}, sps={}B, pps={}B", config.streamId,
                config.width, config.height, config.codec, config.sps.size(), config.pps.size());
    impl->broadcast(serializeMessage(message));
}

void SignalingServer::setWindowListCallback(WindowListCallback callback) {
    impl->handler.setWindowListCallback(std::move(callback));
}

void SignalingServer::setStreamRequestCallback(StreamRequestCallback callback) {
    impl->handler.setStreamRequestCallback(std::move(callback));
}

void SignalingServer::setStreamStopCallback(StreamStopCallback callback) {
    impl->handler.setStreamStopCallback(std::move(callback));
}

void SignalingServer::setClientConnectedCallback(ClientConnectedCallback callback) {
    impl->handler.setClientConnectedCallback(std::move(callback));
}

void SignalingServer::setWindowResizeCallback(WindowResizeCallback callback) {
    impl->handler.setWindowResizeCallback(std::move(callback));
}

void SignalingServer::setKeyframeRequestCallback(KeyframeRequestCallback callback) {
    impl->handler.setKeyframeRequestCallback(std::move(callback));
}

void SignalingServer::setStreamIdInUseCallback(StreamIdInUseCallback callback) {
    impl->handler.setStreamIdInUseCallback(std::move(callback));
}

}  // namespace quillane::host
