#include "network/TcpAudioServer.h"

#include "network/AudioPacket.h"
#include "network/LogText.h"
#include "network/SingleClientServer.h"

#include <spdlog/spdlog.h>

#include <atomic>
#include <cstring>
#include <utility>

namespace quillane::host {

namespace {

constexpr SocketTuning kClientSocketTuning{
    .noDelay = true,       // each small packet leaves at once
    .resetOnClose = true,  // a replaced client is reset rather than flushed
    .sendBufferBytes = 64 * 1024,
    .receiveBufferBytes = 64 * 1024,
};

constexpr std::chrono::milliseconds kStopGrace{500};

}  // namespace

struct TcpAudioServer::Impl {
    struct Client {
        std::uint64_t id = 0;
        std::shared_ptr<TcpConnection> connection;
    };

    Impl(std::uint16_t port, AudioServerTuning tuning) : server(port, makeSetup(tuning)), tuning(tuning) {}

    SingleClientSetup makeSetup(const AudioServerTuning& serverTuning);
    void sendAudioData(std::uint8_t streamId, const std::uint8_t* data, std::size_t size);
    void noteDrops(std::size_t dropped);

    SingleClientServer<Client> server;
    const AudioServerTuning tuning;

    // Wraps from 65535 to 0 and goes on across clients; taken under the queue lock of the client
    // that gets the packet, so dropped packets use no number and the wire order is the number order.
    std::atomic<std::uint16_t> sequence{0};

    std::atomic<std::uint64_t> connectionsAccepted{0};
    std::atomic<std::uint64_t> packetsQueued{0};
    std::atomic<std::uint64_t> packetsDropped{0};
    std::atomic<std::uint64_t> droppedSinceReport{0};
    LogRateLimiter dropLog{std::chrono::seconds(5)};
    // How each connection failed, by the client's address across its connections.
    PeerLineLimiter connectionLog{std::chrono::seconds(10), 16};
};

SingleClientSetup TcpAudioServer::Impl::makeSetup(const AudioServerTuning& serverTuning) {
    SingleClientSetup setup;
    setup.name = "TCP audio";
    setup.startFailed = "Failed to start TCP audio server";
    setup.listening = "TCP audio server started";
    setup.stopped = "TCP audio server stopped";
    setup.closingPrevious = "TCP audio: Closing previous client connection";
    setup.clientName = "TCP audio client";
    setup.tuning = kClientSocketTuning;
    setup.writeStallTimeout = serverTuning.writeStallTimeout;
    setup.stopGrace = kStopGrace;
    setup.setupFailed = [this](const boost::system::error_code& ec, std::uint64_t source) {
        // Typically a client that reset the connection right after connecting: the current one stays.
        if (std::size_t held = 0; connectionLog.allow(source, held)) {
            SPDLOG_ERROR("Failed to configure TCP audio socket: {}{}", ec.message(), heldNote(held));
        }
    };
    setup.events = [this](std::uint64_t, std::uint64_t source) {
        ConnectionEvents events;
        events.writeFailed = [this, source](const boost::system::error_code& error) {
            if (std::size_t held = 0; connectionLog.allow(source, held)) {
                SPDLOG_ERROR("TCP audio send failed: {}{}", error.message(), heldNote(held));
            }
        };
        events.writeStalled = [this, source](std::chrono::milliseconds idle) {
            if (std::size_t held = 0; connectionLog.allow(source, held)) {
                SPDLOG_WARN("TCP audio client took no data for {} ms, closing its connection{}", idle.count(),
                            heldNote(held));
            }
        };
        return events;
    };
    setup.accepted = [this](AcceptOutcome outcome) {
        if (outcome != AcceptOutcome::Refused) {
            ++connectionsAccepted;
        }
    };
    return setup;
}

void TcpAudioServer::Impl::sendAudioData(std::uint8_t streamId, const std::uint8_t* data, std::size_t size) {
    const auto target = server.current();
    if (!target) {
        return;
    }
    TcpConnection& connection = *target->connection;
    PacketBuffer packet = connection.takeBuffer(kAudioPacketPrefixSize + size);
    if (size > 0) {
        std::memcpy(packet.data.get() + kAudioPacketPrefixSize, data, size);
    }
    std::uint16_t number = 0;
    const auto dropped =
        connection.enqueueDroppingOldest(packet, tuning.maxQueuedPackets, [&](PacketBuffer& buffer) {
            number = sequence.fetch_add(1, std::memory_order_relaxed);
            writeAudioPacketPrefix(buffer.data.get(), streamId, number, audioTimestampMs(), size);
        });
    if (!dropped) {
        connection.recycle(std::move(packet));
        return;
    }
    ++packetsQueued;
    // The first packets, and those around each wrap of the counter, show what goes on the wire.
    const auto next = static_cast<std::uint16_t>(number + 1);
    if (next <= 3) {
        SPDLOG_INFO("TCP Audio packet #{}: length={} (headerSize={}, dataSize={}), type={}, streamId={}, "
                    "payloadLength={}",
                    static_cast<int>(next) - 1, size + kAudioPacketHeaderSize, kAudioPacketHeaderSize, size,
                    kAudioPacketType, streamId, static_cast<std::uint16_t>(size + 4));
    }
    if (*dropped > 0) {
        noteDrops(*dropped);
    }
}

void TcpAudioServer::Impl::noteDrops(std::size_t dropped) {
    packetsDropped += dropped;
    droppedSinceReport += dropped;
    std::size_t suppressed = 0;
    if (dropLog.allow(suppressed)) {
        SPDLOG_WARN("TCP audio client is not keeping up: dropped its {} oldest packets", droppedSinceReport.exchange(0));
    }
}

TcpAudioServer::TcpAudioServer(std::uint16_t port, AudioServerTuning tuning)
    : impl(std::make_unique<Impl>(port, tuning)) {}

TcpAudioServer::~TcpAudioServer() {
    stop();
}

bool TcpAudioServer::start() {
    return impl->server.start();
}

void TcpAudioServer::stop() {
    impl->server.stop();
}

void TcpAudioServer::sendAudioData(std::uint8_t streamId, const std::uint8_t* data, std::size_t size) {
    impl->sendAudioData(streamId, data, size);
}

bool TcpAudioServer::isConnected() const {
    return impl->server.isConnected();
}

std::uint16_t TcpAudioServer::port() const {
    return impl->server.port.load();
}

AudioServerStats TcpAudioServer::getStats() const {
    AudioServerStats stats;
    stats.connectionsAccepted = impl->connectionsAccepted;
    stats.packetsQueued = impl->packetsQueued;
    stats.packetsDropped = impl->packetsDropped;
    if (const auto current = impl->server.current()) {
        const QueueLoad load = current->connection->load();
        stats.queuedPackets = load.frames;
        stats.queuedBytes = load.bytes;
    }
    return stats;
}

}  // namespace quillane::host
