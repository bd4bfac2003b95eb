// The loopback HTTPS service of the Linux tests, run natively for tests that
// cannot link it (the Windows tests under Wine): they reach it over a control
// connection on loopback (see HttpsServiceProtocol.h).
//   qh_https_test_service start <dir>   forks the service, writes <dir>/port and <dir>/pid
//   qh_https_test_service stop <dir>    ends the service whose id <dir>/pid holds

#include "HttpsServiceProtocol.h"
#include "LocalHttpsServer.h"

#include <boost/asio.hpp>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <thread>

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
namespace fs = std::filesystem;

namespace quillane::host::test {
namespace {

void writeAtomically(const fs::path& file, const std::string& text) {
    const fs::path temporary = file.string() + ".tmp";
    std::ofstream(temporary) << text;
    fs::rename(temporary, file);
}

std::string readText(const fs::path& file) {
    std::ifstream in(file);
    std::string text;
    std::getline(in, text);
    return text;
}

// One control connection: a certificate made for it, or one server for its lifetime.
void serveControl(tcp::socket socket) {
    ControlChannel channel(socket);
    std::unique_ptr<LocalHttpsServer> server;
    try {
        for (;;) {
            const std::string command = channel.receive();
            if (command == "generate") {
                const TestCertificate certificate = TestCertificate::generate();
                channel.send(certificate.certificatePem);
                channel.send(certificate.privateKeyPem);
            } else if (command == "serve") {
                TestCertificate certificate;
                certificate.certificatePem = channel.receive();
                certificate.privateKeyPem = channel.receive();
                server = std::make_unique<LocalHttpsServer>(certificate);
                channel.send(std::to_string(server->port()));
            } else if (command == "reply" && server) {
                HttpsReply reply;
                reply.kind = channel.receive() == "silent" ? HttpsReply::Kind::Silent : HttpsReply::Kind::Respond;
                reply.raw = channel.receive();
                server->setReply(std::move(reply));
                channel.send("ok");
            } else if (command == "requests" && server) {
                const auto requests = server->requests();
                channel.send(std::to_string(requests.size()));
                for (const auto& request : requests) channel.send(request);
            } else if (command == "connections" && server) {
                channel.send(std::to_string(server->connections()));
            } else {
                channel.send("error: " + command);
            }
        }
    } catch (const boost::system::system_error&) {
        // The test closed the connection: its server goes with it.
    }
}

int runService(const fs::path& dir) {
    asio::io_context io;
    tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    writeAtomically(dir / "port", std::to_string(acceptor.local_endpoint().port()));
    for (;;) {
        tcp::socket socket(io);
        acceptor.accept(socket);
        std::thread(serveControl, std::move(socket)).detach();
    }
}

int stop(const fs::path& dir) {
    const std::string pid = readText(dir / "pid");
    if (pid.empty()) return 0;
    // Only the service itself: the id may have gone to another process since.
    if (readText("/proc/" + pid + "/cmdline").find("qh_https_test_service") != std::string::npos) {
        kill(static_cast<pid_t>(std::stol(pid)), SIGTERM);
    }
    fs::remove(dir / "pid");
    fs::remove(dir / "port");
    return 0;
}

int start(const fs::path& dir) {
    fs::create_directories(dir);
    stop(dir);  // a service an earlier run left behind
    const pid_t child = fork();
    if (child < 0) return 1;
    if (child == 0) {
        // Off ctest's pipes, or it would wait for them to close.
        setsid();
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        return runService(dir);
    }
    writeAtomically(dir / "pid", std::to_string(child));
    for (int i = 0; i < 500; ++i) {
        if (fs::exists(dir / "port")) return 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::cerr << "the HTTPS test service did not start\n";
    return 1;
}

}  // namespace
}  // namespace quillane::host::test

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: qh_https_test_service start|stop <dir>\n";
        return 2;
    }
    const std::string command = argv[1];
    if (command == "start") return quillane::host::test::start(argv[2]);
    if (command == "stop") return quillane::host::test::stop(argv[2]);
    return 2;
}
