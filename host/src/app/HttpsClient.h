#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace quillane::host {

struct HttpsResponse {
    enum class Outcome {
        Complete,   // a status arrived (and, for 200, the whole body)
        Failed,     // `error` says at which step
        TooLarge,   // the body of a 200 went past the limit
        Cancelled,  // HttpsClient::cancel() ended it
    };
    Outcome outcome = Outcome::Failed;
    unsigned status = 0;
    std::string body;   // only for status 200
    std::string error;  // Failed: one line for the log and the UI
};

// Blocking HTTPS GETs with the server's certificate verified.
// Threads: one get() at a time; cancel() may come from any thread while the
// client exists.
class HttpsClient {
public:
    virtual ~HttpsClient() = default;

    // GET of an https address; the only header of the caller's is the user
    // agent. Another status than 200 ends the transfer without its body; a 200
    // body longer than `maxBody` bytes ends it as TooLarge.
    virtual HttpsResponse get(const std::string& url, const std::string& userAgent, std::size_t maxBody) = 0;

    // Makes a running get() return Cancelled within moments, and every later one at once.
    virtual void cancel() = 0;
};

struct HttpsClientOptions {
    // PEM file of the certificate authorities to trust in place of the system's
    // (tests). Ignored on Windows, which always uses the system's store.
    std::string caFile;
};

std::unique_ptr<HttpsClient> createHttpsClient(const HttpsClientOptions& options = {});

}  // namespace quillane::host
