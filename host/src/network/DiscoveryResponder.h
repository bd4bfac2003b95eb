#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "network/LogText.h"
#include "network/UdpSocket.h"

namespace quillane::host {

inline constexpr std::uint16_t kDiscoveryPort = 9877;
inline constexpr std::string_view kDiscoveryRequestPrefix = "QUILLANE_DISCOVER";
inline constexpr std::string_view kDiscoveryReplyPrefix = "QUILLANE_HOST";
// Longest host name a reply carries, in bytes.
inline constexpr std::size_t kMaxDiscoveryNameBytes = 255;
// What replies carry when the computer's name cannot be read.
inline constexpr const char* kDefaultDiscoveryName = "Quillane Host";

// The name as replies carry it: up to the first zero byte, at most
// kMaxDiscoveryNameBytes, never ending inside a UTF-8 character; the
// default name when that leaves nothing.
std::string discoveryName(std::string_view computerName);

// The reply datagram: prefix, zero, name, zero, port in decimal, zero.
std::vector<std::uint8_t> buildDiscoveryReply(std::string_view name, std::uint16_t port);

// Bounds per source address, so that a flood (spoofed or not) can neither
// reflect unbounded traffic nor rotate the log away; the totals bound a flood
// from many addresses.
struct DiscoveryLimits {
    double repliesPerSecond = 10;
    double replyBurst = 20;
    double totalRepliesPerSecond = 200;
    double logLinesPerSecond = 1;
    double logLineBurst = 8;
    double totalLogLinesPerSecond = 4;
    double totalLogLineBurst = 16;
};

// Answers UDP discovery datagrams with the host's name and signalling port,
// on a thread of its own.
class DiscoveryResponder {
public:
    using SocketFactory = std::function<std::unique_ptr<UdpSocket>()>;

    DiscoveryResponder(std::string name, std::uint16_t port, std::uint16_t listenPort = kDiscoveryPort,
                       SocketFactory socketFactory = createUdpSocket, DiscoveryLimits limits = {});
    ~DiscoveryResponder();

    DiscoveryResponder(const DiscoveryResponder&) = delete;
    DiscoveryResponder& operator=(const DiscoveryResponder&) = delete;

    bool start();
    void stop();

    bool isRunning() const { return running; }
    // The UDP port the responder is bound to while running; 0 otherwise.
    std::uint16_t getListenPort() const { return boundPort; }

private:
    void listenerThread();
    void sendResponse(const Ipv4Endpoint& to);
    struct Throttle;
    void answer(Throttle& throttle, const Ipv4Endpoint& from, const std::uint8_t* data, std::size_t size);

    const std::string name;
    const std::uint16_t port;
    const std::uint16_t listenPort;
    SocketFactory socketFactory;
    std::unique_ptr<UdpSocket> udpSocket;
    std::thread responderThread;
    std::atomic<bool> running{false};
    std::atomic<std::uint16_t> boundPort{0};
    const DiscoveryLimits limits;
};

}  // namespace quillane::host
