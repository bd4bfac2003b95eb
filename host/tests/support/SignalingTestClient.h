#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

// A small client of the host's network protocols for tests: UDP discovery,
// WebSocket signalling, and a raw TCP connection for hand-made frames. Every
// wait has a time-out; nothing blocks forever.
namespace quillane::host::test {

using namespace std::chrono_literals;

inline constexpr auto kDefaultTimeout = 5s;

// UDP socket on an ephemeral port of 127.0.0.1.
class UdpProbe {
public:
    UdpProbe();
    ~UdpProbe();
    UdpProbe(const UdpProbe&) = delete;
    UdpProbe& operator=(const UdpProbe&) = delete;

    bool send(std::uint16_t port, std::string_view datagram);
    // The next datagram that arrives within the time-out.
    std::optional<std::vector<std::uint8_t>> receive(std::chrono::milliseconds timeout = kDefaultTimeout);
    std::uint16_t localPort() const;

private:
    struct State;
    std::unique_ptr<State> state;
};

// Sends one discovery request to 127.0.0.1:port and returns the reply.
std::optional<std::vector<std::uint8_t>> discover(std::uint16_t port, std::string_view request = "QUILLANE_DISCOVER",
                                                  std::chrono::milliseconds timeout = kDefaultTimeout);

// WebSocket client of the signalling server.
class SignalingClient {
public:
    SignalingClient();
    // Connecting from another loopback address (127.0.0.2, ...), as a second machine would.
    explicit SignalingClient(const std::string& localAddress);
    ~SignalingClient();
    SignalingClient(const SignalingClient&) = delete;
    SignalingClient& operator=(const SignalingClient&) = delete;

    // TCP connect and WebSocket handshake; after it the client reads
    // continuously in the background of every wait.
    bool connect(std::uint16_t port, std::chrono::milliseconds timeout = kDefaultTimeout);

    bool sendText(std::string_view text, std::chrono::milliseconds timeout = kDefaultTimeout);
    bool sendJson(const nlohmann::json& message, std::chrono::milliseconds timeout = kDefaultTimeout);
    bool sendBinary(std::span<const std::uint8_t> data, std::chrono::milliseconds timeout = kDefaultTimeout);

    // The next whole message, as its bytes.
    std::optional<std::string> receive(std::chrono::milliseconds timeout = kDefaultTimeout);
    std::optional<nlohmann::json> receiveJson(std::chrono::milliseconds timeout = kDefaultTimeout);
    // The next message whose "type" is `type`; earlier messages of other
    // types are passed over.
    std::optional<nlohmann::json> waitForType(std::string_view type,
                                              std::chrono::milliseconds timeout = kDefaultTimeout);
    // Sends a request and waits for the answer of the given type.
    std::optional<nlohmann::json> request(const nlohmann::json& message, std::string_view replyType,
                                          std::chrono::milliseconds timeout = kDefaultTimeout);
    // True once nothing arrives for `quiet`.
    bool expectSilence(std::chrono::milliseconds quiet);

    // True when the server ends the connection within the time-out.
    bool waitForClose(std::chrono::milliseconds timeout = kDefaultTimeout);

    void close();  // a WebSocket close frame, then the connection goes
    void reset();  // TCP reset, without a close frame

private:
    struct State;
    std::unique_ptr<State> state;
};

// A plain TCP connection for hand-made WebSocket traffic.
class RawConnection {
public:
    RawConnection();
    explicit RawConnection(const std::string& localAddress);
    ~RawConnection();
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    // `receiveBufferBytes` > 0 shrinks the socket's receive buffer before
    // connecting, for clients that stop reading.
    bool connect(std::uint16_t port, std::chrono::milliseconds timeout = kDefaultTimeout,
                 int receiveBufferBytes = 0);
    // Sends an upgrade request and reads the response header; true on "101".
    bool upgrade(std::uint16_t port, std::chrono::milliseconds timeout = kDefaultTimeout);

    bool send(std::span<const std::uint8_t> data, std::chrono::milliseconds timeout = kDefaultTimeout);
    bool send(std::string_view data, std::chrono::milliseconds timeout = kDefaultTimeout);
    // Whatever arrives within the time-out (empty when nothing did).
    std::string readSome(std::chrono::milliseconds timeout = kDefaultTimeout);
    // True when the peer closes or resets the connection within the time-out.
    bool waitForClose(std::chrono::milliseconds timeout = kDefaultTimeout);

    void reset();

private:
    struct State;
    std::unique_ptr<State> state;
};

// The client's opening handshake request for ws://127.0.0.1:port/.
std::string webSocketUpgradeRequest(std::uint16_t port);

// One masked client frame carrying `payload`.
std::vector<std::uint8_t> clientFrame(std::uint8_t opcode, std::string_view payload, bool fin = true);
// Its header alone, declaring `length` payload bytes.
std::vector<std::uint8_t> clientFrameHeader(std::uint8_t opcode, std::uint64_t length, bool fin = true);

inline constexpr std::uint8_t kOpText = 0x1;
inline constexpr std::uint8_t kOpContinuation = 0x0;

// A fresh client is welcomed and answered with a pong.
::testing::AssertionResult signalingAlive(std::uint16_t port);

}  // namespace quillane::host::test
