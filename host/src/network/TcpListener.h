#pragma once

#include "network/LogText.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

namespace quillane::host {

// The accepting half of a single-client media server: listens on the IPv4 any address and hands
// each accepted socket, already bound to a strand of its own, to the owner. An accept error is
// logged (rate-limited) and accepting resumes after a short pause, so a descriptor shortage
// neither spins nor ends the loop; a connection that was reset while it waited costs no pause.
class TcpListener {
public:
    using AcceptHandler = std::function<void(boost::asio::ip::tcp::socket)>;

    static constexpr std::chrono::milliseconds kAcceptRetryDelay{100};
    // Accepts retried at once after errors of single incoming connections, before a pause.
    static constexpr int kMaxQuickRetries = 64;

    TcpListener(boost::asio::io_context& io, std::string name);
    ~TcpListener();

    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;

    // Opens, binds and listens; throws boost::system::system_error on failure.
    void open(std::uint16_t port);
    // The bound port (useful when 0 asked for an ephemeral one).
    std::uint16_t port() const { return port_; }
    // Starts the accept loop; onAccept runs on the listener's strand.
    void start(AcceptHandler onAccept);
    // Safe from any thread; the pending accept ends with an error that ends the loop.
    void close();

private:
    void acceptNext();
    void onAccepted(const boost::system::error_code& ec, boost::asio::ip::tcp::socket socket);

    boost::asio::io_context& io_;
    const std::string name_;
    boost::asio::strand<boost::asio::io_context::executor_type> strand_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer retryTimer_;
    AcceptHandler onAccept_;
    LogRateLimiter errorLog_{std::chrono::seconds(1)};
    int quickRetries_ = 0;  // strand only
    std::atomic<bool> open_{false};
    std::uint16_t port_ = 0;
};

}  // namespace quillane::host
