#include "network/UdpSocket.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <spdlog/spdlog.h>

#include "network/SocketAddress.h"
#include "platform/Inheritance.h"

namespace quillane::host {

namespace {

// Waits on two events, the socket's readability and a stop event, so that
// stop never has to close a socket another thread is waiting on.
class WinsockUdpSocket final : public UdpSocket {
public:
    WinsockUdpSocket() {
        WSADATA data;
        started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }

    ~WinsockUdpSocket() override {
        close();
        if (started) {
            WSACleanup();
        }
    }

    int open() override {
        socketHandle = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        if (socketHandle == INVALID_SOCKET) {
            return WSAGetLastError();
        }
        if (const int error = keepSocketFromChildren(static_cast<std::uintptr_t>(socketHandle))) {
            SPDLOG_WARN("The discovery socket stays open in programs the host starts (error {})", error);
        }
        readEvent = WSACreateEvent();
        stopEvent = WSACreateEvent();
        if (readEvent == WSA_INVALID_EVENT || stopEvent == WSA_INVALID_EVENT) {
            const int error = WSAGetLastError();
            close();
            return error;
        }
        if (WSAEventSelect(socketHandle, readEvent, FD_READ) != 0) {
            const int error = WSAGetLastError();
            close();
            return error;
        }
        return 0;
    }

    int setReuseAddress() override { return setFlag(SO_REUSEADDR); }
    int setBroadcast() override { return setFlag(SO_BROADCAST); }

    int bind(std::uint16_t port) override {
        const auto address = toSocketAddress<sockaddr_in>({INADDR_ANY, port}, AF_INET);
        return ::bind(socketHandle, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0
                   ? WSAGetLastError()
                   : 0;
    }

    std::uint16_t localPort() const override {
        sockaddr_in address{};
        int length = sizeof address;
        if (::getsockname(socketHandle, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            return 0;
        }
        return endpointOf(address).port;
    }

    WaitResult waitReadable(std::chrono::milliseconds timeout) override {
        const WSAEVENT events[2] = {readEvent, stopEvent};
        const DWORD result =
            WSAWaitForMultipleEvents(2, events, FALSE, static_cast<DWORD>(timeout.count()), FALSE);
        if (result == WSA_WAIT_TIMEOUT) {
            return WaitResult::TimedOut;
        }
        if (result == WSA_WAIT_EVENT_0) {
            WSAResetEvent(readEvent);
            return WaitResult::Readable;
        }
        if (result == WSA_WAIT_EVENT_0 + 1) {
            return WaitResult::TimedOut;  // woken for stop; the caller checks its flag
        }
        return WaitResult::Failed;
    }

    ReceiveResult receiveFrom(std::span<std::uint8_t> buffer) override {
        ReceiveResult result;
        sockaddr_in from{};
        int length = sizeof from;
        const int received = ::recvfrom(socketHandle, reinterpret_cast<char*>(buffer.data()),
                                        static_cast<int>(buffer.size()), 0, reinterpret_cast<sockaddr*>(&from),
                                        &length);
        if (received == SOCKET_ERROR) {
            result.error = WSAGetLastError();
            if (result.error == WSAEMSGSIZE) {
                result.status = ReceiveResult::Status::Oversized;
            } else if (result.error == WSAEINTR || result.error == WSAECONNRESET ||
                       result.error == WSAEWOULDBLOCK) {
                result.status = ReceiveResult::Status::Interrupted;
            } else {
                result.status = ReceiveResult::Status::Failed;
            }
            return result;
        }
        return receivedDatagram(static_cast<std::size_t>(received), from);
    }

    int sendTo(std::span<const std::uint8_t> data, const Ipv4Endpoint& to) override {
        const auto address = toSocketAddress<sockaddr_in>(to, AF_INET);
        const int sent = ::sendto(socketHandle, reinterpret_cast<const char*>(data.data()),
                                  static_cast<int>(data.size()), 0, reinterpret_cast<const sockaddr*>(&address),
                                  sizeof address);
        return sent == SOCKET_ERROR ? WSAGetLastError() : 0;
    }

    void wake() override {
        if (stopEvent != WSA_INVALID_EVENT) {
            WSASetEvent(stopEvent);
        }
    }

    void close() override {
        if (socketHandle != INVALID_SOCKET) {
            closesocket(socketHandle);
            socketHandle = INVALID_SOCKET;
        }
        if (readEvent != WSA_INVALID_EVENT) {
            WSACloseEvent(readEvent);
            readEvent = WSA_INVALID_EVENT;
        }
        if (stopEvent != WSA_INVALID_EVENT) {
            WSACloseEvent(stopEvent);
            stopEvent = WSA_INVALID_EVENT;
        }
    }

private:
    int setFlag(int option) {
        const BOOL on = TRUE;
        return ::setsockopt(socketHandle, SOL_SOCKET, option, reinterpret_cast<const char*>(&on), sizeof on) != 0
                   ? WSAGetLastError()
                   : 0;
    }

    bool started = false;
    SOCKET socketHandle = INVALID_SOCKET;
    WSAEVENT readEvent = WSA_INVALID_EVENT;
    WSAEVENT stopEvent = WSA_INVALID_EVENT;
};

}  // namespace

std::unique_ptr<UdpSocket> createUdpSocket() {
    return std::make_unique<WinsockUdpSocket>();
}

}  // namespace quillane::host
