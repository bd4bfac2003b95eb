// LocalHttpsServer for the Windows tests under Wine: each server and each
// certificate is made by the native HTTPS test service, which the test
// reaches over a control connection on loopback. QH_HTTPS_TEST_SERVICE names
// the folder where the service wrote its control port.

#include "LocalHttpsServer.h"

#include "HttpsServiceProtocol.h"

#include <windows.h>
#include <wincrypt.h>

#include <fstream>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace quillane::host::test {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

std::uint16_t servicePort() {
    const char* dir = std::getenv("QH_HTTPS_TEST_SERVICE");
    if (!dir) throw std::runtime_error("QH_HTTPS_TEST_SERVICE is not set: the HTTPS test service is not running");
    std::ifstream in(std::string(dir) + "/port");
    int port = 0;
    if (!(in >> port) || port <= 0 || port > 65535) {
        throw std::runtime_error(std::string("no HTTPS test service port in ") + dir);
    }
    return static_cast<std::uint16_t>(port);
}

// One control connection to the service.
struct Connection {
    asio::io_context io;
    tcp::socket socket{io};
    ControlChannel channel{socket};

    Connection() { socket.connect(tcp::endpoint(asio::ip::address_v4::loopback(), servicePort())); }
};

// The certificate in the local machine's root store while the process runs.
// Under Wine that store lives in the prefix's registry, which is the test's own
// (see qh_use_https_service); a real Windows would ask for an administrator.
class RootStoreEntry {
public:
    explicit RootStoreEntry(const std::string& pem) {
        DWORD size = 0;
        if (!CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr)) {
            throw std::runtime_error("test certificate: not PEM");
        }
        std::vector<BYTE> der(size);
        CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr);
        store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
        if (!store || !CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                                        CERT_STORE_ADD_REPLACE_EXISTING, &added)) {
            throw std::runtime_error("test certificate: not added to the root store, error " +
                                     std::to_string(GetLastError()));
        }
        // Written to the registry now, where the first chain check of the process reads it.
        CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr);
    }
    ~RootStoreEntry() {
        if (added && CertDeleteCertificateFromStore(added)) CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr);
        if (store) CertCloseStore(store, 0);
    }
    RootStoreEntry(const RootStoreEntry&) = delete;
    RootStoreEntry& operator=(const RootStoreEntry&) = delete;

private:
    HCERTSTORE store = nullptr;
    PCCERT_CONTEXT added = nullptr;
};

}  // namespace

const TestCertificate& trustedTestCertificate() {
    static const TestCertificate certificate = TestCertificate::generate();
    static const RootStoreEntry entry(certificate.certificatePem);
    return certificate;
}

TestCertificate TestCertificate::generate() {
    Connection connection;
    connection.channel.send("generate");
    TestCertificate certificate;
    certificate.certificatePem = connection.channel.receive();
    certificate.privateKeyPem = connection.channel.receive();
    return certificate;
}

struct LocalHttpsServer::State {
    mutable std::mutex mutex;  // one request on the channel at a time
    Connection connection;
    std::uint16_t port = 0;

    std::string ask(const std::string& command) {
        connection.channel.send(command);
        return connection.channel.receive();
    }
};

LocalHttpsServer::LocalHttpsServer(const TestCertificate& certificate) : state(std::make_unique<State>()) {
    auto& channel = state->connection.channel;
    channel.send("serve");
    channel.send(certificate.certificatePem);
    channel.send(certificate.privateKeyPem);
    state->port = static_cast<std::uint16_t>(std::stoi(channel.receive()));
}

// Closing the control connection ends the server.
LocalHttpsServer::~LocalHttpsServer() = default;

void LocalHttpsServer::setReply(HttpsReply reply) {
    std::lock_guard lock(state->mutex);
    auto& channel = state->connection.channel;
    channel.send("reply");
    channel.send(reply.kind == HttpsReply::Kind::Silent ? "silent" : "respond");
    channel.send(reply.raw);
    channel.receive();
}

std::uint16_t LocalHttpsServer::port() const { return state->port; }

// By name: Wine's check of the server's certificate matches host names, not IP addresses.
std::string LocalHttpsServer::url(const std::string& path) const {
    return "https://localhost:" + std::to_string(port()) + path;
}

std::vector<std::string> LocalHttpsServer::requests() const {
    std::lock_guard lock(state->mutex);
    const std::size_t count = std::stoul(state->ask("requests"));
    std::vector<std::string> heads;
    for (std::size_t i = 0; i < count; ++i) heads.push_back(state->connection.channel.receive());
    return heads;
}

std::size_t LocalHttpsServer::connections() const {
    std::lock_guard lock(state->mutex);
    return std::stoul(state->ask("connections"));
}

}  // namespace quillane::host::test
