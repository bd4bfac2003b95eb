#include "network/TcpListener.h"

#include "network/AcceptErrors.h"
#include "network/SocketOptions.h"
#include "platform/Inheritance.h"

#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>
#include <spdlog/spdlog.h>

namespace quillane::host {

namespace asio = boost::asio;
using asio::ip::tcp;

TcpListener::TcpListener(asio::io_context& io, std::string name)
    : io_(io),
      name_(std::move(name)),
      strand_(asio::make_strand(io)),
      acceptor_(strand_),
      retryTimer_(strand_) {}

TcpListener::~TcpListener() {
    boost::system::error_code ignored;
    acceptor_.close(ignored);
}

void TcpListener::open(std::uint16_t port) {
    const tcp::endpoint endpoint(tcp::v4(), port);
    acceptor_.open(endpoint.protocol());
    const auto native = static_cast<std::uintptr_t>(acceptor_.native_handle());
    if (const int error = keepSocketFromChildren(native)) {
        SPDLOG_WARN("{}: the listening socket stays open in programs the host starts (error {})", name_, error);
    }
    if (const int error = setListenAddressOption(native)) {
        throw boost::system::system_error(boost::system::error_code(error, boost::system::system_category()));
    }
    acceptor_.bind(endpoint);
    acceptor_.listen(asio::socket_base::max_listen_connections);
    port_ = acceptor_.local_endpoint().port();
}

void TcpListener::start(AcceptHandler onAccept) {
    onAccept_ = std::move(onAccept);
    open_ = true;
    asio::post(strand_, [this] { acceptNext(); });
}

void TcpListener::close() {
    open_ = false;
    asio::post(strand_, [this] {
        boost::system::error_code ignored;
        acceptor_.close(ignored);
        retryTimer_.cancel();
    });
}

void TcpListener::acceptNext() {
    if (!open_) {
        return;
    }
    acceptor_.async_accept(asio::make_strand(io_),
                           [this](const boost::system::error_code& ec, tcp::socket socket) {
                               onAccepted(ec, std::move(socket));
                           });
}

void TcpListener::onAccepted(const boost::system::error_code& ec, tcp::socket socket) {
    if (!open_) {
        return;
    }
    if (ec) {
        std::size_t suppressed = 0;
        if (errorLog_.allow(suppressed)) {
            SPDLOG_WARN("{} accept failed: {} ({} more since the last report)", name_, ec.message(), suppressed);
        }
        // A connection that died before it was taken says nothing about the listener: go on at
        // once, but never spin on an error that keeps coming back.
        if (isIncomingConnectionError(ec) && ++quickRetries_ <= kMaxQuickRetries) {
            acceptNext();
            return;
        }
        quickRetries_ = 0;
        retryTimer_.expires_after(kAcceptRetryDelay);
        retryTimer_.async_wait([this](const boost::system::error_code&) { acceptNext(); });
        return;
    }
    quickRetries_ = 0;
    if (const int error = keepSocketFromChildren(static_cast<std::uintptr_t>(socket.native_handle()))) {
        SPDLOG_WARN("{}: a new connection stays open in programs the host starts (error {})", name_, error);
    }
    onAccept_(std::move(socket));
    acceptNext();
}

}  // namespace quillane::host
