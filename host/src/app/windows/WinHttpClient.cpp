// HTTPS GETs through WinHTTP in asynchronous mode: the calling thread waits
// for each step's completion or for cancel(), so a silent server never holds
// it. Closing the request handle then ends the transfer.

#include "app/HttpsClient.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include "common/Utf8.h"

namespace quillane::host {
namespace {

constexpr int kResolveTimeoutMs = 10000;
constexpr int kConnectTimeoutMs = 10000;
constexpr int kSendTimeoutMs = 30000;
constexpr int kReceiveTimeoutMs = 30000;
constexpr DWORD kReadChunk = 64 * 1024;

// What one transfer shares with WinHTTP's callbacks. WinHTTP may call back
// after the transfer was abandoned, until the request handle's closing
// notice; the last of the two owners deletes it.
struct Exchange {
    HANDLE completed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::atomic<int> owners{1};
    // The last step's outcome, written by the callback before it sets `completed`.
    DWORD status = 0;
    DWORD error = 0;
    DWORD length = 0;
    std::vector<char> buffer = std::vector<char>(kReadChunk);

    ~Exchange() {
        if (completed) CloseHandle(completed);
    }
    void release() {
        if (--owners == 0) delete this;
    }
};

void CALLBACK onStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD length) {
    auto* exchange = reinterpret_cast<Exchange*>(context);
    if (!exchange) return;
    switch (status) {
    case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
        exchange->release();
        return;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
        exchange->error = static_cast<const WINHTTP_ASYNC_RESULT*>(info)->dwError;
        break;
    case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
        exchange->length = *static_cast<const DWORD*>(info);
        break;
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
        exchange->length = length;
        break;
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
        break;
    default:
        return;
    }
    exchange->status = status;
    SetEvent(exchange->completed);
}

class WinHttpClient final : public HttpsClient {
public:
    HttpsResponse get(const std::string& url, const std::string& userAgent, std::size_t maxBody) override {
        auto* exchange = new Exchange;
        {
            std::lock_guard lock(mutex);
            current = exchange;
        }
        HttpsResponse response = transfer(*exchange, url, userAgent, maxBody);
        {
            std::lock_guard lock(mutex);
            current = nullptr;
        }
        closeHandles();
        exchange->release();
        if (cancelled) {
            response = {};
            response.outcome = HttpsResponse::Outcome::Cancelled;
        }
        return response;
    }

    void cancel() override {
        std::lock_guard lock(mutex);
        cancelled = true;
        if (current) SetEvent(current->completed);
    }

private:
    static HttpsResponse failure(std::string error) {
        HttpsResponse response;
        response.error = std::move(error);
        return response;
    }

    static std::string withError(const char* step, DWORD error) {
        return std::string(step) + " (error: " + std::to_string(error) + ")";
    }

    // Waits for the step started last; false when it failed (`error` set) or
    // the transfer was cancelled.
    bool awaitStep(Exchange& exchange, DWORD& error) {
        WaitForSingleObject(exchange.completed, INFINITE);
        if (cancelled) return false;
        if (exchange.status == WINHTTP_CALLBACK_STATUS_REQUEST_ERROR) {
            error = exchange.error;
            return false;
        }
        return true;
    }

    // Request, then connection, then session.
    void closeHandles() {
        for (HINTERNET* handle : {&request, &connection, &session}) {
            if (*handle) WinHttpCloseHandle(*handle);
            *handle = nullptr;
        }
    }

