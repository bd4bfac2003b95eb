#include "main/UpdateNotice.h"

#include "LogCapture.h"

#include "app/HttpsClient.h"
#include "app/Settings.h"
#include "ui/UIBackend.h"
#include "ui/UIManager.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

namespace quillane::host::test {
namespace {

// Answers each GET with `reply` once the test opens the gate.
class GatedClient final : public HttpsClient {
public:
    HttpsResponse get(const std::string&, const std::string&, std::size_t) override {
        std::unique_lock lock(mutex);
        opened.wait(lock, [this] { return open || cancelled; });
        open = false;
        if (cancelled) return HttpsResponse{HttpsResponse::Outcome::Cancelled, 0, {}, {}};
        return reply;
    }
    void cancel() override {
        std::lock_guard lock(mutex);
        cancelled = true;
        opened.notify_all();
    }
    void answer(HttpsResponse response) {
        std::lock_guard lock(mutex);
        reply = std::move(response);
        open = true;
        opened.notify_all();
    }

private:
    std::mutex mutex;
    std::condition_variable opened;
    HttpsResponse reply;
    bool open = false;
    bool cancelled = false;
};

class UpdateNoticeTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto owned = std::make_unique<GatedClient>();
        client = owned.get();
        checker = std::make_unique<UpdateChecker>(std::move(owned));
        checker->setCurrentVersion("1.1.9");
        checker->setUpdateUrl("https://127.0.0.1/api/updates/latest.json");
        // The UI's "Check Now" handler as the host installs it.
        ui.onCheckForUpdates = [this] {
            ui.updateCheckInProgress = true;
            startUpdateCheck(checker.get(), settings, true, [this] { return now; });
        };
    }
    void TearDown() override {
        checker.reset();
        std::filesystem::remove_all(folder);
    }

    void waitForTheCheck() {
        for (int i = 0; i < 500 && checker->isCheckInProgress(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_FALSE(checker->isCheckInProgress());
    }

    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("qh-update-notice-" +
        std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    Settings settings{folder / "settings.json"};
    GatedClient* client = nullptr;
    std::unique_ptr<UpdateChecker> checker;
    UIManager ui{nullptr};
    std::int64_t now = 1'800'000'000;
};

TEST_F(UpdateNoticeTest, CheckingLastsUntilTheCheckEndsThenShowsItsOutcome) {
    UpdateNotice notice;
    UpdateNotice::showCheckState(checker.get(), settings, ui, now);
    EXPECT_EQ(ui.lastUpdateCheckText, "Never");

    ui.onCheckForUpdates();
    // However many turns pass, "Checking..." stays while the service has not answered.
    for (int turn = 0; turn < 3; ++turn) {
        notice.offer(checker.get(), settings, ui, now);
        EXPECT_TRUE(ui.updateCheckInProgress);
    }
    HttpsResponse manifest{HttpsResponse::Outcome::Complete, 200,
                           R"({"version":"1.2.0","download_page":"https://quillane.app/1.2"})", {}};
    client->answer(manifest);
    waitForTheCheck();
    now += 90;
    notice.offer(checker.get(), settings, ui, now);
    EXPECT_FALSE(ui.updateCheckInProgress);
    EXPECT_EQ(ui.lastUpdateCheckText, "1 minutes ago");
    ASSERT_TRUE(ui.isUpdateNotificationShown());

    // A failed check reads as failed, not as a fresh success.
    ui.onCheckForUpdates();
    client->answer(HttpsResponse{HttpsResponse::Outcome::Failed, 0, {}, "connection refused"});
    waitForTheCheck();
    now += 150;
    UpdateNotice::showCheckState(checker.get(), settings, ui, now);
    EXPECT_FALSE(ui.updateCheckInProgress);
    EXPECT_EQ(ui.lastUpdateCheckText, "Failed (2 minutes ago)");

    // Without a checker nothing runs: a click's "Checking..." ends at the next look.
    ui.updateCheckInProgress = true;
    UpdateNotice::showCheckState(nullptr, settings, ui, now);
    EXPECT_FALSE(ui.updateCheckInProgress);
    EXPECT_EQ(ui.lastUpdateCheckText, "2 minutes ago");
}

TEST_F(UpdateNoticeTest, AVersionIsOfferedOnceAndNotAfterItWasDismissed) {
    test::LogCapture log;
    UpdateNotice notice;
    ui.onCheckForUpdates();
    client->answer({HttpsResponse::Outcome::Complete, 200, R"({"version":"1.2.0"})", {}});
    waitForTheCheck();
    settings.update([](SettingsValues& v) { v.dismissedVersion = "1.2.0"; });
    notice.offer(checker.get(), settings, ui, now);
    EXPECT_FALSE(ui.isUpdateNotificationShown());
    EXPECT_FALSE(log.contains("Update notification set"));

    settings.update([](SettingsValues& v) { v.dismissedVersion.clear(); });
    notice.offer(checker.get(), settings, ui, now);
    EXPECT_TRUE(ui.isUpdateNotificationShown());
    EXPECT_EQ(log.count("Update notification set: v1.2.0"), 1u);
}

TEST(LastUpdateCheckTextTest, SuccessFailureAndNever) {
    EXPECT_EQ(lastUpdateCheckText(false, 0, 100), "Never");
    EXPECT_EQ(lastUpdateCheckText(true, 0, 100), "Failed");
    EXPECT_EQ(lastUpdateCheckText(false, 1000, 1059), "Just now");
    EXPECT_EQ(lastUpdateCheckText(true, 1000, 1000 + 7200), "Failed (2 hours ago)");
}

}  // namespace
}  // namespace quillane::host::test
