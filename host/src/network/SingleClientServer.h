#pragma once

#include "common/LineSource.h"
#include "common/RateLimiter.h"
#include "network/IoThread.h"
#include "network/TcpConnection.h"
#include "network/TcpListener.h"

#include <boost/asio/io_context.hpp>
#include <spdlog/spdlog.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace quillane::host {

// What became of one accepted socket.
enum class AcceptOutcome {
    SetupFailed,  // its socket could not be tuned or had no peer any more; the current client stays
    Refused,      // the server stopped meanwhile
    Installed,    // it is the current client now
};

// What sets one single-client media server apart: its wording, its sockets and what it does around
// each client. The texts are the first words of its log lines ("<listening> on port {}",
// "<startFailed>: {}", "<clientName> connected from {}:{}").
struct SingleClientSetup {
    std::string name;  // of the listener and the I/O thread
    const char* startFailed = "";
    const char* listening = "";
    const char* stopped = "";
    const char* closingPrevious = "";  // when a new client replaces one that is still open
    const char* clientName = "";
    SocketTuning tuning;
    std::chrono::milliseconds writeStallTimeout{10000};
    std::chrono::milliseconds stopGrace{1000};
    std::uint32_t maxMessageLength = 0;  // 0: nothing is read from the client
    // Logs a socket that could not be set up (typically reset right after connecting). `source`,
    // here and below, names the peer's address for the limiters of the lines it causes.
    std::function<void(const boost::system::error_code&, std::uint64_t source)> setupFailed;
    // The events of a new client's connection; its closed event is the server's own.
    std::function<ConnectionEvents(std::uint64_t clientId, std::uint64_t source)> events;
    // A client is gone: it closed while current, or was replaced (then before the new client's
    // first record, so what it held is released before the new client can press anything). Runs
    // under the lock that orders it with handOnIfCurrent; must not wait.
    std::function<void()> clientGone;
    // After each accepted socket, on the listener's strand.
    std::function<void(AcceptOutcome)> accepted;
};

// What the single-client media servers share: the I/O context and its thread, the listener, the
// running flag, start, stop and the accept path, and the current client, which a newly accepted
// one replaces. Client is a record with an `id` and a `connection` (a TcpConnection); servers add
// what they keep per client.
//
// Threads: start and stop on the owner's thread; accepting on the listener's strand; current,
// forget, handOnIfCurrent and isConnected from any thread.
template <class Client>
class SingleClientServer {
public:
    SingleClientServer(std::uint16_t listenPort, SingleClientSetup setup)
        : port(listenPort), setup(std::move(setup)), ioThread(io, this->setup.name) {}

    // Opens the listener, starts accepting and the I/O thread; false (logged) when it cannot,
    // leaving nothing running. True at once when already running.
    bool start() {
        if (running) {
            return true;
        }
        try {
            open();
        } catch (const std::exception& e) {
            SPDLOG_ERROR("{}: {}", setup.startFailed, e.what());
            return false;
        }
        SPDLOG_INFO("{} on port {}", setup.listening, port.load());
        return true;
    }

    // Closes the listener and the client and joins the I/O thread; harmless when not running.
    void stop() {
        if (!running.exchange(false)) {
            return;
        }
        listener->close();
        std::shared_ptr<Client> previous;
        {
            std::lock_guard lock(clientMutex);
            previous = std::move(client);
            if (previous) stoppedClientId = previous->id;
        }
        if (previous) previous->connection->close();
        ioThread.stop(setup.stopGrace);
        listener.reset();
        SPDLOG_INFO("{}", setup.stopped);
    }

    // A connection closed: it is no longer current. True when it still was current (or stop took
    // it), so each client is reported gone once: here, or when another replaced it.
    bool forget(std::uint64_t clientId) {
        std::lock_guard lock(clientMutex);
        if (client && client->id == clientId) {
            client.reset();
            return true;
        }
        return clientId == stoppedClientId;
    }

