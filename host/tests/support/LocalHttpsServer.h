#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace quillane::host::test {

// A self-signed certificate for 127.0.0.1 and "localhost", made at run time.
struct TestCertificate {
    std::string certificatePem;
    std::string privateKeyPem;

    static TestCertificate generate();
};

// One certificate per test process that the platform's HTTPS client trusts
// from the first call on: on Linux the test hands its PEM to the client; on
// Windows it stands in the local machine's root store (of the test's own Wine
// prefix) until the process ends. Call it before the process's first HTTPS
// check: Windows reads its root store once per process.
const TestCertificate& trustedTestCertificate();

// What the server does with a connection.
struct HttpsReply {
    enum class Kind {
        Respond,  // reads the request, writes `raw`, closes
        Silent,   // accepts the connection and never reads or writes
    };
    Kind kind = Kind::Respond;
    std::string raw;  // everything after the request: status line, headers, body
};

// A complete response with Content-Length.
inline HttpsReply httpReply(int status, const std::string& body) {
    HttpsReply reply;
    reply.raw = "HTTP/1.1 " + std::to_string(status) + " Status\r\nContent-Type: application/json\r\nContent-Length: " +
                std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    return reply;
}

// An HTTPS server on a free loopback port, on a thread of its own, answering
// every request with the reply set last.
class LocalHttpsServer {
public:
    explicit LocalHttpsServer(const TestCertificate& certificate = TestCertificate::generate());
    ~LocalHttpsServer();
    LocalHttpsServer(const LocalHttpsServer&) = delete;
    LocalHttpsServer& operator=(const LocalHttpsServer&) = delete;

    void setReply(HttpsReply reply);
    std::uint16_t port() const;
    std::string url(const std::string& path = "/api/updates/latest.json") const;

    // The request heads received so far (request line and headers).
    std::vector<std::string> requests() const;
    // Connections accepted so far.
    std::size_t connections() const;

private:
    struct State;
    std::unique_ptr<State> state;
};

}  // namespace quillane::host::test
