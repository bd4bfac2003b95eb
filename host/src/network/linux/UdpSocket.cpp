#include "network/UdpSocket.h"

#include "network/SocketAddress.h"

#include <cerrno>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>


namespace quillane::host {

namespace {

class PosixUdpSocket final : public UdpSocket {
public:
    ~PosixUdpSocket() override { close(); }

    int open() override {
        fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
        return fd < 0 ? errno : 0;
    }

    int setReuseAddress() override { return setFlag(SO_REUSEADDR); }
    int setBroadcast() override { return setFlag(SO_BROADCAST); }

    int bind(std::uint16_t port) override {
        const auto address = toSocketAddress<sockaddr_in>({INADDR_ANY, port}, AF_INET);
        return ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ? errno : 0;
    }

    std::uint16_t localPort() const override {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            return 0;
        }
        return endpointOf(address).port;
    }

    // poll rather than select: select cannot watch descriptors above FD_SETSIZE.
    WaitResult waitReadable(std::chrono::milliseconds timeout) override {
        pollfd entry{fd, POLLIN, 0};
        const int result = ::poll(&entry, 1, static_cast<int>(timeout.count()));
        if (result < 0) {
            return errno == EINTR ? WaitResult::TimedOut : WaitResult::Failed;
        }
        return result == 0 ? WaitResult::TimedOut : WaitResult::Readable;
    }

    ReceiveResult receiveFrom(std::span<std::uint8_t> buffer) override {
        ReceiveResult result;
        sockaddr_in from{};
        socklen_t length = sizeof from;
        // MSG_TRUNC reports the datagram's real length, so an oversized one is
        // recognised instead of being read cut short.
        const ssize_t received = ::recvfrom(fd, buffer.data(), buffer.size(), MSG_TRUNC | MSG_DONTWAIT,
                                            reinterpret_cast<sockaddr*>(&from), &length);
        if (received < 0) {
            result.error = errno;
            const bool quiet = result.error == EINTR || result.error == ECONNREFUSED || result.error == ECONNRESET ||
                               result.error == EAGAIN ||
                               result.error == EWOULDBLOCK;
            result.status = quiet ? ReceiveResult::Status::Interrupted : ReceiveResult::Status::Failed;
            return result;
        }
        if (static_cast<std::size_t>(received) > buffer.size()) {
            result.status = ReceiveResult::Status::Oversized;
            return result;
        }
        return receivedDatagram(static_cast<std::size_t>(received), from);
    }

    int sendTo(std::span<const std::uint8_t> data, const Ipv4Endpoint& to) override {
        const auto address = toSocketAddress<sockaddr_in>(to, AF_INET);
        const ssize_t sent = ::sendto(fd, data.data(), data.size(), MSG_NOSIGNAL,
                                      reinterpret_cast<const sockaddr*>(&address), sizeof address);
        return sent < 0 ? errno : 0;
    }

    // Closing a descriptor does not wake a thread blocked on it; shutting it
    // down does (poll reports it readable and recvfrom returns 0).
    void wake() override {
        if (fd >= 0) {
            ::shutdown(fd, SHUT_RDWR);
        }
    }

    void close() override {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }

private:
    int setFlag(int option) {
        const int on = 1;
        return ::setsockopt(fd, SOL_SOCKET, option, &on, sizeof on) != 0 ? errno : 0;
    }

    int fd = -1;
};

}  // namespace

std::unique_ptr<UdpSocket> createUdpSocket() {
    return std::make_unique<PosixUdpSocket>();
}

}  // namespace quillane::host
