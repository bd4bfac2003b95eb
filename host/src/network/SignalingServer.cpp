#include "network/SignalingServer.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <cctype>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/websocket.hpp>
#include <nlohmann/json.hpp>
#include <spdlog/spdlog.h>

#include "common/LineSource.h"
#include "network/IoThread.h"
#include "network/LogText.h"
#include "network/SignalingMessageHandler.h"
#include "network/TcpListener.h"

namespace quillane::host {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using error_code = boost::system::error_code;

namespace {

// Room for an upgrade request with a browser's usual headers; a longer one fails the handshake.
constexpr std::size_t kMaxUpgradeRequestBytes = 16 * 1024;
// One line per address that keeps sending web-page handshakes, at most once a minute.
constexpr double kOriginRefusalLogsPerSecond = 1.0 / 60;
constexpr const char* kForbiddenResponse = "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

std::string asciiLower(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

// An Origin that a browser sends for a page: the client is a headset app that never runs in a
// browser, while any page the user visits could otherwise drive the host.
bool isWebPageOrigin(std::string_view origin) {
    const std::string value = asciiLower(origin);
    if (value == "null") {
        return true;
    }
    const auto colon = value.find(':');
    if (colon == std::string::npos) {
        return false;
    }
    const std::string_view scheme = std::string_view(value).substr(0, colon);
    return scheme == "http" || scheme == "https" || scheme == "file";
}

// The first Origin of the request's header that names a web page; none when the header is
// incomplete or malformed (the WebSocket handshake then fails on it) or names none.
std::optional<std::string> webPageOrigin(const std::string& request) {
    beast::http::request_parser<beast::http::empty_body> parser;
    parser.header_limit(static_cast<std::uint32_t>(kMaxUpgradeRequestBytes));
    parser.eager(false);
    error_code ec;
    parser.put(net::buffer(request), ec);
    if (ec || !parser.is_header_done()) {
        return std::nullopt;
    }
    const auto& header = parser.get();
    for (auto [field, end] = header.equal_range(beast::http::field::origin); field != end; ++field) {
        const std::string_view value(field->value().data(), field->value().size());
        if (isWebPageOrigin(value)) {
            return std::string(value);
        }
    }
    return std::nullopt;
}

TcpListenerOptions listenerOptions(const SignalingLimits& limits) {
    TcpListenerOptions options;
    options.retryDelay = limits.acceptRetryDelay;
    options.maxQuickRetries = 0;  // every accept error waits for the retry delay
    options.listeningSocketInherited = [](int error) {
        SPDLOG_WARN("The signaling socket stays open in programs the host starts (error {})", error);
    };
    options.acceptedSocketInherited = [](int error) {
        SPDLOG_WARN("A new signaling connection stays open in programs the host starts (error {})", error);
    };
    options.acceptFailed = [](const error_code& ec, std::size_t suppressed) {
        if (suppressed > 0) {
            SPDLOG_ERROR("Accept failed: {} ({} more since the last report)", ec.message(), suppressed);
        } else {
            SPDLOG_ERROR("Accept failed: {}", ec.message());
        }
    };
    return options;
}

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
    SignalingServerImpl(std::uint16_t port, const SignalingServerOptions& options,
                        const SignalingCallbacks& callbacks)
        : handler(handlerConfig(options), callbacks),
          limits(options.limits),
          beforeMessage(options.beforeMessage),
          port(port),
          listener(ioContext, kName, listenerOptions(options.limits)) {}

    bool start();
    void stop();
    void poll();

    std::size_t clientCount() const {
        std::lock_guard lock(sessionsMutex);
        return sessions.size();
    }

    std::uint16_t boundPort() const { return running ? listeningPort.load() : 0; }

    std::uint64_t nextSessionId() { return ++lastSessionId; }
    void sessionClosed(std::uint64_t sessionId, const std::string& address) {
        handler.sessionClosed(sessionId, address);
    }

    void addSession(const std::shared_ptr<WebSocketSession>& session) {
        std::lock_guard lock(sessionsMutex);
        sessions.insert(session);
    }

    void removeSession(const WebSocketSession* session);
    // Whether a line about a connection (how it began, ended or failed) may be written now: per
    // address the first ones, then one per 10 s with the count, so a client that reconnects in a
    // loop cannot flood the log.
    bool lineAllowed(const std::string& address, std::size_t& held) {
        return connectionLog.allow(addressSource(address), held);
    }
    // Logs a refused web-page handshake, once in a while per address.
    void logOriginRefusal(const std::string& address, std::string_view origin);
    void broadcast(const std::string& text);
    void handleMessage(WebSocketSession* session, std::uint64_t sessionId, const std::string& text);

    SignalingMessageHandler handler;
    const SignalingLimits limits;
    const std::function<void(const std::string&)> beforeMessage;

private:
    // The I/O thread's name, and the first words of its "... IO error: ..." lines.
    static constexpr const char* kName = "Signaling server";

    void closeAll();
    void onAccept(tcp::socket socket);
    enum class Refusal { None, Full, FullForAddress };
    Refusal refusal(const std::string& address);

    const std::uint16_t port;
    net::io_context ioContext{1};
    TcpListener listener;
    std::atomic<bool> running{false};
    std::atomic<std::uint16_t> listeningPort{0};
    std::mutex lifecycleMutex;  // start and stop
    std::atomic<bool> allClosed{false};  // closeAll ran for the current run
    std::atomic<std::uint64_t> lastSessionId{0};

    std::set<std::shared_ptr<WebSocketSession>> sessions;
    mutable std::mutex sessionsMutex;

    LogRateLimiter sessionLimitLog{std::chrono::seconds(1)};
    LogRateLimiter addressLimitLog{std::chrono::seconds(1)};
    std::mutex originRefusalLogMutex;  // handlers run on the I/O thread and in poll()
    SourceRateLimiter originRefusalLog{kOriginRefusalLogsPerSecond, 1};
    PeerLineLimiter connectionLog{std::chrono::seconds(10), 16};

    // Last: joined before anything its handlers touch goes.
    IoThread ioThread{ioContext, kName};
};

// One accepted connection. Every member below is touched only on the
// connection's strand.
class WebSocketSession : public std::enable_shared_from_this<WebSocketSession> {
public:
    WebSocketSession(tcp::socket&& socket, std::string address, const std::shared_ptr<SignalingServerImpl>& server)
        : ws(std::move(socket)),
          server(server),
          maxQueuedBytes(server->limits.maxQueuedBytes),
          clientAddress(std::move(address)),
          id(server->nextSessionId()),
          limits(server->limits),
          handshakeTimer(ws.get_executor()),
          keepAliveTimer(ws.get_executor()) {
        ws.read_message_max(server->limits.maxMessageBytes);
        websocket::stream_base::timeout timeouts{};
        timeouts.handshake_timeout = server->limits.handshakeTimeout;
        timeouts.idle_timeout = websocket::stream_base::none();
        timeouts.keep_alive_pings = false;
        ws.set_option(timeouts);
    }

private:
    // A completion handler of this session bound to it; an exception that
    // escapes it is logged and closes the session rather than the I/O thread.
    template <class... Args>
    auto guarded(void (WebSocketSession::*handler)(Args...)) {
        return [self = shared_from_this(), handler](Args... args) {
            try {
                ((*self).*handler)(std::move(args)...);
            } catch (const std::exception& e) {
                self->fail(e.what());
            } catch (...) {
                self->fail("unknown exception");
            }
        };
    }

