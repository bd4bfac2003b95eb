// Application's life with its real components in this process: start-up on
// defaults, taken ports and the order of shutdown, on Linux and under Wine.
#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>

#include <algorithm>
#include <optional>
#include <vector>

#include "ApplicationLifeFixture.h"
#include "SignalingTestClient.h"
#include "network/SocketOptions.h"

namespace quillane::host::test {

using quillane::host::SettingsValues;
using quillane::host::test::ApplicationLife;
using quillane::host::test::LogCapture;
using quillane::host::test::problems;

namespace {

namespace asio = boost::asio;

constexpr std::uint16_t kDiscoveryPort = 9877;

// Whether a listener bound as the servers bind theirs could have the port now.
bool tcpPortFree(std::uint16_t port) {
    asio::io_context io;
    asio::ip::tcp::acceptor acceptor(io);
    boost::system::error_code ec;
    acceptor.open(asio::ip::tcp::v4(), ec);
    if (ec || quillane::host::setListenAddressOption(acceptor.native_handle()) != 0) return false;
    acceptor.bind({asio::ip::address_v4::any(), port}, ec);
    if (!ec) acceptor.listen(4, ec);
    return !ec;
}

enum class Protocol { Tcp, Udp };

// Holds a port on every address so that nobody else can bind it.
class PortHolder {
public:
    PortHolder(Protocol protocol, std::uint16_t port) {
        boost::system::error_code ec;
        if (protocol == Protocol::Tcp) {
            tcp.emplace(io);
            tcp->open(asio::ip::tcp::v4(), ec);
            if (!ec) tcp->bind({asio::ip::address_v4::any(), port}, ec);
            if (!ec) tcp->listen(4, ec);
        } else {
            udp.emplace(io);
            udp->open(asio::ip::udp::v4(), ec);
            if (!ec) udp->bind({asio::ip::address_v4::any(), port}, ec);
        }
        held = !ec;
    }
    bool ok() const { return held; }

private:
    asio::io_context io;
    std::optional<asio::ip::tcp::acceptor> tcp;
    std::optional<asio::ip::udp::socket> udp;
    bool held = false;
};

TEST_F(ApplicationLife, StartsOnDefaultsWithoutASettingsFile) {
    for (std::uint16_t port : {9876, 9944, 9945, 9946})
        if (!tcpPortFree(port)) GTEST_SKIP() << "default port " << port << " is in use on this machine";
    auto app = makeApp();
    ASSERT_TRUE(app->initialize()) << problems(log);
    EXPECT_TRUE(log.contains("Failed to load settings, using defaults"));
    EXPECT_EQ(app->getSettings().values(), SettingsValues{});
    EXPECT_TRUE(log.contains("Signaling: ws://localhost:9876"));
    EXPECT_TRUE(log.contains("Video:     tcp://localhost:9944"));
    EXPECT_TRUE(quillane::host::test::signalingAlive(9876));
    app->shutdown();
}

// A taken video port fails the start and frees the signalling port again; a
// taken discovery port is only a warning; shutdown goes in order, once.
TEST_F(ApplicationLife, TakenPortsAndShutdownOrder) {
    writeFreePorts();
    {
        PortHolder taken(Protocol::Tcp, ports.video);
        ASSERT_TRUE(taken.ok());
        LogCapture failed;
        EXPECT_FALSE(makeApp()->initialize());
        EXPECT_TRUE(failed.contains("Failed to start TCP transport server"));
        EXPECT_FALSE(failed.contains("All subsystems initialized successfully"));
        EXPECT_TRUE(tcpPortFree(ports.signaling));
    }
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        auto discovery = run == 0 ? std::make_unique<PortHolder>(Protocol::Udp, kDiscoveryPort) : nullptr;
        LogCapture runLog;
        auto app = makeApp();
        ASSERT_TRUE(app->initialize()) << problems(log);
        EXPECT_TRUE(runLog.contains("All subsystems initialized successfully"));
        if (discovery && discovery->ok()) {
            EXPECT_TRUE(runLog.contains("Failed to start discovery responder - clients must connect manually"));
        }
        ASSERT_TRUE(quillane::host::test::signalingAlive(ports.signaling));
        app->shutdown();
        // The Linux desktop's sound server is there, so audio runs, and stops first; Wine may
        // offer no loopback capture.
        const std::vector<std::string> stops = [&] {
            std::vector<std::string> lines;
            if (!quillane::host::test::isWindows() || runLog.contains("Audio capture started"))
                lines.push_back("Audio capture stopped");
            for (const char* line : {"TCP transport server stopped", "Signaling server stopped",
                                     "Shutting down CaptureOrchestrator"})
                lines.push_back(line);
            return lines;
        }();
        std::vector<std::string> order = {"Shutting down application..."};
        order.insert(order.end(), stops.begin(), stops.end());
        if (runLog.contains("Discovery responder stopped")) order.push_back("Discovery responder stopped");
        order.push_back("Application shutdown complete");
        const auto entries = runLog.entries();
        auto at = entries.begin();
        for (const auto& line : order) {
            at = std::find_if(at, entries.end(), [&](const auto& e) { return e.text.find(line) != std::string::npos; });
            ASSERT_NE(at, entries.end()) << line;
        }
        // Everything is released: the ports are free and a second shutdown
        // (and the destructor) stop nothing more.
        EXPECT_TRUE(tcpPortFree(ports.signaling));
        EXPECT_TRUE(tcpPortFree(ports.video));
        EXPECT_FALSE(runLog.contains("TCP audio server stopped")) << "the audio server goes with the destructor";
        app->shutdown();
        app.reset();
        for (const auto& line : stops) EXPECT_EQ(runLog.count(line), 1u) << line;
        EXPECT_EQ(runLog.count("TCP audio server stopped"), 1u);
    }
}

}  // namespace

}  // namespace quillane::host::test
