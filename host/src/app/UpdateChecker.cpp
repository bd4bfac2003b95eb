#include "app/UpdateChecker.h"
#include "platform/CrashHandler.h"

#include <nlohmann/json.hpp>
#include <spdlog/spdlog.h>

#include <cctype>
#include <charconv>
#include <chrono>
#include <system_error>

#include "app/HttpsClient.h"
#include "app/Settings.h"
#include "app/UrlOpener.h"
#include "common/Version.h"
#include "network/LogText.h"

namespace quillane::host {
namespace {

constexpr std::int64_t kUpdateCheckInterval = 86400;  // seconds
constexpr std::size_t kMaxOpenableUrlBytes = 2048;

// One "%d" of sscanf: optional blanks and sign, then digits. False when there
// is no number or it does not fit an int.
bool readNumber(const char*& p, const char* end, int& value) {
    while (p != end && std::isspace(static_cast<unsigned char>(*p))) ++p;
    const char* start = p;
    if (start != end && *start == '+') {
        ++start;
        if (start != end && *start == '-') return false;
    }
    auto [next, ec] = std::from_chars(start, end, value);
    if (ec != std::errc()) return false;
    p = next;
    return true;
}

bool startsWithNoCase(const std::string& text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
    }
    return true;
}

std::string httpErrorText(unsigned status) {
    std::string text = "HTTP error: " + std::to_string(status);
    if (status == 403) text += " (User-Agent validation failed - ensure app version is set)";
    if (status == 404) text += " (Update endpoint not found)";
    return text;
}

// Logs why an address is refused.
bool acceptDownloadPage(const std::string& url) {
    if (url.empty()) {
        SPDLOG_ERROR("Cannot open empty URL");
        return false;
    }
    if (!isOpenableUrl(url)) {
        SPDLOG_ERROR("Refusing to open an address that is not a web page: {}", logSafeText(url));
        return false;
    }
    return true;
}

}  // namespace

Version parseVersion(const std::string& text) {
    Version version;
    const char* p = text.data();
    const char* end = p + text.size();
    if (p != end && (*p == 'v' || *p == 'V')) ++p;
    int* parts[] = {&version.major, &version.minor, &version.patch};
    for (std::size_t i = 0; i < 3; ++i) {
        if (i > 0) {
            if (p == end || *p != '.') break;
            ++p;
        }
        int value = 0;
        if (!readNumber(p, end, value)) break;
        *parts[i] = value;
    }
    return version;
}

bool isNewerVersion(const std::string& candidate, const std::string& current) {
    return parseVersion(candidate) > parseVersion(current);
}

bool isOpenableUrl(const std::string& url) {
    if (url.empty() || url.size() > kMaxOpenableUrlBytes) return false;
    for (const char c : url) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) return false;
    }
    std::size_t hostStart = 0;
    if (startsWithNoCase(url, "https://")) {
        hostStart = 8;
    } else if (startsWithNoCase(url, "http://")) {
        hostStart = 7;
    } else {
        return false;
    }
    return hostStart < url.size() && url[hostStart] != '/' && url[hostStart] != '\\';
}

UpdateChecker::UpdateChecker() : UpdateChecker(createHttpsClient()) {}

UpdateChecker::UpdateChecker(std::unique_ptr<HttpsClient> client) : client(std::move(client)) {}

UpdateChecker::~UpdateChecker() { cancel(); }

void UpdateChecker::setCurrentVersion(const std::string& version) {
    std::lock_guard lock(mutex);
    currentVersion = version;
}

void UpdateChecker::setUpdateUrl(const std::string& url) {
    std::lock_guard lock(mutex);
    updateUrl = url;
}

UpdateInfo UpdateChecker::getUpdateInfo() const {
    std::lock_guard lock(mutex);
    return latest;
}

std::string UpdateChecker::getLastError() const {
    std::lock_guard lock(mutex);
    return lastError;
}

bool UpdateChecker::check() {
    std::string body;
    const bool ok = fetchJson(body) && parseUpdateJson(body);
    if (ok) {
        std::lock_guard lock(mutex);
        updateAvailable = isNewerVersion(latest.version, currentVersion);
    }
    failed = !ok;
    return ok;
}

bool UpdateChecker::fail(const std::string& error) {
    {
        std::lock_guard lock(mutex);
        lastError = error;
    }
    SPDLOG_ERROR("{}", error);
    return false;
}

