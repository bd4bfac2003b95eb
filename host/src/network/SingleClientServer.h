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

// What the single-client media servers share: the I/O context and its thread, the listener, the
// running flag and the current client, which a newly accepted one replaces. Client is a record
// with an `id` and a `connection` (a TcpConnection); servers add what they keep per client.
//
// Threads: start and stop on the owner's thread; install on the listener's strand; current,
// forget and closeIf from any thread.
template <class Client>
class SingleClientServer {
public:
    SingleClientServer(std::uint16_t listenPort, std::string serverName)
        : port(listenPort), name(serverName), ioThread(io, std::move(serverName)) {}

    // Opens the listener, starts accepting and the I/O thread; throws, leaving nothing running.
    void start(TcpListener::AcceptHandler onAccept) {
        try {
            listener = std::make_unique<TcpListener>(io, name);
            listener->open(port);
            port = listener->port();
            running = true;
            listener->start(std::move(onAccept));
            ioThread.start();
        } catch (...) {
            running = false;
            if (listener) listener->close();
            ioThread.stop(std::chrono::milliseconds(0));
            listener.reset();
            throw;
        }
    }

    // Closes the listener and the client and joins the I/O thread; false when it was not running.
    bool stop(std::chrono::milliseconds grace) {
        if (!running.exchange(false)) return false;
        listener->close();
        std::shared_ptr<Client> previous;
        {
            std::lock_guard lock(clientMutex);
            previous = std::move(client);
            if (previous) stoppedClientId = previous->id;
        }
        if (previous) previous->connection->close();
        ioThread.stop(grace);
        listener.reset();
        return true;
    }

    // Makes fresh the current client and returns the one it replaced, if any (for the caller to
    // close when still open, and to treat as gone now: its closing comes later and is not
    // reported by forget). A server that stopped meanwhile closes fresh instead.
    std::shared_ptr<Client> install(const std::shared_ptr<Client>& fresh, bool& accepted) {
        std::shared_ptr<Client> previous;
        {
            std::lock_guard lock(clientMutex);
            accepted = running;
            if (accepted) previous = std::exchange(client, fresh);
        }
        if (!accepted) fresh->connection->close();
        return previous;
    }

    // A connection closed: it is no longer current. True when it still was current (or stop took
    // it), so each client is reported gone once: here, or by install when another replaced it.
    bool forget(std::uint64_t clientId) {
        std::lock_guard lock(clientMutex);
        if (client && client->id == clientId) {
            client.reset();
            return true;
        }
        return clientId == stoppedClientId;
    }

    std::shared_ptr<Client> current() const {
        std::lock_guard lock(clientMutex);
        return client;
    }

    bool isConnected() const {
        std::lock_guard lock(clientMutex);
        return client && client->connection->isOpen();
    }

    std::uint64_t nextClientId() { return ++lastClientId; }  // listener strand only

    // Declared first so that it outlives every socket, timer and thread below.
    boost::asio::io_context io;
    std::atomic<std::uint16_t> port;
    std::atomic<bool> running{false};

private:
    const std::string name;
    IoThread ioThread;
    std::unique_ptr<TcpListener> listener;
    mutable std::mutex clientMutex;
    std::shared_ptr<Client> client;
    std::uint64_t stoppedClientId = 0;  // the client that stop closed
    std::uint64_t lastClientId = 0;
};

}  // namespace quillane::host
