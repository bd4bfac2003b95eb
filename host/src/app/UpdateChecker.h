#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace quillane::host {

class HttpsClient;
class Settings;
class UrlOpener;

// The latest release as the update service describes it.
struct UpdateInfo {
    std::string version;
    std::string downloadUrl;
    std::string downloadPage;
    std::string releaseNotes;
    std::string releaseDate;
    bool required = false;
    std::string minSupportedVersion;

    bool operator==(const UpdateInfo&) const = default;
};

struct Version {
    int major = 0;
    int minor = 0;
    int patch = 0;
    auto operator<=>(const Version&) const = default;
};

// "v1.2.3" or "1.2.3": one leading v/V dropped, then up to three dot-separated
// decimal numbers; reading stops at the first part that is not one (or does
// not fit an int), and parts not read are 0.
Version parseVersion(const std::string& text);
bool isNewerVersion(const std::string& candidate, const std::string& current);

// Whether openDownloadPage may hand `url` to the browser: an http or https
// address of at most 2048 bytes without control characters.
bool isOpenableUrl(const std::string& url);

inline constexpr const char* kDefaultUpdateUrl = "https://quillane.app/api/updates/latest.json";
inline constexpr std::size_t kMaxManifestBytes = 1024 * 1024;

// Asks the update service for the latest release's manifest and keeps what it
// said. check() is one blocking check; checkAsync() runs one on the checker's
// own thread, which the destructor cancels and joins.
// Threads: the main thread configures, starts and reads; the check thread
// writes the result under `mutex` (updateAvailable is an atomic of its own).
class UpdateChecker {
public:
    UpdateChecker();
    explicit UpdateChecker(std::unique_ptr<HttpsClient> client);
    ~UpdateChecker();
    UpdateChecker(const UpdateChecker&) = delete;
    UpdateChecker& operator=(const UpdateChecker&) = delete;

    void setCurrentVersion(const std::string& version);
    void setUpdateUrl(const std::string& url);

    // True when the manifest was fetched and read, whatever it says.
    bool check();

    // Runs check() on the checker's thread, then `finished` there with its
    // result (not after cancel()). False, with an info line, while a check runs.
    bool checkAsync(std::function<void(bool succeeded)> finished);

    // Ends a running check soon and refuses later ones; then waits for the thread.
    void cancel();

    bool isUpdateAvailable() const { return updateAvailable; }
    UpdateInfo getUpdateInfo() const;
    std::string getLastError() const;
    // For the UI: a check runs now; the last one that ended failed.
    bool isCheckInProgress() const { return checkInProgress; }
    bool lastCheckFailed() const { return failed; }

    // Opens an http or https address in the user's browser; anything else is
    // refused with an error line.
    static bool openDownloadPage(const std::string& url);
    static bool openDownloadPage(const std::string& url, UrlOpener& opener);

private:
    bool fetchJson(std::string& body);
    bool parseUpdateJson(const std::string& body);
    bool fail(const std::string& error);

    std::string updateUrl = kDefaultUpdateUrl;
    std::string currentVersion;
    mutable std::mutex mutex;
    std::atomic<bool> updateAvailable{false};
    UpdateInfo latest;
    std::string lastError;

    std::unique_ptr<HttpsClient> client;
    std::atomic<bool> checkInProgress{false};
    std::atomic<bool> failed{false};
    std::atomic<bool> cancelled{false};
    std::mutex threadMutex;  // starts and joins of checkThread
    std::thread checkThread;
};

// Seconds since 1970-01-01 UTC.
std::int64_t secondsSinceEpoch();

// The host's update check, for a checker and the settings it stamps:
// unless forced, nothing happens within 86,400 s of settings' lastUpdateCheck;
// otherwise a check starts on the checker's thread and its outcome is logged
// and stamped (not for a version the user dismissed). `clock` gives seconds
// since 1970.
void startUpdateCheck(UpdateChecker* checker, Settings& settings, bool force,
                      std::function<std::int64_t()> clock = secondsSinceEpoch);

}  // namespace quillane::host
