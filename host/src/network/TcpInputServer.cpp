#include "network/TcpInputServer.h"

#include "network/LogText.h"
#include "network/SingleClientServer.h"

#include <spdlog/spdlog.h>

#include <cstring>
#include <mutex>
#include <utility>

namespace quillane::host {

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

    // Lets a late resume reach the server only while it and the I/O context it posts to exist.
    struct ResumeGate {
        std::mutex mutex;
        bool open = true;
    };

    explicit Impl(std::uint16_t port) : server(port, makeSetup()) {}
    ~Impl() {
        std::lock_guard lock(gate->mutex);
        gate->open = false;
    }

    SingleClientSetup makeSetup();
    ConnectionEvents makeEvents(std::uint64_t clientId, std::uint64_t source);
    void handleCompleteMessage(std::uint64_t clientId, std::uint64_t source, std::span<const std::uint8_t> body,
                               const std::function<void()>& resume);
    void closeClient(std::uint64_t clientId);
    // Made once per connection: reads again if the client is still the current one.
    std::function<void()> makeResume(std::uint64_t clientId);
    void pauseUnlessRoom(std::uint64_t clientId, const InputRoomCallback& room, const std::function<void()>& resume);

    template <class Callback>
    Callback copyCallback(const Callback& callback) {
        std::lock_guard lock(callbacksMutex);
        return callback;
    }

    SingleClientServer<Client> server;

    std::mutex callbacksMutex;
    InputEventCallback inputCallback;
    ClientGoneCallback goneCallback;
    InputRoomCallback roomCallback;
    std::shared_ptr<ResumeGate> gate = std::make_shared<ResumeGate>();

    // By the client's address, across its connections.
    PeerLineLimiter smallLog;
    PeerLineLimiter connectionLog{std::chrono::seconds(10), 16};  // how each connection ended
    LogRateLimiter setupLog{std::chrono::seconds(1)};
};

SingleClientSetup TcpInputServer::Impl::makeSetup() {
    SingleClientSetup setup;
    setup.name = "TCP input";
    setup.startFailed = "Failed to start TCP input server";
    setup.listening = "TCP input server listening";
    setup.stopped = "TCP input server stopped";
    setup.closingPrevious = "Closing existing TCP input client connection";
    setup.clientName = "TCP input client";
    setup.tuning = kInputSocketTuning;
    setup.writeStallTimeout = kWriteStallTimeout;
    setup.stopGrace = kStopGrace;
    setup.maxMessageLength = kMaxMessageLength;
    setup.setupFailed = [this](const boost::system::error_code& ec, std::uint64_t) {
        // Typically a client that reset the connection right after connecting.
        if (allowed(setupLog)) SPDLOG_WARN("Failed to set up TCP input client connection: {}", ec.message());
    };
    setup.events = [this](std::uint64_t clientId, std::uint64_t source) { return makeEvents(clientId, source); };
    setup.clientGone = [this] {
        if (auto gone = copyCallback(goneCallback)) gone();
    };
    return setup;
}

ConnectionEvents TcpInputServer::Impl::makeEvents(std::uint64_t clientId, std::uint64_t source) {
    ConnectionEvents events;
    events.message = [this, clientId, source, resume = makeResume(clientId)](std::span<const std::uint8_t> body) {
        handleCompleteMessage(clientId, source, body, resume);
    };
    events.messageTooLarge = [this, clientId, source](std::uint32_t length) {
        if (std::size_t held = 0; connectionLog.allow(source, held)) {
            SPDLOG_ERROR("TCP input message too large: {} bytes{}", length, heldNote(held));
        }
        // The stream cannot be re-synchronised; the client reconnects.
        closeClient(clientId);
    };
    events.lengthReadFailed = [this, source](const boost::system::error_code& ec) {
        if (std::size_t held = 0; connectionLog.allow(source, held)) {
            SPDLOG_INFO("TCP input client disconnected: {}{}", ec.message(), heldNote(held));
        }
    };
    events.bodyReadFailed = [this, clientId, source](const boost::system::error_code& ec) {
        if (std::size_t held = 0; connectionLog.allow(source, held)) {
            SPDLOG_INFO("TCP input read error: {}{}", ec.message(), heldNote(held));
        }
        closeClient(clientId);
    };
    return events;
}

void TcpInputServer::Impl::closeClient(std::uint64_t clientId) {
    if (const auto current = server.current(); current && current->id == clientId) current->connection->close();
}

void TcpInputServer::Impl::handleCompleteMessage(std::uint64_t clientId, std::uint64_t source,
                                                 std::span<const std::uint8_t> body,
                                                 const std::function<void()>& resume) {
    if (body.size() < sizeof(InputEvent)) {
        if (std::size_t held = 0; smallLog.allow(source, held)) {
            SPDLOG_WARN("TCP input message too small: {} bytes{}", body.size(), heldNote(held));
        }
        return;
    }
    InputEvent event;
    std::memcpy(&event, body.data(), sizeof(event));
    auto callback = copyCallback(inputCallback);
    if (!callback) return;
    const auto room = copyCallback(roomCallback);
    // A record read from a client that was replaced meanwhile would act after its gone release.
    server.handOnIfCurrent(clientId, [&] {
        callback(event);
        if (room) pauseUnlessRoom(clientId, room, resume);
    });
}

std::function<void()> TcpInputServer::Impl::makeResume(std::uint64_t clientId) {
    return [this, gate = gate, clientId] {
        std::lock_guard lock(gate->mutex);
        if (!gate->open) return;
        if (const auto current = server.current(); current && current->id == clientId) {
            current->connection->resumeReading();
        }
    };
}

void TcpInputServer::Impl::pauseUnlessRoom(std::uint64_t clientId, const InputRoomCallback& room,
                                           const std::function<void()>& resume) {
    const auto current = server.current();
    if (!current || current->id != clientId) return;
    // Nothing is dropped: the client's socket fills and pushes back until there is room.
    if (!room(resume)) current->connection->pauseReading();
}

TcpInputServer::TcpInputServer(std::uint16_t port) : impl(std::make_unique<Impl>(port)) {}

TcpInputServer::~TcpInputServer() {
    stop();
}

bool TcpInputServer::start() {
    return impl->server.start();
}

void TcpInputServer::stop() {
    impl->server.stop();
}

void TcpInputServer::setInputEventCallback(InputEventCallback callback) {
    std::lock_guard lock(impl->callbacksMutex);
    impl->inputCallback = std::move(callback);
}

void TcpInputServer::setClientGoneCallback(ClientGoneCallback callback) {
    std::lock_guard lock(impl->callbacksMutex);
    impl->goneCallback = std::move(callback);
}

void TcpInputServer::setInputRoomCallback(InputRoomCallback callback) {
    std::lock_guard lock(impl->callbacksMutex);
    impl->roomCallback = std::move(callback);
}

bool TcpInputServer::isConnected() const {
    return impl->server.isConnected();
}

std::uint16_t TcpInputServer::port() const {
    return impl->server.port;
}

}  // namespace quillane::host
