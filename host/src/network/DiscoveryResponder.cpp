#include "network/DiscoveryResponder.h"

#include <array>
#include <chrono>
#include <cstring>
#include <utility>

#include <spdlog/spdlog.h>

#include "common/Utf8.h"
#include "network/LogText.h"
#include "platform/CrashHandler.h"

namespace quillane::host {

namespace {

// The host reads at most this much of a datagram; a longer one is not answered.
constexpr std::size_t kMaxRequestBytes = 1023;
constexpr std::size_t kClientNameOffset = 18;
constexpr auto kWaitInterval = std::chrono::seconds(1);
// Pause after a failed wait, so that a wait that keeps failing cannot spin.
constexpr auto kWaitFailurePause = std::chrono::milliseconds(100);

bool isRequest(const std::uint8_t* data, std::size_t size) {
    return size >= kDiscoveryRequestPrefix.size() &&
           std::memcmp(data, kDiscoveryRequestPrefix.data(), kDiscoveryRequestPrefix.size()) == 0;
}

std::string clientName(const std::uint8_t* data, std::size_t size) {
    if (size <= kClientNameOffset) {
        return "Unknown";
    }
    const auto* begin = reinterpret_cast<const char*>(data) + kClientNameOffset;
    const std::string_view rest(begin, size - kClientNameOffset);
    return logSafeText(rest.substr(0, rest.find('\0')));
}

}  // namespace

std::string discoveryName(std::string_view computerName) {
    const std::string_view name = utf8Prefix(computerName.substr(0, computerName.find('\0')), kMaxDiscoveryNameBytes);
    return name.empty() ? kDefaultDiscoveryName : std::string(name);
}

std::vector<std::uint8_t> buildDiscoveryReply(std::string_view name, std::uint16_t port) {
    std::string reply(kDiscoveryReplyPrefix);
    reply += '\0';
    reply += name;
    reply += '\0';
    reply += std::to_string(port);
    reply += '\0';
    return {reply.begin(), reply.end()};
}

DiscoveryResponder::DiscoveryResponder(std::string name, std::uint16_t port, std::uint16_t listenPort,
                                       SocketFactory socketFactory, DiscoveryLimits limits)
    : name(discoveryName(name)),
      port(port),
      listenPort(listenPort),
      socketFactory(std::move(socketFactory)),
      limits(limits) {}

// The rate limits of one run of the listener; each run starts afresh.
struct DiscoveryResponder::Throttle {
    explicit Throttle(const DiscoveryLimits& limits)
        : replies(limits.repliesPerSecond, limits.replyBurst),
          allReplies(limits.totalRepliesPerSecond, limits.totalRepliesPerSecond),
          logLines(limits.logLinesPerSecond, limits.logLineBurst),
          allLogLines(limits.totalLogLinesPerSecond, limits.totalLogLineBurst) {}

    SourceRateLimiter replies;
    SourceRateLimiter allReplies;
    SourceRateLimiter logLines;
    SourceRateLimiter allLogLines;
};

DiscoveryResponder::~DiscoveryResponder() {
    stop();
}

bool DiscoveryResponder::start() {
    if (running) {
        SPDLOG_WARN("Discovery responder already running");
        return true;
    }
    auto socket = socketFactory();
    if (const int error = socket->open(); error != 0) {
        SPDLOG_ERROR("Failed to create discovery socket: {}", error);
        return false;
    }
    if (const int error = socket->setReuseAddress(); error != 0) {
        SPDLOG_WARN("Failed to set SO_REUSEADDR: {}", error);
    }
    if (const int error = socket->setBroadcast(); error != 0) {
        SPDLOG_WARN("Failed to set SO_BROADCAST: {}", error);
    }
    if (const int error = socket->bind(listenPort); error != 0) {
        SPDLOG_ERROR("Failed to bind discovery socket to port {}: {}", listenPort, error);
        socket->close();
        return false;
    }
    const std::uint16_t actualPort = socket->localPort();
    udpSocket = std::move(socket);
    running = true;
    try {
        responderThread = std::thread(&DiscoveryResponder::listenerThread, this);
    } catch (const std::exception& e) {
        SPDLOG_ERROR("Failed to start discovery thread: {}", e.what());
        running = false;
        udpSocket->close();
        udpSocket.reset();
        return false;
    }
    boundPort = actualPort;
    SPDLOG_INFO("Discovery responder started on UDP port {}", actualPort);
    return true;
}

void DiscoveryResponder::stop() {
    if (!running) {
        return;
    }
    // Cleared first, so the listener takes the wake-up as the end and logs nothing.
    running = false;
    udpSocket->wake();
    if (responderThread.joinable() && responderThread.get_id() != std::this_thread::get_id()) {
        responderThread.join();
    }
    // Closed only once no thread uses it any more.
    udpSocket->close();
    udpSocket.reset();
    boundPort = 0;
    SPDLOG_INFO("Discovery responder stopped");
}

void DiscoveryResponder::listenerThread() {
    prepareThreadForCrashHandling();
    LogRateLimiter receiveErrorLog(std::chrono::seconds(1));
    Throttle throttle(limits);
    std::array<std::uint8_t, kMaxRequestBytes + 1> buffer{};
    while (running) {
        const auto wait = udpSocket->waitReadable(kWaitInterval);
        if (wait == UdpSocket::WaitResult::Failed) {
            std::this_thread::sleep_for(kWaitFailurePause);
            continue;
        }
        if (wait != UdpSocket::WaitResult::Readable) {
            continue;
        }
        const auto received = udpSocket->receiveFrom(std::span(buffer.data(), kMaxRequestBytes));
        if (received.status == UdpSocket::ReceiveResult::Status::Failed) {
            std::size_t suppressed = 0;
            if (running && receiveErrorLog.allow(suppressed)) {
                SPDLOG_WARN("Discovery recvfrom error: {}", received.error);
            }
            continue;
        }
        // Empty and oversized datagrams, and the wake-up at stop, are passed over quietly.
        if (received.status != UdpSocket::ReceiveResult::Status::Datagram ||
            !isRequest(buffer.data(), received.size)) {
            continue;
        }
        answer(throttle, received.from, buffer.data(), received.size);
    }
}

void DiscoveryResponder::answer(Throttle& throttle, const Ipv4Endpoint& from, const std::uint8_t* data,
                                std::size_t size) {
    const auto now = SourceRateLimiter::Clock::now();
    std::size_t held = 0;
    if (throttle.logLines.allow(from.address, now, held) && throttle.allLogLines.allow(0, now)) {
        if (held > 0) {
            SPDLOG_INFO("Discovery request from {} ({}) ({} more not logged)", formatIpv4(from.address),
                        clientName(data, size), held);
        } else {
            SPDLOG_INFO("Discovery request from {} ({})", formatIpv4(from.address), clientName(data, size));
        }
    }
    if (throttle.replies.allow(from.address, now) && throttle.allReplies.allow(0, now)) sendResponse(from);
}

void DiscoveryResponder::sendResponse(const Ipv4Endpoint& to) {
    const auto reply = buildDiscoveryReply(name, port);
    if (const int error = udpSocket->sendTo(reply, to); error != 0) {
        SPDLOG_ERROR("Failed to send discovery response: {}", error);
    }
}

}  // namespace quillane::host
