#include "network/TcpTransportServer.h"

#include "network/FrameDropPolicy.h"
#include "network/LogText.h"
#include "network/SingleClientServer.h"
#include "network/VideoPacket.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <spdlog/spdlog.h>

#include <array>
#include <atomic>
#include <cstring>
#include <mutex>
#include <utility>

namespace quillane::host {

namespace asio = boost::asio;
using Clock = std::chrono::steady_clock;

namespace {

constexpr SocketTuning kClientSocketTuning{
    .noDelay = true,
    .resetOnClose = true,  // replacing a client resets it rather than flushing stale video
    .sendBufferBytes = 256 * 1024,
    .receiveBufferBytes = 256 * 1024,
    .keepAlive = true,  // a headset gone from the network sends no FIN
};

constexpr std::chrono::milliseconds kStopGrace{2000};

bool allowed(LogRateLimiter& limiter) {
    std::size_t suppressed = 0;
    return limiter.allow(suppressed);
}

template <class... Handlers>
struct Overloaded : Handlers... {
    using Handlers::operator()...;
};
template <class... Handlers>
Overloaded(Handlers...) -> Overloaded<Handlers...>;

}  // namespace

struct TcpTransportServer::Impl {
    // One accepted client. Its drop policy is touched only under its connection's queue lock.
    struct Client {
        std::uint64_t id = 0;
        std::shared_ptr<TcpConnection> connection;
        FrameDropPolicy policy;
    };

    Impl(std::uint16_t port, TransportTuning tuning) : server(port, makeSetup(tuning)) {}

    SingleClientSetup makeSetup(const TransportTuning& serverTuning);
    ConnectionEvents makeEvents(std::uint64_t clientId, std::uint64_t source);
    void accepted(AcceptOutcome outcome);
    void dispatch(std::uint64_t clientId, std::span<const std::uint8_t> body);
    FrameSendResult sendVideoFrame(std::uint8_t streamId, const std::uint8_t* data, std::size_t size,
                                   bool isKeyframe);
    void reportDrop(std::uint8_t streamId, const FrameDecision& decision, const QueueLoad& load);
    void requestKeyframe(std::uint8_t streamId);
    // Hands a keyframe request to the owner from the I/O context.
    void postKeyframeRequest(std::uint8_t streamId);
    void notePeak(std::size_t bytes);

    template <class Callback>
    Callback copyCallback(const Callback& callback) {
        std::lock_guard lock(callbacksMutex);
        return callback;
    }

    // Declared first so that it outlives every socket, timer and thread below.
    SingleClientServer<Client> server;
    asio::io_context& io = server.io;

    // Wraps from 65535 to 0 and goes on across clients; taken under the queue lock of the client
    // that sends the frame, so each connection's wire order is its sequence order.
    std::atomic<std::uint16_t> sequence{0};

    // Streams that ever had a frame to send: a new client is owed a keyframe of
    // each, also of a still window that makes no new frames by itself.
    std::array<std::atomic<bool>, 256> carried{};

    std::mutex callbacksMutex;
    ClientFeedbackCallback feedbackCallback;
    ClientInputCallback inputCallback;
    KeyframeRequestCallback keyframeCallback;
    ClientGoneCallback goneCallback;

    std::atomic<std::uint64_t> connectionsAccepted{0};
    std::atomic<std::uint64_t> framesQueued{0};
    std::atomic<std::uint64_t> framesDropped{0};
    std::atomic<std::uint64_t> keyframeRequests{0};
    std::atomic<std::size_t> peakQueuedBytes{0};

