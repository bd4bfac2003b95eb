// The update check against an HTTPS service on loopback whose certificate,
// made for the test, only the checker under test trusts (on Windows: only the
// test's own Wine prefix).

#include "app/UpdateChecker.h"

#include "app/HttpsClient.h"
#include "app/Settings.h"
#include "TestSupport.h"

#include "Eventually.h"
#include "LocalHttpsServer.h"
#include "LogCapture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>


namespace quillane::host::test {

namespace {

const std::string kManifest =
    R"({"version":"v1.2.0","download_url":"https://quillane.app/QuillaneHost-1.2.0.exe",)"
    R"("download_page":"https://quillane.app/download","release_notes":"Faster.",)"
    R"("release_date":"2026-11-30","required":true,"min_supported_version":"1.0.0","extra":[1,2]})";

class UpdateCheckerHttpsTest : public ::testing::Test {
protected:
    UpdateCheckerHttpsTest() : settings(temp.path() / "settings.json") {
        writeFile(trustedFile, certificate.certificatePem);
        checker = makeChecker(trustedFile);
    }

    std::unique_ptr<UpdateChecker> makeChecker(const std::filesystem::path& caFile) {
        auto made = std::make_unique<UpdateChecker>(createHttpsClient({caFile.string()}));
        made->setCurrentVersion("1.1.9");
        made->setUpdateUrl(server.url());
        return made;
    }

    // startUpdateCheck at the test's clock, waiting for the check to end.
    void checkAt(std::int64_t now, bool force = false) {
        clock = now;
        startUpdateCheck(checker.get(), settings, force, [this] { return clock.load(); });
        ASSERT_TRUE(eventually([&] { return !checker->isCheckInProgress(); }));
    }

    SettingsValues saved() {
        Settings reloaded(temp.path() / "settings.json");
        reloaded.load();
        return reloaded.values();
    }

