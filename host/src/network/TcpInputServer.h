#pragma once

#include "network/TransportTypes.h"  // ClientGoneCallback

#include <cstdint>
#include <functional>
#include <memory>

namespace quillane::host {

// One input event as the client sends it on the input connection: 12 bytes, packed, little-endian.
#pragma pack(push, 1)
struct InputEvent {
    std::uint8_t streamId = 0;
    std::uint8_t deviceType = 0;  // InputDeviceType
    std::uint8_t action = 0;      // MouseAction or KeyAction
    std::uint16_t x = 0;          // 0..65535 across the window; for a Char, one UTF-16 code unit
    std::uint16_t y = 0;
    std::uint8_t code = 0;        // MouseButton or virtual-key code
    std::uint8_t modifiers = 0;   // ModifierFlags
    std::int16_t wheelDelta = 0;
    std::uint8_t reserved = 0;
};
#pragma pack(pop)
static_assert(sizeof(InputEvent) == 12);

using InputEventCallback = std::function<void(const InputEvent&)>;
// True while the records handed on have room for more. Else false: the server stops reading its
// client, whose socket then pushes back, until resume is called (from any thread, once).
using InputRoomCallback = std::function<bool(const std::function<void()>& resume)>;

// The input connection: a TCP server that keeps one client and reads length-prefixed 12-byte
// input records from it (bodies of at most 1,024 bytes; a longer one closes the connection, and
// the client reconnects). Callbacks run on the server's I/O thread and must not wait: the input
// callback only while its client is the current one, and serialised with the gone callback, so
// nothing a client sent is handed on after it was reported gone; the room callback right after it.
class TcpInputServer {
public:
    static constexpr std::uint32_t kMaxMessageLength = 1024;

    explicit TcpInputServer(std::uint16_t port);
    ~TcpInputServer();
    TcpInputServer(const TcpInputServer&) = delete;
    TcpInputServer& operator=(const TcpInputServer&) = delete;

    bool start();
    void stop();

    // Install before start, or from the main thread while no event is expected.
    void setInputEventCallback(InputEventCallback callback);
    void setClientGoneCallback(ClientGoneCallback callback);
    void setInputRoomCallback(InputRoomCallback callback);

    bool isConnected() const;
    // The listening port; the one the system chose when constructed with 0 and started.
    std::uint16_t port() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace quillane::host
