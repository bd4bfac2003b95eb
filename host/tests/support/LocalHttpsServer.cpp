#include "LocalHttpsServer.h"

#include <utility>

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace quillane::host::test {
namespace {

namespace asio = boost::asio;
namespace ssl = boost::asio::ssl;
using tcp = asio::ip::tcp;

template <class T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using CertPtr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;

void require(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("test certificate: ") + what);
}

std::string bioText(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<std::size_t>(size));
}

void addExtension(X509* cert, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    require(extension != nullptr, "extension");
    X509_add_ext(cert, extension, -1);
    X509_EXTENSION_free(extension);
}

}  // namespace

TestCertificate TestCertificate::generate() {
    KeyPtr key(EVP_EC_gen("P-256"));
    require(key != nullptr, "key");
    CertPtr cert(X509_new());
    X509_set_version(cert.get(), 2);
    static std::atomic<long> serial{1};
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial++);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 24 * 3600);
    X509_set_pubkey(cert.get(), key.get());
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"), -1, -1,
                               0);
    X509_set_issuer_name(cert.get(), name);
    addExtension(cert.get(), NID_basic_constraints, "critical,CA:TRUE");
    addExtension(cert.get(), NID_key_usage, "critical,digitalSignature,keyCertSign");
    addExtension(cert.get(), NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1");
    require(X509_sign(cert.get(), key.get(), EVP_sha256()) > 0, "sign");

    TestCertificate result;
    BioPtr certBio(BIO_new(BIO_s_mem()));
    require(PEM_write_bio_X509(certBio.get(), cert.get()) == 1, "certificate PEM");
    result.certificatePem = bioText(certBio.get());
    BioPtr keyBio(BIO_new(BIO_s_mem()));
    require(PEM_write_bio_PrivateKey(keyBio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1, "key PEM");
    result.privateKeyPem = bioText(keyBio.get());
    return result;
}

const TestCertificate& trustedTestCertificate() {
    static const TestCertificate certificate = TestCertificate::generate();
    return certificate;
}

struct LocalHttpsServer::State {
    asio::io_context io;
    ssl::context tls{ssl::context::tls_server};
    tcp::acceptor acceptor{io};
    std::thread thread;
    mutable std::mutex mutex;
    HttpsReply reply = httpReply(200, "{}");
    std::vector<std::string> requests;
    std::size_t connections = 0;
    std::vector<std::shared_ptr<tcp::socket>> silent;  // held open until the end

    void accept() {
        acceptor.async_accept([this](boost::system::error_code ec, tcp::socket socket) {
            if (ec) return;
            HttpsReply current;
            {
                std::lock_guard lock(mutex);
                ++connections;
                current = reply;
            }
            if (current.kind == HttpsReply::Kind::Silent) {
                silent.push_back(std::make_shared<tcp::socket>(std::move(socket)));
            } else {
                serve(std::move(socket), std::move(current.raw));
            }
            accept();
        });
    }

    void serve(tcp::socket socket, std::string raw) {
        auto stream = std::make_shared<ssl::stream<tcp::socket>>(std::move(socket), tls);
        stream->async_handshake(ssl::stream_base::server, [this, stream, raw = std::move(raw)](auto ec) mutable {
            if (ec) return;
            auto buffer = std::make_shared<std::string>();
            asio::async_read_until(*stream, asio::dynamic_buffer(*buffer), "\r\n\r\n",
                                   [this, stream, buffer, raw = std::move(raw)](auto ec, std::size_t size) mutable {
                                       if (ec) return;
                                       {
                                           std::lock_guard lock(mutex);
                                           requests.push_back(buffer->substr(0, size));
                                       }
                                       respond(stream, std::move(raw));
                                   });
        });
    }

    void respond(std::shared_ptr<ssl::stream<tcp::socket>> stream, std::string raw) {
        auto bytes = std::make_shared<std::string>(std::move(raw));
        asio::async_write(*stream, asio::buffer(*bytes), [stream, bytes](auto, std::size_t) {
            boost::system::error_code ignored;
            stream->lowest_layer().shutdown(tcp::socket::shutdown_both, ignored);
            stream->lowest_layer().close(ignored);
        });
    }
};

LocalHttpsServer::LocalHttpsServer(const TestCertificate& certificate) : state(std::make_unique<State>()) {
    state->tls.use_certificate_chain(asio::buffer(certificate.certificatePem));
    state->tls.use_private_key(asio::buffer(certificate.privateKeyPem), ssl::context::pem);
    const tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), 0);
    state->acceptor.open(endpoint.protocol());
    state->acceptor.bind(endpoint);
    state->acceptor.listen();
    state->accept();
    state->thread = std::thread([s = state.get()] { s->io.run(); });
}

LocalHttpsServer::~LocalHttpsServer() {
    state->io.stop();
    state->thread.join();
}

void LocalHttpsServer::setReply(HttpsReply reply) {
    std::lock_guard lock(state->mutex);
    state->reply = std::move(reply);
}

std::uint16_t LocalHttpsServer::port() const { return state->acceptor.local_endpoint().port(); }

std::string LocalHttpsServer::url(const std::string& path) const {
    return "https://127.0.0.1:" + std::to_string(port()) + path;
}

std::vector<std::string> LocalHttpsServer::requests() const {
    std::lock_guard lock(state->mutex);
    return state->requests;
}

std::size_t LocalHttpsServer::connections() const {
    std::lock_guard lock(state->mutex);
    return state->connections;
}

}  // namespace quillane::host::test