    LogCapture log;
    TempFolder temp;
    const TestCertificate& certificate = trustedTestCertificate();
    std::filesystem::path trustedFile = temp.path() / "trusted.pem";
    LocalHttpsServer server{certificate};
    Settings settings;
    std::unique_ptr<UpdateChecker> checker;
    std::atomic<std::int64_t> clock{0};
};

TEST_F(UpdateCheckerHttpsTest, ANewerVersionIsReadLoggedAndStamped) {
    server.setReply(httpReply(200, kManifest));
    checkAt(1'800'000'000);

    EXPECT_TRUE(checker->isUpdateAvailable());
    EXPECT_FALSE(checker->lastCheckFailed());
    EXPECT_EQ(checker->getUpdateInfo(), (UpdateInfo{"v1.2.0", "https://quillane.app/QuillaneHost-1.2.0.exe",
                                                     "https://quillane.app/download", "Faster.", "2026-11-30", true,
                                                     "1.0.0"}));
    EXPECT_TRUE(log.contains("Checking for updates..."));
    EXPECT_TRUE(log.contains("Update available: 1.1.9 -> v1.2.0"));
    EXPECT_EQ(saved().lastUpdateCheck, 1'800'000'000);

    // What the request carries: the manifest's path and the user agent.
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].rfind("GET /api/updates/latest.json HTTP/1.1\r\n", 0), 0u) << requests[0];
    EXPECT_NE(requests[0].find("\r\nUser-Agent: QuillaneHost/1.1.9\r\n"), std::string::npos) << requests[0];
}

TEST_F(UpdateCheckerHttpsTest, TheSameVersionIsNoUpdateAndADismissedOneIsNotStamped) {
    server.setReply(httpReply(200, R"({"version":"1.1.9"})"));
    checkAt(1'000'000);
    EXPECT_FALSE(checker->isUpdateAvailable());
    EXPECT_TRUE(log.contains("No update available (current: 1.1.9)"));
    EXPECT_EQ(saved().lastUpdateCheck, 1'000'000);

    settings.updateAndSave([](SettingsValues& v) { v.dismissedVersion = "1.2.0"; });
    server.setReply(httpReply(200, R"({"version":"1.2.0"})"));
    checkAt(2'000'000, true);
    EXPECT_TRUE(checker->isUpdateAvailable());
    EXPECT_EQ(checker->getUpdateInfo().version, "1.2.0");
    EXPECT_FALSE(log.contains("Update available"));
    EXPECT_EQ(saved().lastUpdateCheck, 1'000'000);
    EXPECT_EQ(server.requests().size(), 2u);
}

TEST_F(UpdateCheckerHttpsTest, AnUnforcedCheckWaitsADayAfterTheLastOne) {
    settings.update([](SettingsValues& v) { v.lastUpdateCheck = 5'000'000; });
    server.setReply(httpReply(200, R"({"version":"1.1.9"})"));

    checkAt(5'000'000 + 86'399);
    EXPECT_EQ(server.connections(), 0u);
    EXPECT_FALSE(log.contains("Checking for updates..."));

    checkAt(5'000'000 + 1, true);  // asked for: the day does not matter
    EXPECT_EQ(server.connections(), 1u);

    checkAt(5'000'001 + 86'400);
    EXPECT_EQ(server.connections(), 2u);
    EXPECT_EQ(saved().lastUpdateCheck, 5'086'401);

    // A stamp from the future (the clock was set back) does not hold checks off.
    checkAt(4'000'000);
    EXPECT_EQ(server.connections(), 3u);
    EXPECT_EQ(saved().lastUpdateCheck, 4'000'000);
}

TEST_F(UpdateCheckerHttpsTest, FailuresAreReportedAndKeepTheLastGoodResult) {
    // The good result is read at exactly the size limit, past deep nesting in a key the checker
    // ignores (read and released without recursion).
    const std::string depth(400'000, '[');
    const std::string start = R"({"version":"1.2.0","extra":)" + depth + std::string(depth.size(), ']') +
                              R"(,"release_notes":")";
    const std::string notes(1024 * 1024 - start.size() - 2, 'x');
    server.setReply(httpReply(200, start + notes + "\"}"));
    ASSERT_TRUE(checker->check()) << checker->getLastError();
    const UpdateInfo good = checker->getUpdateInfo();
    EXPECT_EQ(good.releaseNotes, notes);

    HttpsReply truncated;
    truncated.raw = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n{\"version\":";
    struct Case {
        HttpsReply reply;
        std::string error;  // the whole text, or its start when it ends in "..."
    };
    const Case cases[] = {
        {httpReply(403, "forbidden"), "HTTP error: 403 (User-Agent validation failed - ensure app version is set)"},
        {httpReply(404, "{\"version\":\"9.9.9\"}"), "HTTP error: 404 (Update endpoint not found)"},
        {httpReply(500, ""), "HTTP error: 500"},
        {httpReply(200, ""), "Empty response from server"},
        {httpReply(200, "<html>maintenance</html>"), "JSON parse error: [json.exception.parse_error.101]..."},
        {httpReply(200, R"({"version":"1.3.0","download_page":"https://qu)"), "JSON parse error: ..."},
        {httpReply(200, R"({"version":1.3})"), "JSON parse error: [json.exception.type_error.302]..."},
        {httpReply(200, R"({"version":"1.3.0","required":"yes"})"), "JSON parse error: ..."},
        {httpReply(200, std::string(1024 * 1024, '[')), "JSON parse error: ..."},  // no recursion to overflow
        {httpReply(200, R"({"download_page":"https://quillane.app/"})"), "JSON missing 'version' field"},
        {httpReply(200, std::string(1024 * 1024 + 1, ' ')), "Response too large"},
        {httpReply(200, std::string(2 * 1024 * 1024, ' ')), "Response too large"},
        {truncated, "Failed to read HTTP response"},
    };
    for (const auto& c : cases) {
        server.setReply(c.reply);
        EXPECT_FALSE(checker->check()) << c.error;
        const std::string error = checker->getLastError();
        if (c.error.ends_with("...")) {
            EXPECT_EQ(error.rfind(c.error.substr(0, c.error.size() - 3), 0), 0u) << error;
        } else {
            EXPECT_EQ(error, c.error);
        }
        EXPECT_TRUE(log.contains(error));
        EXPECT_TRUE(checker->lastCheckFailed() && checker->isUpdateAvailable()) << c.error;
        EXPECT_EQ(checker->getUpdateInfo(), good) << c.error;
    }

    // Through the background path: logged as a failed check, stamped all the same.
    server.setReply(httpReply(404, ""));
    checkAt(7'000'000);
    EXPECT_TRUE(log.contains("Update check failed: HTTP error: 404 (Update endpoint not found)"));
    EXPECT_EQ(saved().lastUpdateCheck, 7'000'000);
}

TEST_F(UpdateCheckerHttpsTest, AnUntrustedCertificateFailsBeforeAnythingIsSent) {
    LocalHttpsServer stranger{TestCertificate::generate()};
    stranger.setReply(httpReply(200, kManifest));
    auto untrusting = makeChecker(trustedFile);
    untrusting->setUpdateUrl(stranger.url());

    EXPECT_FALSE(untrusting->check());
    // libcurl's CURLE_PEER_FAILED_VERIFICATION; WinHTTP's ERROR_WINHTTP_SECURE_FAILURE, which
    // Wine reports as ERROR_WINHTTP_SECURE_CHANNEL_ERROR.
    const std::string error = untrusting->getLastError();
    if (isWindows()) {
        EXPECT_TRUE(error == "Failed to send HTTP request (error: 12175)" ||
                    error == "Failed to send HTTP request (error: 12157)")
            << error;
    } else {
        EXPECT_EQ(error.rfind("Failed to send HTTP request (error: 60: ", 0), 0u) << error;
    }
    EXPECT_TRUE(stranger.requests().empty());
    EXPECT_EQ(untrusting->getUpdateInfo(), UpdateInfo{});

    // Plain http is refused as well.
    const std::string plain = "http://127.0.0.1:" + std::to_string(server.port()) + "/api/updates/latest.json";
    untrusting->setUpdateUrl(plain);
    EXPECT_FALSE(untrusting->check());
    EXPECT_EQ(untrusting->getLastError().rfind(isWindows() ? "Invalid update address: " + plain
                                                           : "Failed to send HTTP request (error: 1: ",
                                               0),
              0u)
        << untrusting->getLastError();
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(UpdateCheckerHttpsTest, OneCheckAtATimeAndLeavingDuringOneOnASilentServerReturnsWithinASecond) {
    HttpsReply silent;
    silent.kind = HttpsReply::Kind::Silent;
    server.setReply(silent);
    startUpdateCheck(checker.get(), settings, true, [] { return std::int64_t{9'000'000}; });
    ASSERT_TRUE(eventually([&] { return server.connections() == 1; }));
    EXPECT_TRUE(checker->isCheckInProgress());
    EXPECT_FALSE(checker->checkAsync([](bool) {})) << "one check at a time";
    EXPECT_TRUE(log.contains("Update check already in progress"));

    const auto start = std::chrono::steady_clock::now();
    checker.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_FALSE(log.contains("Update check failed"));
    EXPECT_EQ(saved().lastUpdateCheck, 0);
}

}  // namespace

}  // namespace quillane::host::test