bool UpdateChecker::fetchJson(std::string& body) {
    std::string url;
    std::string version;
    {
        std::lock_guard lock(mutex);
        url = updateUrl;
        version = currentVersion;
    }
    HttpsResponse response = client->get(url, "QuillaneHost/" + version, kMaxManifestBytes);
    switch (response.outcome) {
    case HttpsResponse::Outcome::Failed:
        return fail(response.error);
    case HttpsResponse::Outcome::TooLarge:
        return fail("Response too large");
    case HttpsResponse::Outcome::Cancelled: {
        std::lock_guard lock(mutex);
        lastError = "Update check cancelled";
        return false;
    }
    case HttpsResponse::Outcome::Complete:
        break;
    }
    if (response.status != 200) return fail(httpErrorText(response.status));
    if (response.body.empty()) return fail("Empty response from server");
    body = std::move(response.body);
    return true;
}

bool UpdateChecker::parseUpdateJson(const std::string& body) {
    // Read whole before anything is kept: a refused manifest must not replace
    // what an earlier check found while updateAvailable still stands for it.
    UpdateInfo info;
    try {
        const auto json = nlohmann::json::parse(body, nullptr, true, false);
        info.version = json.value("version", std::string());
        info.downloadUrl = json.value("download_url", std::string());
        info.downloadPage = json.value("download_page", std::string());
        info.releaseNotes = json.value("release_notes", std::string());
        info.releaseDate = json.value("release_date", std::string());
        info.required = json.value("required", false);
        info.minSupportedVersion = json.value("min_supported_version", std::string());
    } catch (const nlohmann::json::exception& e) {
        return fail(std::string("JSON parse error: ") + e.what());
    }
    if (info.version.empty()) return fail("JSON missing 'version' field");
    std::lock_guard lock(mutex);
    latest = std::move(info);
    return true;
}

bool UpdateChecker::checkAsync(std::function<void(bool succeeded)> finished) {
    std::lock_guard lock(threadMutex);
    if (cancelled) return false;
    if (checkInProgress) {
        SPDLOG_INFO("Update check already in progress");
        return false;
    }
    if (checkThread.joinable()) checkThread.join();  // it has ended
    checkInProgress = true;
    try {
        checkThread = std::thread([this, finished = std::move(finished)] {
            prepareThreadForCrashHandling();
            SPDLOG_INFO("Checking for updates...");
            const bool ok = check();
            if (!cancelled && finished) finished(ok);
            checkInProgress = false;
        });
    } catch (const std::system_error& e) {
        checkInProgress = false;
        SPDLOG_ERROR("Failed to start the update check: {}", e.what());
        return false;
    }
    return true;
}

void UpdateChecker::cancel() {
    cancelled = true;
    if (client) client->cancel();
    std::lock_guard lock(threadMutex);
    if (checkThread.joinable()) checkThread.join();
}

bool UpdateChecker::openDownloadPage(const std::string& url) {
    if (!acceptDownloadPage(url)) return false;
    return openDownloadPage(url, *createUrlOpener());
}

bool UpdateChecker::openDownloadPage(const std::string& url, UrlOpener& opener) {
    if (!acceptDownloadPage(url)) return false;
    if (!opener.open(url)) {
        SPDLOG_ERROR("Failed to open download page: {}", logSafeText(url));
        return false;
    }
    SPDLOG_INFO("Opened download page: {}", logSafeText(url));
    return true;
}

std::int64_t secondsSinceEpoch() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void startUpdateCheck(UpdateChecker* checker, Settings& settings, bool force, std::function<std::int64_t()> clock) {
    if (!checker) {
        SPDLOG_WARN("Update checker not initialized");
        return;
    }
    if (!force) {
        const std::int64_t last = settings.values().lastUpdateCheck;
        const std::int64_t now = clock();
        std::int64_t elapsed = 0;
        // A stamp from the future (the clock was set back) does not hold checks off.
        const bool due = last > now || __builtin_sub_overflow(now, last, &elapsed) || elapsed >= kUpdateCheckInterval;
        if (!due) return;
    }
    checker->checkAsync([checker, &settings, clock = std::move(clock)](bool succeeded) {
        if (!succeeded) {
            SPDLOG_WARN("Update check failed: {}", checker->getLastError());
        } else if (!checker->isUpdateAvailable()) {
            SPDLOG_INFO("No update available (current: {})", kHostVersion);
        } else {
            const UpdateInfo info = checker->getUpdateInfo();
            // A dismissed version is not stamped either, so the next start looks again.
            if (info.version == settings.values().dismissedVersion) return;
            SPDLOG_INFO("Update available: {} -> {}", kHostVersion, logSafeText(info.version));
        }
        const std::int64_t now = clock();
        settings.updateAndSave([now](SettingsValues& values) { values.lastUpdateCheck = now; });
    });
}

}  // namespace quillane::host