    void fail(const char* what) {
        if (std::size_t held = 0; lineAllowed(held)) {
            SPDLOG_ERROR("Closing signaling client {}: its handler failed: {}{}", clientAddress, what, heldNote(held));
        }
        closeNow(true);
    }

    // Whether a line about this connection may be written now (see SignalingServerImpl::lineAllowed).
    bool lineAllowed(std::size_t& held) {
        const auto owner = server.lock();
        return !owner || owner->lineAllowed(clientAddress, held);
    }

public:
    const std::string& address() const { return clientAddress; }
    bool isOpen() const { return open; }

    // Reads the upgrade request, refuses one from a web page, and hands any other to the
    // WebSocket handshake together with every byte read so far.
    void run() {
        net::dispatch(ws.get_executor(), [self = shared_from_this()] {
            self->handshakeTimer.expires_after(self->limits.handshakeTimeout);
            self->handshakeTimer.async_wait(self->guarded(&WebSocketSession::onHandshakeTimeout));
            net::async_read_until(beast::get_lowest_layer(self->ws),
                                  net::dynamic_buffer(self->upgradeRequest, kMaxUpgradeRequestBytes), "\r\n\r\n",
                                  self->guarded(&WebSocketSession::onUpgradeRequest));
        });
    }

    // Queues one text message; callable from any thread. Dropped unless the
    // handshake has completed and the session is still open.
    void send(const std::string& text) {
        auto message = std::make_shared<std::string>(text);
        net::post(ws.get_executor(), [self = shared_from_this(), message = std::move(message)] {
            try {
                self->enqueue(message);
            } catch (const std::exception& e) {
                self->fail(e.what());
            }
        });
    }

