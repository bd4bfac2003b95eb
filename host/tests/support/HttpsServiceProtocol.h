#pragma once

// The control connection of the native HTTPS test service: messages of a
// 4-byte little-endian length and that many bytes, each request answered in
// order. A connection either asks for a certificate ("generate": certificate
// PEM, key PEM) or runs one server for its lifetime ("serve", certificate PEM,
// key PEM: its port; then "reply" kind raw, "requests", "connections").

#include <boost/asio/read.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>

#include <array>
#include <cstdint>
#include <string>

namespace quillane::host::test {

// Blocking; throws boost::system::system_error when the peer is gone.
class ControlChannel {
public:
    explicit ControlChannel(boost::asio::ip::tcp::socket& socket) : socket(socket) {}

    void send(const std::string& message) {
        const auto size = static_cast<std::uint32_t>(message.size());
        const std::array<std::uint8_t, 4> length{static_cast<std::uint8_t>(size), static_cast<std::uint8_t>(size >> 8),
                                                 static_cast<std::uint8_t>(size >> 16),
                                                 static_cast<std::uint8_t>(size >> 24)};
        boost::asio::write(socket, std::array{boost::asio::buffer(length), boost::asio::buffer(message)});
    }

    std::string receive() {
        std::array<std::uint8_t, 4> length{};
        boost::asio::read(socket, boost::asio::buffer(length));
        const std::uint32_t size = length[0] | length[1] << 8 | length[2] << 16 | std::uint32_t{length[3]} << 24;
        std::string message(size, '\0');
        boost::asio::read(socket, boost::asio::buffer(message));
        return message;
    }

private:
    boost::asio::ip::tcp::socket& socket;
};

}  // namespace quillane::host::test
