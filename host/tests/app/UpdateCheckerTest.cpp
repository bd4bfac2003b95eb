// The update checker's rules that need no network: versions, the addresses it
// opens, and what the main loop hands on.

#include "app/UpdateChecker.h"

#include "app/HttpsClient.h"
#include "app/Settings.h"
#include "app/UrlOpener.h"
#include "main/UpdateNotice.h"
#include "TestSupport.h"

#include "LogCapture.h"

#include <gtest/gtest.h>


namespace quillane::host::test {

namespace {

TEST(UpdateVersionTest, NewerThanTheRunningVersionFollowsTheVersionTable) {
    // A number too large for an int ends the reading like a part that is not one.
    const std::pair<const char*, bool> cases[] = {
        {"v1.2.0", true}, {"V1.1.10", true}, {"2", true}, {"1.2", true}, {" 1.2", true}, {"+1.2", true},
        {"1.1.9", false}, {"1.1.09", false}, {"abc", false}, {"", false}, {"1.1.9-beta", false}, {"vv2", false},
        {"99999999999.0.0", false}, {"1.99999999999", false}, {"1.1.-1", false},
    };
    for (const auto& [candidate, newer] : cases) EXPECT_EQ(isNewerVersion(candidate, "1.1.9"), newer) << candidate;
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
        "", "file:///etc/passwd", "javascript:alert(1)", "\\\\server\\share\\setup.exe",
        "https://quillane.app/\x01", "https://quillane.app/\nnext", "https://quillane.app/\x7f",
        "https:///etc/passwd", "https:", "ftp://quillane.app/setup", "https://quillane.app/" + std::string(2048, 'a'),
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

// Answers every get() with the manifest set last.
class FakeHttpsClient : public HttpsClient {
public:
    HttpsResponse get(const std::string&, const std::string&, std::size_t) override {
        HttpsResponse response;
        response.outcome = HttpsResponse::Outcome::Complete;
        response.status = 200;
        response.body = body;
        return response;
    }
    void cancel() override {}

    std::string body = R"({"version":"1.2.0"})";
};

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

    client.body = R"({"version":"1.3.0","download_page":"https://quillane.app/1.3"})";
    settings.update([](SettingsValues& v) { v.dismissedVersion = "1.3.0"; });
    ASSERT_TRUE(checker.check());
    EXPECT_FALSE(notice.poll(checker, settings));
    settings.update([](SettingsValues& v) { v.dismissedVersion = "1.2.0"; });
    shown = notice.poll(checker, settings);
    ASSERT_TRUE(shown);
    EXPECT_EQ(shown->downloadPage, "https://quillane.app/1.3");

    client.body = R"({"version":"1.1.9"})";
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

}  // namespace quillane::host::test
