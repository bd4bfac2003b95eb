// The update checker's rules that need no network: versions, the addresses it
// opens, one check at a time, and what the main loop hands on.

#include "app/UpdateChecker.h"

#include "app/HttpsClient.h"
#include "app/Settings.h"
#include "app/UrlOpener.h"
#include "main/UpdateNotice.h"
#include "support/TestSupport.h"

#include "Eventually.h"
#include "LogCapture.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

using namespace quillane::host;
using namespace quillane::host::test;

namespace {

TEST(UpdateVersionTest, NewerThanTheRunningVersionFollowsTheVersionTable) {
    struct Case {
        const char* candidate;
        bool newer;
    };
    const Case cases[] = {
        {"v1.2.0", true},  {"V1.1.10", true}, {"2", true},     {"1.2", true},
        {"1.1.9", false},  {"1.1.09", false}, {"abc", false},  {"", false},
        {"1.1.9-beta", false}, {" 1.2", true}, {"+1.2", true},  {"vv2", false},
        // A number too large for an int ends the reading like a part that is not one.
        {"99999999999.0.0", false}, {"1.99999999999", false}, {"1.1.-1", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isNewerVersion(c.candidate, "1.1.9"), c.newer) << c.candidate;
    }
    EXPECT_EQ(parseVersion("V3.-2.7x"), (Version{3, -2, 7}));
}

class RecordingOpener : public UrlOpener {
public:
    bool open(const std::string& url) override {
        opened.push_back(url);
        return result;
    }
    std::vector<std::string> opened;
    bool result = true;
};

TEST(UpdateDownloadPageTest, OnlyWebAddressesReachTheBrowser) {
    LogCapture log;
    RecordingOpener opener;
    const std::string refused[] = {
        "",
        "file:///etc/passwd",
        "javascript:alert(1)",
        "\\\\server\\share\\setup.exe",
        "https://quillane.app/\x01",
        "https://quillane.app/\nnext",
        "https://quillane.app/\x7f",
        "https:///etc/passwd",
        "https:",
        "ftp://quillane.app/setup",
        "https://quillane.app/" + std::string(2048, 'a'),
    };
    for (const auto& url : refused) {
        EXPECT_FALSE(UpdateChecker::openDownloadPage(url, opener)) << url;
    }
    EXPECT_TRUE(opener.opened.empty());
    EXPECT_EQ(log.count("Cannot open empty URL"), 1u);
    EXPECT_EQ(log.count("Refusing to open an address that is not a web page"), std::size(refused) - 1);
    EXPECT_FALSE(log.contains("\n"));  // the control characters are written escaped

    const std::string longest = "https://quillane.app/" + std::string(2048 - 21, 'a');
    for (const auto& url : {std::string("https://quillane.app/download?v=1.2.0"),
                            std::string("HTTP://quillane.app/"), longest}) {
        EXPECT_TRUE(UpdateChecker::openDownloadPage(url, opener)) << url;
    }
    EXPECT_EQ(opener.opened.back(), longest);
    EXPECT_TRUE(log.contains("Opened download page: https://quillane.app/download?v=1.2.0"));

    opener.result = false;
    EXPECT_FALSE(UpdateChecker::openDownloadPage("https://quillane.app/", opener));
    EXPECT_TRUE(log.contains("Failed to open download page: https://quillane.app/"));
}

HttpsResponse manifest(const std::string& body) {
    HttpsResponse response;
    response.outcome = HttpsResponse::Outcome::Complete;
    response.status = 200;
    response.body = body;
    return response;
}

HttpsResponse cancelledResponse() {
    HttpsResponse response;
    response.outcome = HttpsResponse::Outcome::Cancelled;
    return response;
}

// Answers each get() with the next canned response; a get() may be held
// until released, to look at a check while it runs.
class FakeHttpsClient : public HttpsClient {
public:
    HttpsResponse get(const std::string& url, const std::string& userAgent, std::size_t) override {
        std::unique_lock lock(mutex);
        urls.push_back(url);
        agents.push_back(userAgent);
        ++running;
        released.wait(lock, [this] { return !hold || cancelled; });
        --running;
        if (cancelled) return cancelledResponse();
        return next;
    }
    void cancel() override {
        std::lock_guard lock(mutex);
        cancelled = true;
        released.notify_all();
    }
    void release() {
        std::lock_guard lock(mutex);
        hold = false;
        released.notify_all();
    }
    int runningGets() {
        std::lock_guard lock(mutex);
        return running;
    }