    // Calls handOn (which must not wait) only while clientId is the current client, in one step
    // with respect to the gone reports: nothing a client sent is handed on after it was reported
    // gone. True when handOn was called.
    template <class HandOn>
    bool handOnIfCurrent(std::uint64_t clientId, HandOn&& handOn) {
        std::lock_guard order(goneMutex);
        {
            std::lock_guard lock(clientMutex);
            if (!client || client->id != clientId) return false;
        }
        handOn();
        return true;
    }

    std::shared_ptr<Client> current() const {
        std::lock_guard lock(clientMutex);
        return client;
    }

    bool isConnected() const {
        std::lock_guard lock(clientMutex);
        return client && client->connection->isOpen();
    }

    // Declared first so that it outlives every socket, timer and thread below.
    boost::asio::io_context io;
    std::atomic<std::uint16_t> port;
    std::atomic<bool> running{false};

private:
    void open() {
        try {
            listener = std::make_unique<TcpListener>(io, setup.name);
            listener->open(port);
            port = listener->port();
            running = true;
            listener->start([this](boost::asio::ip::tcp::socket socket) {
                const AcceptOutcome outcome = accept(std::move(socket));
                if (setup.accepted) setup.accepted(outcome);
            });
            ioThread.start();
        } catch (...) {
            running = false;
            if (listener) listener->close();
            ioThread.stop(std::chrono::milliseconds(0));
            listener.reset();
            throw;
        }
    }

    // Tunes the socket, makes it the current client, closes the one it replaced and starts it.
    AcceptOutcome accept(boost::asio::ip::tcp::socket socket) {
        boost::system::error_code ec;
        const boost::asio::ip::tcp::endpoint peer = socket.remote_endpoint(ec);
        // A client that reconnects in a loop writes the first of its lines, then one per 10 s.
        const std::uint64_t source = addressSource(ec ? "unknown" : peer.address().to_string());
        if (!ec) ec = applySocketTuning(socket, setup.tuning);
        if (ec) {
            if (setup.setupFailed) setup.setupFailed(ec, source);
            boost::system::error_code ignored;
            socket.close(ignored);
            return AcceptOutcome::SetupFailed;
        }
        auto fresh = std::make_shared<Client>();
        fresh->id = ++lastClientId;
        ConnectionEvents events = setup.events ? setup.events(fresh->id, source) : ConnectionEvents{};
        events.closed = [this, id = fresh->id] {
            if (forget(id)) reportGone();  // else replaced: reported gone then
        };
        fresh->connection = TcpConnection::create(std::move(socket), setup.writeStallTimeout, std::move(events));
        bool accepted = false;
        const auto previous = install(fresh, accepted);
        if (!accepted) return AcceptOutcome::Refused;
        std::size_t held = 0;
        if (previous) {
            if (previous->connection->isOpen()) {
                if (connectionLog.allow(source, held)) SPDLOG_INFO("{}{}", setup.closingPrevious, heldNote(held));
                previous->connection->close();
            }
            reportGone();
        }
        if (connectionLog.allow(source, held)) {
            SPDLOG_INFO("{} connected from {}:{}{}", setup.clientName, peer.address().to_string(), peer.port(),
                        heldNote(held));
        }
        fresh->connection->start(setup.maxMessageLength);
        return AcceptOutcome::Installed;
    }

    // Makes fresh the current client and returns the one it replaced, if any (to be treated as
    // gone now: its closing comes later and is not reported by forget). A server that stopped
    // meanwhile closes fresh instead.
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

    void reportGone() {
        std::lock_guard order(goneMutex);
        if (setup.clientGone) setup.clientGone();
    }

    const SingleClientSetup setup;
    PeerLineLimiter connectionLog{std::chrono::seconds(10), 16};  // by the peer's address; outlives the thread
    IoThread ioThread;
    std::unique_ptr<TcpListener> listener;
    std::mutex goneMutex;  // orders hand-ons after the gone reports of their clients
    mutable std::mutex clientMutex;
    std::shared_ptr<Client> client;
    std::uint64_t stoppedClientId = 0;  // the client that stop closed
    std::uint64_t lastClientId = 0;     // listener strand only
};

}  // namespace quillane::host
