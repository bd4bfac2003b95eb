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

TcpListener::TcpListener(asio::io_context& io, std::string name, TcpListenerOptions options)
    : io(io),
      name(std::move(name)),
      options(std::move(options)),
      strand(asio::make_strand(io)),
      acceptor(strand),
      retryTimer(strand) {}

TcpListener::~TcpListener() {
    boost::system::error_code ignored;
    acceptor.close(ignored);
}

void TcpListener::open(std::uint16_t port) {
    const tcp::endpoint endpoint(tcp::v4(), port);
    acceptor.open(endpoint.protocol());
    const auto native = static_cast<std::uintptr_t>(acceptor.native_handle());
    if (const int error = keepSocketFromChildren(native)) {
        if (options.listeningSocketInherited) {
            options.listeningSocketInherited(error);
        } else {
            SPDLOG_WARN("{}: the listening socket stays open in programs the host starts (error {})", name, error);
        }
    }
    if (const int error = setListenAddressOption(native)) {
        throw boost::system::system_error(boost::system::error_code(error, boost::system::system_category()));
    }
    acceptor.bind(endpoint);
    acceptor.listen(asio::socket_base::max_listen_connections);
    boundPort = acceptor.local_endpoint().port();
}

void TcpListener::start(AcceptHandler handler) {
    onAccept = std::move(handler);
    quickRetries = 0;
    accepting = true;
    asio::post(strand, [this] { acceptNext(); });
}

void TcpListener::close(std::function<void()> afterClose) {
    accepting = false;
    asio::post(strand, [this, afterClose = std::move(afterClose)] {
        boost::system::error_code ignored;
        acceptor.close(ignored);
        retryTimer.cancel();
        if (afterClose) {
            afterClose();
        }
    });
}

void TcpListener::acceptNext() {
    if (!accepting) {
        return;
    }
    acceptor.async_accept(asio::make_strand(io), [this](const boost::system::error_code& ec, tcp::socket socket) {
        onAccepted(ec, std::move(socket));
    });
}

void TcpListener::onAccepted(const boost::system::error_code& ec, tcp::socket socket) {
    if (!accepting) {
        return;
    }
    if (ec) {
        reportAcceptError(ec);
        // A connection that died before it was taken says nothing about the listener: go on at
        // once, but never spin on an error that keeps coming back.
        if (isIncomingConnectionError(ec) && ++quickRetries <= options.maxQuickRetries) {
            acceptNext();
            return;
        }
        quickRetries = 0;
        retryTimer.expires_after(options.retryDelay);
        retryTimer.async_wait([this](const boost::system::error_code&) { acceptNext(); });
        return;
    }
    quickRetries = 0;
    if (const int error = keepSocketFromChildren(static_cast<std::uintptr_t>(socket.native_handle()))) {
        if (options.acceptedSocketInherited) {
            options.acceptedSocketInherited(error);
        } else {
            SPDLOG_WARN("{}: a new connection stays open in programs the host starts (error {})", name, error);
        }
    }
    onAccept(std::move(socket));
    acceptNext();
}

void TcpListener::reportAcceptError(const boost::system::error_code& ec) {
    std::size_t suppressed = 0;
    if (!errorLog.allow(suppressed)) {
        return;
    }
    if (options.acceptFailed) {
        options.acceptFailed(ec, suppressed);
    } else {
        SPDLOG_WARN("{} accept failed: {} ({} more since the last report)", name, ec.message(), suppressed);
    }
}

}  // namespace quillane::host
