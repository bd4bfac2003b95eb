#pragma once

#include "network/IoThread.h"
#include "network/TcpConnection.h"
#include "network/TcpListener.h"

#include <boost/asio/io_context.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace quillane::host {

// What every single-client media server shares: its I/O context and thread, the listener, and the
// current client, which each newly accepted connection replaces. Client is the server's record of
// one connection, with at least `std::uint64_t id` and `std::shared_ptr<TcpConnection> connection`.
// Threads: start and stop on the owner's thread; the client methods from any thread.
template <class Client>
class SingleClientServer {
public:
    SingleClientServer(std::uint16_t port, std::string name) : port(port), name(name), ioThread(io, std::move(name)) {}

    SingleClientServer(const SingleClientServer&) = delete;
    SingleClientServer& operator=(const SingleClientServer&) = delete;

    // Listens on the IPv4 any address and starts the I/O thread; accepted sockets go to onAccept
    // on the listener's strand. Throws on failure, leaving nothing open.
    void start(TcpListener::AcceptHandler onAccept) {
        listener = std::make_unique<TcpListener>(io, name);
        try {
            listener->open(port);
            port = listener->port();
            running = true;
            listener->start(std::move(onAccept));
            ioThread.start();
        } catch (...) {
            running = false;
            listener->close();
            ioThread.stop(std::chrono::milliseconds(0));
            listener.reset();
            throw;
        }
    }

    // Closes the listener and the current client and joins the I/O thread, letting handlers run
    // for at most `grace`. False when it was not running.
    bool stop(std::chrono::milliseconds grace) {
        if (!running.exchange(false)) {
            return false;
        }
        listener->close();
        if (auto previous = take()) {
            previous->connection->close();
        }
        ioThread.stop(grace);
        listener.reset();
        return true;
    }

    // Makes `fresh` the current client and hands back the one it replaced (or null). Once the
    // server has stopped, `fresh` is closed instead and `installed` is false.
    std::shared_ptr<Client> replace(std::shared_ptr<Client> fresh, bool& installed) {
        std::lock_guard lock(clientMutex);
        installed = running;
        if (!installed) {
            fresh->connection->close();
            return nullptr;
        }
        return std::exchange(client, std::move(fresh));
    }

    // For a connection's closed event: forgets the client if it is still the current one.
    void forget(std::uint64_t id) {
        std::lock_guard lock(clientMutex);
        if (client && client->id == id) {
            client.reset();
        }
    }

    std::shared_ptr<Client> current() const {
        std::lock_guard lock(clientMutex);
        return client;
    }

    bool isRunning() const { return running; }
    std::uint16_t listeningPort() const { return port; }
    // Listener strand only.
    std::uint64_t nextClientId() { return ++lastClientId; }

    // Declared first so that it outlives every socket, timer and thread below.
    boost::asio::io_context io;

private:
    std::shared_ptr<Client> take() {
        std::lock_guard lock(clientMutex);
        return std::move(client);
    }

    std::atomic<std::uint16_t> port;
    const std::string name;
    IoThread ioThread;
    std::unique_ptr<TcpListener> listener;
    std::atomic<bool> running{false};
    mutable std::mutex clientMutex;
    std::shared_ptr<Client> client;
    std::uint64_t lastClientId = 0;
};

}  // namespace quillane::host