    // Ends the connection without a close frame; callable from any thread.
    void close() {
        net::dispatch(ws.get_executor(), [self = shared_from_this()] { self->closeNow(false); });
    }

private:
    void onHandshakeTimeout(error_code ec) {
        if (ec || closed || open) {
            return;
        }
        if (std::size_t held = 0; lineAllowed(held)) {
            SPDLOG_ERROR("WebSocket accept failed: {}{}", error_code(beast::error::timeout).message(), heldNote(held));
        }
        closeNow(true);
    }

    void onUpgradeRequest(error_code ec, std::size_t) {
        if (closed) {
            return;
        }
        if (ec) {
            if (std::size_t held = 0; lineAllowed(held)) {
                SPDLOG_ERROR("WebSocket accept failed: {}{}", ec.message(), heldNote(held));
            }
            closeNow(true);
            return;
        }
        if (const auto origin = webPageOrigin(upgradeRequest)) {
            refuse(*origin);
            return;
        }
        ws.async_accept(net::buffer(upgradeRequest), guarded(&WebSocketSession::onAccept));
    }

    void refuse(const std::string& origin) {
        if (const auto owner = server.lock()) {
            owner->logOriginRefusal(clientAddress, origin);
        }
        net::async_write(beast::get_lowest_layer(ws), net::buffer(std::string_view(kForbiddenResponse)),
                         [self = shared_from_this()](error_code, std::size_t) { self->closeNow(true); });
    }

    void onAccept(error_code ec) {
        if (closed) {
            return;
        }
        handshakeTimer.cancel();
        if (ec) {
            if (std::size_t held = 0; lineAllowed(held)) {
                SPDLOG_ERROR("WebSocket accept failed: {}{}", ec.message(), heldNote(held));
            }
            closeNow(true);
            return;
        }
        upgradeRequest = std::string();
        open = true;
        if (std::size_t held = 0; lineAllowed(held)) SPDLOG_INFO("Client connected{}", heldNote(held));
        lastHeard = lastPing = clockNow();
        // Pongs (and pings) count as signs of life; they arrive while a read is pending.
        ws.control_callback([this](websocket::frame_type, beast::string_view) { lastHeard = clockNow(); });
        scheduleKeepAlive();
        doRead();
    }

    std::chrono::steady_clock::time_point clockNow() const {
        return limits.clock ? limits.clock() : std::chrono::steady_clock::now();
    }

    void scheduleKeepAlive() {
        keepAliveTimer.expires_after(limits.keepAliveCheckInterval);
        keepAliveTimer.async_wait(guarded(&WebSocketSession::onKeepAlive));
    }

    void onKeepAlive(error_code ec) {
        if (closed || ec) {
            return;
        }
        const auto now = clockNow();
        if (now - lastHeard >= limits.keepAliveCloseAfter) {
            SPDLOG_INFO("Closing signaling client {}: nothing heard for {} s", clientAddress,
                        std::chrono::duration_cast<std::chrono::seconds>(now - lastHeard).count());
            closeNow(true);
            return;
        }
        if (now - lastHeard >= limits.keepAlivePingAfter && now - lastPing >= limits.keepAlivePingAfter &&
            !pingInFlight) {
            pingInFlight = true;
            lastPing = now;
            ws.async_ping({}, [self = shared_from_this()](error_code pingError) {
                self->pingInFlight = false;
                if (pingError && !self->closed) {
                    self->closeNow(true);
                }
            });
        }
        scheduleKeepAlive();
    }

    void doRead() {
        ws.async_read(buffer, guarded(&WebSocketSession::onRead));
    }

