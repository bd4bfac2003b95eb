// HTTPS GETs through WinHTTP, synchronous; cancel() closes the open handles,
// which makes a blocked call return at once.

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

std::string withError(const char* step) {
    return std::string(step) + " (error: " + std::to_string(GetLastError()) + ")";
}

class WinHttpClient final : public HttpsClient {
public:
    HttpsResponse get(const std::string& url, const std::string& userAgent, std::size_t maxBody) override {
        HttpsResponse response = transfer(url, userAgent, maxBody);
        closeHandles();
        if (cancelled) {
            response = {};
            response.outcome = HttpsResponse::Outcome::Cancelled;
        }
        return response;
    }

    void cancel() override {
        cancelled = true;
        closeHandles();
    }

private:
    static HttpsResponse failure(std::string error) {
        HttpsResponse response;
        response.error = std::move(error);
        return response;
    }

    // Keeps a handle where cancel() can close it; null when cancelled already.
    HINTERNET track(HINTERNET handle) {
        std::lock_guard lock(mutex);
        if (!handle) return nullptr;
        if (cancelled) {
            WinHttpCloseHandle(handle);
            return nullptr;
        }
        handles.push_back(handle);
        return handle;
    }

    // Request, then connection, then session.
    void closeHandles() {
        std::lock_guard lock(mutex);
        for (auto it = handles.rbegin(); it != handles.rend(); ++it) WinHttpCloseHandle(*it);
        handles.clear();
    }

    HttpsResponse transfer(const std::string& url, const std::string& userAgent, std::size_t maxBody) {
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

        HINTERNET session = track(WinHttpOpen(utf8ToWide(userAgent).c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                              WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
        if (!session) return failure("Failed to initialize WinHTTP session");
        WinHttpSetTimeouts(session, kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs, kReceiveTimeoutMs);
        HINTERNET connection = track(WinHttpConnect(session, host.c_str(), parts.nPort, 0));
        if (!connection) return failure("Failed to connect to " + wideToUtf8(host));
        HINTERNET request =
            track(WinHttpOpenRequest(connection, L"GET", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                     WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
        if (!request) return failure("Failed to create HTTP request");
        if (!WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
            return failure(withError("Failed to send HTTP request"));
        }
        if (!WinHttpReceiveResponse(request, nullptr)) {
            return failure(withError("Failed to receive HTTP response"));
        }
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
        return readBody(request, maxBody, std::move(response));
    }

    static HttpsResponse readBody(HINTERNET request, std::size_t maxBody, HttpsResponse response) {
        std::vector<char> chunk(kReadChunk);
        for (;;) {
            DWORD available = 0;
            if (!WinHttpQueryDataAvailable(request, &available)) return failure("Failed to read HTTP response");
            if (available == 0) return response;
            const DWORD wanted = std::min(available, kReadChunk);
            if (wanted > maxBody - response.body.size()) {
                response = {};
                response.outcome = HttpsResponse::Outcome::TooLarge;
                return response;
            }
            DWORD read = 0;
            if (!WinHttpReadData(request, chunk.data(), wanted, &read)) return failure("Failed to read HTTP response");
            response.body.append(chunk.data(), read);
        }
    }

    std::mutex mutex;  // guards handles
    std::vector<HINTERNET> handles;
    std::atomic<bool> cancelled{false};
};

}  // namespace

std::unique_ptr<HttpsClient> createHttpsClient(const HttpsClientOptions&) {
    return std::make_unique<WinHttpClient>();
}

}  // namespace quillane::host
