#pragma once

#include "network/LogText.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace quillane::host {

// How a listener paces its retries and what it says about its failures. A server that words its
// own lines sets the reports; an empty one gives the listener's "<name>: ..." line.
struct TcpListenerOptions {
    std::chrono::milliseconds retryDelay{100};
    // Accepts retried at once after errors of single incoming connections, before a pause.
    int maxQuickRetries = 64;
    std::function<void(int error)> listeningSocketInherited;
    std::function<void(int error)> acceptedSocketInherited;
    // Called at most about once a second; suppressed counts the failures since the last call.
    std::function<void(const boost::system::error_code& ec, std::size_t suppressed)> acceptFailed;
};

// The accepting half of a TCP server: listens on the IPv4 any address and hands each accepted
// socket, already bound to a strand of its own and kept from child processes, to the owner. An
// accept error is logged (rate-limited) and accepting resumes after a short pause, so a descriptor
// shortage neither spins nor ends the loop; a connection that was reset while it waited costs no
// pause. A closed listener may be opened again once the I/O context has run its close.
class TcpListener {
public:
    using AcceptHandler = std::function<void(boost::asio::ip::tcp::socket)>;

    TcpListener(boost::asio::io_context& io, std::string name, TcpListenerOptions options = {});
    ~TcpListener();

    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;

    // Opens, binds and listens; throws boost::system::system_error on failure.
    void open(std::uint16_t port);
    // The bound port (useful when 0 asked for an ephemeral one).
    std::uint16_t port() const { return boundPort; }
    // Starts the accept loop; onAccept runs on the listener's strand.
    void start(AcceptHandler onAccept);
    // Safe from any thread; the pending accept ends with an error that ends the loop. afterClose
    // runs on the listener's strand once the socket is closed, so no accept handler runs with it.
    void close(std::function<void()> afterClose = {});

private:
    void acceptNext();
    void onAccepted(const boost::system::error_code& ec, boost::asio::ip::tcp::socket socket);
    void reportAcceptError(const boost::system::error_code& ec);

    boost::asio::io_context& io;
    const std::string name;
    const TcpListenerOptions options;
    boost::asio::strand<boost::asio::io_context::executor_type> strand;
    boost::asio::ip::tcp::acceptor acceptor;
    boost::asio::steady_timer retryTimer;
    AcceptHandler onAccept;
    LogRateLimiter errorLog{std::chrono::seconds(1)};
    int quickRetries = 0;  // strand only
    std::atomic<bool> accepting{false};
    std::uint16_t boundPort = 0;
};

}  // namespace quillane::host
