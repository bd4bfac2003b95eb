#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace quillane::host {

struct Ipv4Endpoint {
    std::uint32_t address = 0;  // host byte order
    std::uint16_t port = 0;
};

// Dotted decimal text of an IPv4 address in host byte order.
std::string formatIpv4(std::uint32_t address);

// The platform's IPv4 UDP socket, as the discovery responder uses it. Error
// results are the platform's error numbers (errno or WSAGetLastError).
class UdpSocket {
public:
    enum class WaitResult { Readable, TimedOut, Failed };

    struct ReceiveResult {
        enum class Status {
            Datagram,     // `size` bytes arrived (0 for an empty datagram or a shut-down socket)
            Oversized,    // the datagram did not fit the buffer and was discarded
            Interrupted,  // nothing to report: a signal, a port-unreachable notice, no data after all
            Failed,       // `error` says why
        };
        Status status = Status::Failed;
        std::size_t size = 0;
        int error = 0;
        Ipv4Endpoint from;
    };

    virtual ~UdpSocket() = default;

    virtual int open() = 0;
    virtual int setReuseAddress() = 0;
    virtual int setBroadcast() = 0;
    // Binds to 0.0.0.0 and `port` (0: any free port).
    virtual int bind(std::uint16_t port) = 0;
    virtual std::uint16_t localPort() const = 0;
    virtual WaitResult waitReadable(std::chrono::milliseconds timeout) = 0;
    virtual ReceiveResult receiveFrom(std::span<std::uint8_t> buffer) = 0;
    virtual int sendTo(std::span<const std::uint8_t> data, const Ipv4Endpoint& to) = 0;
    // Makes a thread that waits or receives on the socket return soon;
    // callable from another thread. The socket stays open until close().
    virtual void wake() = 0;
    virtual void close() = 0;
};

std::unique_ptr<UdpSocket> createUdpSocket();

}  // namespace quillane::host
