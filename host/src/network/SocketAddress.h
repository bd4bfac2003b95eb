#pragma once

#include <cstdint>
#include <cstring>

#include "network/UdpSocket.h"

// IPv4 socket addresses for the platforms' socket calls. Both platforms' sockaddr_in have the
// same fields (port and address in network byte order); each platform half passes its own type
// and AF_INET, so this logic stays free of platform headers.
namespace quillane::host {

template <typename SockaddrIn>
SockaddrIn toSocketAddress(const Ipv4Endpoint& endpoint, int family) {
    SockaddrIn address{};
    address.sin_family = static_cast<decltype(address.sin_family)>(family);
    const std::uint8_t port[2] = {static_cast<std::uint8_t>(endpoint.port >> 8),
                                  static_cast<std::uint8_t>(endpoint.port)};
    const std::uint8_t host[4] = {static_cast<std::uint8_t>(endpoint.address >> 24),
                                  static_cast<std::uint8_t>(endpoint.address >> 16),
                                  static_cast<std::uint8_t>(endpoint.address >> 8),
                                  static_cast<std::uint8_t>(endpoint.address)};
    static_assert(sizeof address.sin_port == sizeof port && sizeof address.sin_addr == sizeof host);
    std::memcpy(&address.sin_port, port, sizeof port);
    std::memcpy(&address.sin_addr, host, sizeof host);
    return address;
}

template <typename SockaddrIn>
Ipv4Endpoint endpointOf(const SockaddrIn& address) {
    std::uint8_t port[2];
    std::uint8_t host[4];
    static_assert(sizeof address.sin_port == sizeof port && sizeof address.sin_addr == sizeof host);
    std::memcpy(port, &address.sin_port, sizeof port);
    std::memcpy(host, &address.sin_addr, sizeof host);
    Ipv4Endpoint endpoint;
    endpoint.address = (std::uint32_t{host[0]} << 24) | (std::uint32_t{host[1]} << 16) |
                       (std::uint32_t{host[2]} << 8) | std::uint32_t{host[3]};
    endpoint.port = static_cast<std::uint16_t>((port[0] << 8) | port[1]);
    return endpoint;
}

// A datagram of `size` bytes received from `from`.
template <typename SockaddrIn>
UdpSocket::ReceiveResult receivedDatagram(std::size_t size, const SockaddrIn& from) {
    UdpSocket::ReceiveResult result;
    result.status = UdpSocket::ReceiveResult::Status::Datagram;
    result.size = size;
    result.from = endpointOf(from);
    return result;
}

}  // namespace quillane::host