    void onRead(error_code ec, std::size_t) {
        if (closed) {
            return;
        }
        if (ec == websocket::error::closed) {
            if (std::size_t held = 0; lineAllowed(held)) {
                SPDLOG_INFO("Client disconnected{}", heldNote(held));
            }
            closeNow(true);
            return;
        }
        if (ec) {
            if (std::size_t held = 0; lineAllowed(held)) {
                SPDLOG_ERROR("WebSocket read failed: {}{}", ec.message(), heldNote(held));
            }
            closeNow(true);
            return;
        }
        lastHeard = clockNow();
        const std::string text = beast::buffers_to_string(buffer.data());
        buffer.consume(buffer.size());
        if (const auto owner = server.lock()) {
            if (owner->beforeMessage) owner->beforeMessage(text);
            owner->handleMessage(this, id, text);
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
            if (std::size_t held = 0; lineAllowed(held)) {
                SPDLOG_WARN("Closing signaling client {}: more than {} bytes waiting to be sent{}", clientAddress,
                            maxQueuedBytes, heldNote(held));
            }
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
                       guarded(&WebSocketSession::onWrite));
    }

    void onWrite(error_code ec, std::size_t) {
        if (closed) {
            return;
        }
        if (ec) {
            if (std::size_t held = 0; lineAllowed(held)) {
                SPDLOG_ERROR("WebSocket write failed: {}{}", ec.message(), heldNote(held));
            }
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
        const bool wasOpen = open.exchange(false);
        error_code ignored;
        beast::get_lowest_layer(ws).close(ignored);
        handshakeTimer.cancel();
        keepAliveTimer.cancel();
        if (const auto owner = server.lock()) {
            if (removeFromServer) {
                owner->removeSession(this);
            }
            // Its streams end with it, also when the whole server stops.
            if (wasOpen) {
                owner->sessionClosed(id, clientAddress);
            }
        }
    }

    websocket::stream<tcp::socket> ws;
    std::weak_ptr<SignalingServerImpl> server;
    beast::flat_buffer buffer;
    std::deque<std::shared_ptr<std::string>> writeQueue;
    std::size_t queuedBytes = 0;
    const std::size_t maxQueuedBytes;
    const std::string clientAddress;
    const std::uint64_t id;
    const SignalingLimits limits;
    std::atomic<bool> open{false};  // handshake completed and not closed; read by broadcast
    bool closed = false;
    std::string upgradeRequest;  // the bytes read before the handshake, the request and any after it
    net::steady_timer handshakeTimer;
    net::steady_timer keepAliveTimer;
    std::chrono::steady_clock::time_point lastHeard{};
    std::chrono::steady_clock::time_point lastPing{};
    bool pingInFlight = false;
};

bool SignalingServerImpl::start() {
    std::lock_guard lifecycle(lifecycleMutex);
    if (running) {
        SPDLOG_ERROR("Failed to start signaling server: {}", "already running");
        return false;
    }
    // A previous run may have been stopped inside one of its own handlers.
    ioThread.stop(limits.stopDrainTimeout);
    allClosed = false;
    try {
        listener.open(port);
        listeningPort = listener.port();
        running = true;
        listener.start([this](tcp::socket socket) { onAccept(std::move(socket)); });
        ioThread.start();
        SPDLOG_INFO("Signaling server listening on port {}", listeningPort.load());
        return true;
    } catch (const std::exception& e) {
        SPDLOG_ERROR("Failed to start signaling server: {}", e.what());
        running = false;
        listener.close();
        // Runs the close, and completes an accept that was already started, releasing what it holds.
        ioContext.restart();
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
        // After the listener's last accept, so that none can add a session once the set is emptied.
        listener.close([self = shared_from_this()] { self->closeAll(); });
        // With every socket closed the pending operations complete and the I/O thread runs out of
        // work, which releases every session. A context stopped before that keeps its queue, the
        // close included, and the I/O thread runs what is left once it has joined.
        const bool drained = ioThread.stop(limits.stopDrainTimeout, [] {
            SPDLOG_WARN("Signaling server I/O did not finish in time; stopping it");
        });
        if (!drained && !allClosed) {
            closeAll();
            ioContext.restart();
            ioContext.poll();
        }
    } catch (const std::exception& e) {
        SPDLOG_ERROR("Error while stopping the signaling server: {}", e.what());
    }
    SPDLOG_INFO("Signaling server stopped");
}

void SignalingServerImpl::poll() {
    runHandlersLogged(kName, [this] { ioContext.poll(); });
}

void SignalingServerImpl::closeAll() {
    allClosed = true;
    std::set<std::shared_ptr<WebSocketSession>> closing;
    {
        std::lock_guard lock(sessionsMutex);
        closing.swap(sessions);
    }
    for (const auto& session : closing) {
        session->close();
    }
}

void SignalingServerImpl::onAccept(tcp::socket socket) {
    if (!running) {
        return;
    }
    error_code endpointError;
    const auto endpoint = socket.remote_endpoint(endpointError);
    std::string address = endpointError ? "unknown" : endpoint.address().to_string();
    if (const Refusal refused = refusal(address); refused != Refusal::None) {
        std::size_t suppressed = 0;
        if (refused == Refusal::Full && sessionLimitLog.allow(suppressed)) {
            SPDLOG_WARN("Too many signaling clients ({}), closing new connection", limits.maxSessions);
        } else if (refused == Refusal::FullForAddress && addressLimitLog.allow(suppressed)) {
            SPDLOG_WARN("Too many signaling clients from {} ({}), closing new connection", address,
                        limits.maxSessionsPerAddress);
        }
        error_code ignored;
        socket.close(ignored);
        return;
    }
    auto session = std::make_shared<WebSocketSession>(std::move(socket), std::move(address), shared_from_this());
    addSession(session);
    session->run();
}

SignalingServerImpl::Refusal SignalingServerImpl::refusal(const std::string& address) {
    std::lock_guard lock(sessionsMutex);
    if (sessions.size() >= limits.maxSessions) {
        return Refusal::Full;
    }
    const auto fromAddress = std::count_if(sessions.begin(), sessions.end(),
                                           [&](const auto& session) { return session->address() == address; });
    return static_cast<std::size_t>(fromAddress) >= limits.maxSessionsPerAddress ? Refusal::FullForAddress
                                                                                 : Refusal::None;
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

void SignalingServerImpl::logOriginRefusal(const std::string& address, std::string_view origin) {
    std::size_t held = 0;
    {
        std::lock_guard lock(originRefusalLogMutex);
        if (!originRefusalLog.allow(std::hash<std::string>{}(address), std::chrono::steady_clock::now(), held)) {
            return;
        }
    }
    if (held > 0) {
        SPDLOG_WARN("Refused a WebSocket handshake from {}: its Origin \"{}\" is a web page ({} more since the last "
                    "report)", address, logSafeText(origin), held);
    } else {
        SPDLOG_WARN("Refused a WebSocket handshake from {}: its Origin \"{}\" is a web page", address,
                    logSafeText(origin));
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

void SignalingServerImpl::handleMessage(WebSocketSession* session, std::uint64_t sessionId, const std::string& text) {
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
    if (const auto reply = handler.handleMessage(text, target->address(), sessionId)) {
        target->send(*reply);
    }
}

SignalingServer::SignalingServer(std::uint16_t port, SignalingServerOptions options)
    : impl(std::make_shared<SignalingServerImpl>(port, options, *this)) {}

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

std::uint16_t SignalingServer::port() const {
    return impl->boundPort();
}

void SignalingServer::sendStreamConfig(const StreamConfigMessage& config) {
    const nlohmann::json message = makeStreamConfigJson(config);
    // Sent after a stream's start and each size change of its window: one of that work's lines.
    if (std::size_t held = 0; StreamLineScope::allow(held)) {
        SPDLOG_INFO("Sending stream_config: streamId={}, {}x{}, codec={}, sps={}B, pps={}B{}", config.streamId,
                    config.width, config.height, config.codec, config.sps.size(), config.pps.size(), heldNote(held));
    }
    impl->broadcast(serializeMessage(message));
}

void SignalingServer::sendStreamStopped(std::uint8_t streamId) {
    SPDLOG_INFO("Sending stream_stopped: streamId={}", streamId);
    impl->broadcast(serializeMessage(makeStreamStoppedJson(streamId)));
}

}  // namespace quillane::host
