// HTTPS GETs through libcurl's multi interface, so that cancel() can wake a
// transfer that waits on a silent server at once.

#include "app/HttpsClient.h"

#include "platform/Inheritance.h"

#include <curl/curl.h>
#include <spdlog/spdlog.h>

#include <sys/socket.h>

#include <atomic>
#include <mutex>

namespace quillane::host {
namespace {

constexpr long kConnectTimeoutMs = 10000;  // resolve and connect
constexpr long kStallSeconds = 30;         // no byte for this long ends the transfer
constexpr int kPollMs = 1000;

struct Transfer {
    CURL* easy = nullptr;
    std::size_t maxBody = 0;
    std::string body;
    bool tooLarge = false;
    bool stoppedAtStatus = false;  // a status other than 200 needs no body
};

// The connection is made close-on-exec as it is made, so a program the host starts meanwhile
// does not hold it.
curl_socket_t openSocket(void*, curlsocktype, curl_sockaddr* address) {
    return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

std::size_t writeBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto& transfer = *static_cast<Transfer*>(user);
    const std::size_t bytes = size * count;
    long status = 0;
    curl_easy_getinfo(transfer.easy, CURLINFO_RESPONSE_CODE, &status);
    if (status != 200) {
        transfer.stoppedAtStatus = true;
        return 0;
    }
    if (bytes > transfer.maxBody - transfer.body.size()) {
        transfer.tooLarge = true;
        return 0;
    }
    transfer.body.append(data, bytes);
    return bytes;
}

std::string curlError(const char* step, CURLcode code, const char* detail) {
    return std::string(step) + " (error: " + std::to_string(static_cast<int>(code)) + ": " +
           (detail[0] != '\0' ? detail : curl_easy_strerror(code)) + ")";
}

class CurlHttpsClient final : public HttpsClient {
public:
    explicit CurlHttpsClient(HttpsClientOptions options) : options(std::move(options)) {
        static std::once_flag once;
        std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
        multi = curl_multi_init();
        // libcurl opens the multi handle's wake-up socket pair without close-on-exec.
        if (const int error = keepOpenDescriptorsFromChildren())
            SPDLOG_WARN("Some descriptors stay open in programs the host starts (error {})", error);
    }
    ~CurlHttpsClient() override {
        if (multi) curl_multi_cleanup(multi);
    }

    HttpsResponse get(const std::string& url, const std::string& userAgent, std::size_t maxBody) override {
        HttpsResponse response;
        if (cancelled) {
            response.outcome = HttpsResponse::Outcome::Cancelled;
            return response;
        }
        Transfer transfer;
        transfer.maxBody = maxBody;
        transfer.easy = curl_easy_init();
        if (!multi || !transfer.easy) {
            if (transfer.easy) curl_easy_cleanup(transfer.easy);
            response.error = "Failed to initialize HTTP session";
            return response;
        }
        char detail[CURL_ERROR_SIZE] = {};
        configure(transfer, url, userAgent, detail);
        const CURLcode result = run(transfer.easy);

        long status = 0;
        curl_easy_getinfo(transfer.easy, CURLINFO_RESPONSE_CODE, &status);
        curl_off_t pretransfer = 0;
        curl_easy_getinfo(transfer.easy, CURLINFO_PRETRANSFER_TIME_T, &pretransfer);
        curl_easy_cleanup(transfer.easy);

        if (cancelled) {
            response.outcome = HttpsResponse::Outcome::Cancelled;
        } else if (transfer.tooLarge) {
            response.outcome = HttpsResponse::Outcome::TooLarge;
        } else if (result == CURLE_OK || transfer.stoppedAtStatus) {
            response.outcome = HttpsResponse::Outcome::Complete;
            response.status = static_cast<unsigned>(status);
            if (status == 200) response.body = std::move(transfer.body);
        } else if (status != 0) {
            response.error = "Failed to read HTTP response";
        } else if (pretransfer == 0) {
            // Name resolution, connection, TLS handshake or certificate.
            response.error = curlError("Failed to send HTTP request", result, detail);
        } else {
            response.error = curlError("Failed to receive HTTP response", result, detail);
        }
        return response;
    }

    void cancel() override {
        cancelled = true;
        if (multi) curl_multi_wakeup(multi);
    }

private:
    void configure(Transfer& transfer, const std::string& url, const std::string& userAgent, char* detail) {
        CURL* easy = transfer.easy;
        curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "https");
        curl_easy_setopt(easy, CURLOPT_USERAGENT, userAgent.c_str());
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
        if (!options.caFile.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, options.caFile.c_str());
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, openSocket);
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, kStallSeconds);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, writeBody);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
        curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, detail);
    }

    // Drives the transfer until it ends or cancel() wakes the poll.
    CURLcode run(CURL* easy) {
        if (curl_multi_add_handle(multi, easy) != CURLM_OK) return CURLE_FAILED_INIT;
        CURLcode result = CURLE_ABORTED_BY_CALLBACK;
        int running = 1;
        while (!cancelled) {
            if (curl_multi_perform(multi, &running) != CURLM_OK) {
                result = CURLE_FAILED_INIT;
                break;
            }
            if (running == 0) {
                int left = 0;
                while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
                    if (message->msg == CURLMSG_DONE && message->easy_handle == easy) result = message->data.result;
                }
                break;
            }
            curl_multi_poll(multi, nullptr, 0, kPollMs, nullptr);
        }
        curl_multi_remove_handle(multi, easy);
        return result;
    }

    HttpsClientOptions options;
    CURLM* multi = nullptr;
    std::atomic<bool> cancelled{false};
};

}  // namespace

std::unique_ptr<HttpsClient> createHttpsClient(const HttpsClientOptions& options) {
    return std::make_unique<CurlHttpsClient>(options);
}

}  // namespace quillane::host