    HttpsResponse transfer(Exchange& exchange, const std::string& url, const std::string& userAgent,
                           std::size_t maxBody) {
        if (!exchange.completed) return failure("Failed to initialize WinHTTP session");
        std::wstring wideUrl = utf8ToWide(url);
        URL_COMPONENTS parts{};
        parts.dwStructSize = sizeof(parts);
        parts.dwHostNameLength = static_cast<DWORD>(-1);
        parts.dwUrlPathLength = static_cast<DWORD>(-1);
        parts.dwExtraInfoLength = static_cast<DWORD>(-1);
        if (!WinHttpCrackUrl(wideUrl.c_str(), 0, 0, &parts) || parts.nScheme != INTERNET_SCHEME_HTTPS) {
            return failure("Invalid update address: " + url);
        }
        const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
        std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
        path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
        if (path.empty()) path = L"/";

        session = WinHttpOpen(utf8ToWide(userAgent).c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                              WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
        if (!session) return failure("Failed to initialize WinHTTP session");
        WinHttpSetTimeouts(session, kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs, kReceiveTimeoutMs);
        WinHttpSetStatusCallback(session, onStatus,
                                 WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES, 0);
        connection = WinHttpConnect(session, host.c_str(), parts.nPort, 0);
        if (!connection) return failure("Failed to connect to " + wideToUtf8(host));
        request = WinHttpOpenRequest(connection, L"GET", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                     WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE);
        if (!request) return failure("Failed to create HTTP request");
        Exchange* context = &exchange;
        if (!WinHttpSetOption(request, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof(context))) {
            return failure("Failed to create HTTP request");
        }
        ++exchange.owners;  // until the request handle's closing notice

        DWORD error = 0;
        if (!WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0,
                                reinterpret_cast<DWORD_PTR>(context))) {
            return failure(withError("Failed to send HTTP request", GetLastError()));
        }
        if (!awaitStep(exchange, error)) return failure(withError("Failed to send HTTP request", error));
        if (!WinHttpReceiveResponse(request, nullptr)) {
            return failure(withError("Failed to receive HTTP response", GetLastError()));
        }
        if (!awaitStep(exchange, error)) return failure(withError("Failed to receive HTTP response", error));

        DWORD status = 0;
        DWORD size = sizeof(status);
        if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                 WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
            status = 0;
        }
        HttpsResponse response;
        response.outcome = HttpsResponse::Outcome::Complete;
        response.status = status;
        if (status != 200) return response;
        return readBody(exchange, maxBody, std::move(response));
    }

    // The body's announced length; -1 when the server announced none.
    long long contentLength() {
        DWORD length = 0;
        DWORD size = sizeof(length);
        if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                                 WINHTTP_HEADER_NAME_BY_INDEX, &length, &size, WINHTTP_NO_HEADER_INDEX)) {
            return -1;
        }
        return length;
    }

    // Some WinHTTPs (Wine's) end the data quietly when the server closes early.
    HttpsResponse complete(HttpsResponse response) {
        const long long announced = contentLength();
        if (announced >= 0 && static_cast<unsigned long long>(announced) != response.body.size()) {
            return failure("Failed to read HTTP response");
        }
        return response;
    }

    HttpsResponse readBody(Exchange& exchange, std::size_t maxBody, HttpsResponse response) {
        DWORD error = 0;
        for (;;) {
            if (!WinHttpQueryDataAvailable(request, nullptr) || !awaitStep(exchange, error)) {
                return failure("Failed to read HTTP response");
            }
            const DWORD available = exchange.length;
            if (available == 0) return complete(std::move(response));
            const DWORD wanted = std::min(available, kReadChunk);
            if (wanted > maxBody - response.body.size()) {
                response = {};
                response.outcome = HttpsResponse::Outcome::TooLarge;
                return response;
            }
            // The buffer belongs to the exchange: WinHTTP may still write into
            // it after a cancelled transfer was left.
            if (!WinHttpReadData(request, exchange.buffer.data(), wanted, nullptr) || !awaitStep(exchange, error)) {
                return failure("Failed to read HTTP response");
            }
            if (exchange.length == 0) return complete(std::move(response));
            response.body.append(exchange.buffer.data(), exchange.length);
        }
    }

    std::mutex mutex;  // guards current
    Exchange* current = nullptr;
    std::atomic<bool> cancelled{false};
    // Used by the thread in get() only.
    HINTERNET session = nullptr;
    HINTERNET connection = nullptr;
    HINTERNET request = nullptr;
};

}  // namespace

std::unique_ptr<HttpsClient> createHttpsClient(const HttpsClientOptions&) {
    return std::make_unique<WinHttpClient>();
}

}  // namespace quillane::host