    LogRateLimiter stallLog{std::chrono::seconds(1)};
    LogRateLimiter fullLog{std::chrono::seconds(1)};
    LogRateLimiter limitLog{std::chrono::seconds(1)};
    LogRateLimiter awaitingLog{std::chrono::seconds(1)};
    LogRateLimiter setupLog{std::chrono::seconds(1)};
    // How each connection ended, by the client's address across its connections.
    PeerLineLimiter connectionLog{std::chrono::seconds(10), 16};
};

SingleClientSetup TcpTransportServer::Impl::makeSetup(const TransportTuning& serverTuning) {
    SingleClientSetup setup;
    setup.name = "TCP transport";
    setup.startFailed = "Failed to start TCP transport";
    setup.listening = "TCP transport server listening";
    setup.stopped = "TCP transport server stopped";
    setup.closingPrevious = "Closing existing TCP client connection";
    setup.clientName = "TCP client";
    setup.tuning = kClientSocketTuning;
    setup.writeStallTimeout = serverTuning.writeStallTimeout;
    setup.stopGrace = kStopGrace;
    setup.maxMessageLength = kMaxClientMessageLength;
    setup.setupFailed = [this](const boost::system::error_code& ec, std::uint64_t) {
        // Typically a client that reset the connection right after connecting.
        if (allowed(setupLog)) {
            SPDLOG_WARN("Failed to set up TCP client connection: {}", ec.message());
        }
    };
    setup.events = [this](std::uint64_t clientId, std::uint64_t source) { return makeEvents(clientId, source); };
    setup.clientGone = [this] {
        if (auto gone = copyCallback(goneCallback)) gone();
    };
    setup.accepted = [this](AcceptOutcome outcome) { accepted(outcome); };
    return setup;
}

void TcpTransportServer::Impl::accepted(AcceptOutcome outcome) {
    if (outcome == AcceptOutcome::Installed) {
        for (std::size_t id = 0; id < carried.size(); ++id) {
            if (carried[id].load(std::memory_order_relaxed)) postKeyframeRequest(static_cast<std::uint8_t>(id));
        }
    }
    // Counted once the connection is current (or refused), so a watcher that sees the count
    // change knows where frames go now.
    ++connectionsAccepted;
}

ConnectionEvents TcpTransportServer::Impl::makeEvents(std::uint64_t clientId, std::uint64_t source) {
    ConnectionEvents events;
    events.message = [this, clientId](std::span<const std::uint8_t> body) { dispatch(clientId, body); };
    events.messageTooLarge = [this, source](std::uint32_t length) {
        if (std::size_t held = 0; connectionLog.allow(source, held)) {
            SPDLOG_ERROR("TCP message too large: {} bytes{}", length, heldNote(held));
        }
    };
    events.lengthReadFailed = [this, source](const boost::system::error_code& ec) {
        if (std::size_t held = 0; connectionLog.allow(source, held)) {
            SPDLOG_INFO("TCP client disconnected: {}{}", ec.message(), heldNote(held));
        }
    };
    events.bodyReadFailed = [this, source](const boost::system::error_code& ec) {
        if (std::size_t held = 0; connectionLog.allow(source, held)) {
            SPDLOG_INFO("TCP read error: {}{}", ec.message(), heldNote(held));
        }
    };
    events.writeFailed = [this, source](const boost::system::error_code& ec) {
        if (std::size_t held = 0; connectionLog.allow(source, held)) {
            SPDLOG_ERROR("TCP send failed: {}{}", ec.message(), heldNote(held));
        }
    };
    events.writeStalled = [this, source](std::chrono::milliseconds idle) {
        if (std::size_t held = 0; connectionLog.allow(source, held)) {
            SPDLOG_WARN("TCP client took no video data for {} ms, closing its connection{}", idle.count(),
                        heldNote(held));
        }
    };
    return events;
}

void TcpTransportServer::Impl::dispatch(std::uint64_t clientId, std::span<const std::uint8_t> body) {
    std::visit(Overloaded{
                   [](std::monostate) {},
                   [this, clientId](const ClientInput& input) {
                       // A record read from a client that was replaced meanwhile would act after
                       // its gone release.
                       if (auto callback = copyCallback(inputCallback)) {
                           server.handOnIfCurrent(clientId, [&] { callback(input); });
                       }
                   },
                   [this](const ClientFeedback& feedback) {
                       if (auto callback = copyCallback(feedbackCallback)) {
                           callback(feedback);
                       }
                   },
                   [this](const KeyframeRequest& request) {
                       if (auto callback = copyCallback(keyframeCallback)) {
                           callback(request.streamId);
                       }
                   },
               },
               decodeClientMessage(body));
}

FrameSendResult TcpTransportServer::Impl::sendVideoFrame(std::uint8_t streamId, const std::uint8_t* data,
                                                         std::size_t size, bool isKeyframe) {
    if (!carried[streamId].load(std::memory_order_relaxed)) {
        carried[streamId].store(true, std::memory_order_relaxed);
    }
    const std::shared_ptr<Client> target = server.current();
    if (!target) {
        return FrameSendResult::NoClient;
    }
    TcpConnection& connection = *target->connection;

    // The copy happens before the queue lock is taken, so the I/O thread never waits for it.
    PacketBuffer packet = connection.takeBuffer(kVideoPacketPrefixSize + size);
    if (size > 0) {
        std::memcpy(packet.data.get() + kVideoPacketPrefixSize, data, size);
    }
    FrameDecision decision;
    QueueLoad seen;
    bool decided = false;
    const bool queued = connection.enqueue(packet, [&](const QueueLoad& load, PacketBuffer& buffer) {
        decided = true;
        seen = load;
        decision = target->policy.decide(streamId, isKeyframe, buffer.size, load, Clock::now());
        if (decision.verdict != FrameVerdict::Send) {
            return false;
        }
        const auto header = makeVideoPacketHeader(streamId, sequence.fetch_add(1, std::memory_order_relaxed),
                                                  getTimestamp90kHz(), isKeyframe, size);
        writeVideoPacketPrefix(buffer.data.get(), header, size);
        notePeak(load.bytes + buffer.size);
        return true;
    });
    if (queued) {
        ++framesQueued;
        return FrameSendResult::Queued;
    }
    connection.recycle(std::move(packet));
    if (!decided) {
        return FrameSendResult::NoClient;  // the connection closed meanwhile
    }
    ++framesDropped;
    reportDrop(streamId, decision, seen);
    return FrameSendResult::Dropped;
}

void TcpTransportServer::Impl::reportDrop(std::uint8_t streamId, const FrameDecision& decision, const QueueLoad& load) {
    switch (decision.verdict) {
    case FrameVerdict::DropStalled:
        if (allowed(stallLog)) {
            SPDLOG_WARN("TCP queue stalled ({}ms delay, {} frames) - requesting keyframe",
                        decision.stalledFor.count(), load.frames);
        }
        break;
    case FrameVerdict::DropQueueFull:
        if (allowed(fullLog)) {
            SPDLOG_WARN("TCP queue full ({} frames), dropping P-frame", load.frames);
        }
        break;
    case FrameVerdict::DropOverLimit:
        if (allowed(limitLog)) {
            SPDLOG_WARN("TCP queue at its limit ({} frames, {} bytes), dropping frame", load.frames, load.bytes);
        }
        break;
    case FrameVerdict::DropAwaitingKeyframe:
        if (allowed(awaitingLog)) {
            SPDLOG_INFO("Dropping P-frames of stream {} until its next keyframe", streamId);
        }
        break;
    case FrameVerdict::Send:
        break;
    }
    if (decision.requestKeyframe) {
        requestKeyframe(streamId);
    }
}

void TcpTransportServer::Impl::requestKeyframe(std::uint8_t streamId) {
    ++keyframeRequests;
    postKeyframeRequest(streamId);
}

void TcpTransportServer::Impl::postKeyframeRequest(std::uint8_t streamId) {
    // Delivered from the I/O context like every other callback, never on the capture thread that is
    // inside its encoder's output.
    asio::post(io, [this, streamId] {
        if (auto callback = copyCallback(keyframeCallback)) {
            callback(streamId);
        }
    });
}

void TcpTransportServer::Impl::notePeak(std::size_t bytes) {
    std::size_t peak = peakQueuedBytes.load(std::memory_order_relaxed);
    while (bytes > peak && !peakQueuedBytes.compare_exchange_weak(peak, bytes, std::memory_order_relaxed)) {
    }
}

TcpTransportServer::TcpTransportServer(std::uint16_t port, TransportTuning tuning)
    : impl(std::make_unique<Impl>(port, tuning)) {}

TcpTransportServer::~TcpTransportServer() {
    stop();
}

bool TcpTransportServer::start() {
    return impl->server.start();
}

void TcpTransportServer::stop() {
    impl->server.stop();
}

void TcpTransportServer::poll() {
    try {
        impl->io.poll();
    } catch (const std::exception& e) {
        SPDLOG_ERROR("TCP transport IO error: {}", e.what());
    }
}

FrameSendResult TcpTransportServer::sendVideoFrame(std::uint8_t streamId, const std::uint8_t* data, std::size_t size,
                                                   bool isKeyframe) {
    return impl->sendVideoFrame(streamId, data, size, isKeyframe);
}

void TcpTransportServer::setClientFeedbackCallback(ClientFeedbackCallback callback) {
    std::lock_guard lock(impl->callbacksMutex);
    impl->feedbackCallback = std::move(callback);
}

void TcpTransportServer::setClientInputCallback(ClientInputCallback callback) {
    std::lock_guard lock(impl->callbacksMutex);
    impl->inputCallback = std::move(callback);
}

void TcpTransportServer::setKeyframeRequestCallback(KeyframeRequestCallback callback) {
    std::lock_guard lock(impl->callbacksMutex);
    impl->keyframeCallback = std::move(callback);
}

void TcpTransportServer::setClientGoneCallback(ClientGoneCallback callback) {
    std::lock_guard lock(impl->callbacksMutex);
    impl->goneCallback = std::move(callback);
}

bool TcpTransportServer::isConnected() const {
    return impl->server.isConnected();
}

std::uint16_t TcpTransportServer::port() const {
    return impl->server.port;
}

TransportStats TcpTransportServer::getStats() const {
    TransportStats stats;
    stats.connectionsAccepted = impl->connectionsAccepted;
    stats.framesQueued = impl->framesQueued;
    stats.framesDropped = impl->framesDropped;
    stats.keyframeRequests = impl->keyframeRequests;
    stats.peakQueuedBytes = impl->peakQueuedBytes;
    if (const auto current = impl->server.current()) {
        const QueueLoad load = current->connection->load();
        stats.queuedFrames = load.frames;
        stats.queuedBytes = load.bytes;
    }
    return stats;
}

std::uint32_t TcpTransportServer::getTimestamp90kHz() {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
    const auto micros = static_cast<std::uint64_t>(ns) / 1000;
    return static_cast<std::uint32_t>(micros * 9 / 100);
}

}  // namespace quillane::host