    std::mutex mutex;
    std::condition_variable released;
    HttpsResponse next = manifest(R"({"version":"1.2.0"})");
    std::vector<std::string> urls;
    std::vector<std::string> agents;
    bool hold = false;
    bool cancelled = false;
    int running = 0;
};

TEST(UpdateCheckThreadTest, OneCheckAtATimeAndLeavingCancelsIt) {
    LogCapture log;
    auto fake = std::make_unique<FakeHttpsClient>();
    FakeHttpsClient& client = *fake;
    client.hold = true;
    int finishedCalls = 0;
    {
        UpdateChecker checker(std::move(fake));
        checker.setCurrentVersion("1.1.9");
        checker.setUpdateUrl("https://127.0.0.1:1/manifest.json");
        ASSERT_TRUE(checker.checkAsync([&](bool) { ++finishedCalls; }));
        ASSERT_TRUE(eventually([&] { return client.runningGets() == 1; }));
        EXPECT_TRUE(checker.isCheckInProgress());
        EXPECT_FALSE(checker.checkAsync([&](bool) { ++finishedCalls; }));
        EXPECT_TRUE(log.contains("Update check already in progress"));

        client.release();
        ASSERT_TRUE(eventually([&] { return !checker.isCheckInProgress(); }));
        EXPECT_EQ(finishedCalls, 1);
        EXPECT_TRUE(checker.isUpdateAvailable());
        EXPECT_EQ(client.urls, std::vector<std::string>{"https://127.0.0.1:1/manifest.json"});
        EXPECT_EQ(client.agents, std::vector<std::string>{"QuillaneHost/1.1.9"});

        // A second check after the first ended; the checker goes while it waits.
        client.hold = true;
        ASSERT_TRUE(checker.checkAsync([&](bool) { ++finishedCalls; }));
        ASSERT_TRUE(eventually([&] { return client.runningGets() == 1; }));
    }
    EXPECT_EQ(finishedCalls, 1);  // a cancelled check reports nothing
    EXPECT_EQ(log.count("Checking for updates..."), 2u);
}

TEST(UpdateNoticeTest, ANewVersionIsHandedOnOnceUnlessDismissed) {
    TempFolder temp;
    Settings settings(temp.path() / "settings.json");
    auto fake = std::make_unique<FakeHttpsClient>();
    FakeHttpsClient& client = *fake;
    UpdateChecker checker(std::move(fake));
    checker.setCurrentVersion("1.1.9");
    UpdateNotice notice;

    EXPECT_FALSE(notice.poll(checker, settings));  // nothing checked yet
    ASSERT_TRUE(checker.check());
    auto shown = notice.poll(checker, settings);
    ASSERT_TRUE(shown);
    EXPECT_EQ(shown->version, "1.2.0");
    EXPECT_FALSE(notice.poll(checker, settings));  // shown already

    client.next.body = R"({"version":"1.3.0","download_page":"https://quillane.app/1.3"})";
    settings.update([](SettingsValues& v) { v.dismissedVersion = "1.3.0"; });
    ASSERT_TRUE(checker.check());
    EXPECT_FALSE(notice.poll(checker, settings));
    settings.update([](SettingsValues& v) { v.dismissedVersion = "1.2.0"; });
    shown = notice.poll(checker, settings);
    ASSERT_TRUE(shown);
    EXPECT_EQ(shown->downloadPage, "https://quillane.app/1.3");

    client.next.body = R"({"version":"1.1.9"})";
    ASSERT_TRUE(checker.check());
    EXPECT_FALSE(notice.poll(checker, settings));
}

TEST(UpdateCheckThreadTest, WithoutACheckerOnlyAWarningIsLogged) {
    LogCapture log;
    TempFolder temp;
    Settings settings(temp.path() / "settings.json");
    startUpdateCheck(nullptr, settings, true);
    EXPECT_TRUE(log.contains("Update checker not initialized"));
    EXPECT_FALSE(std::filesystem::exists(temp.path() / "settings.json"));
}

}  // namespace
