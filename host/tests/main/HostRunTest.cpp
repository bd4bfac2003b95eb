#include "main/HostRun.h"

#include "FakePlatform.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <filesystem>

namespace quillane::host::test {
namespace {

struct Told {
    UserMessageKind kind;
    std::string title;
    std::string text;
};

class HostRunTest : public ::testing::Test {
protected:
    int run() {
        HostServices services{guard, runtime, window, tray, [this] {
                                  journal.push_back("log.path");
                                  if (logPathThrows) throw std::runtime_error("no folder for logs");
                                  return logFile.string();
                              }};
        services.tellUser = [this](UserMessageKind kind, const std::string& title, const std::string& text) {
            journal.push_back("tellUser");
            told.push_back({kind, title, text});
        };
        return runHost(services);
    }

    std::string log() const { return test::readFile(logFile); }

    // Each part found after the one before it.
    static void expectInOrder(const std::string& text, const std::vector<std::string>& parts) {
        std::size_t from = 0;
        for (const auto& part : parts) {
            const auto at = text.find(part, from);
            ASSERT_NE(at, std::string::npos) << "'" << part << "' after position " << from << " in:\n" << text;
            from = at + part.size();
        }
    }

    // Position of an entry in the journal; -1 when absent.
    long at(const std::string& entry) const {
        auto it = std::find(journal.begin(), journal.end(), entry);
        return it == journal.end() ? -1 : static_cast<long>(it - journal.begin());
    }

    test::TempFolder folder;
    std::filesystem::path logFile = folder.path() / "host.log";
    Journal journal;
    FakeSingleInstance guard{journal};
    FakeRuntime runtime{journal};
    FakeWindow window{journal};
    FakeTray tray{journal};
    bool logPathThrows = false;
    std::vector<Told> told;
};

TEST_F(HostRunTest, SecondStartHandsOverAndEndsWithZeroWithoutLogging) {
    guard.first = false;
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(journal, (Journal{"guard.acquire", "guard.handOver"}));
    EXPECT_FALSE(std::filesystem::exists(logFile));
}

TEST_F(HostRunTest, NormalRunStartsInOrderAndTearsDownInReverse) {
    window.turnsLeft = 3;
    EXPECT_EQ(run(), 0);
    const Journal startUp = {"guard.acquire", "log.path", "runtime.initialize", "window.create", "window.show", "tray.add"};
    ASSERT_GE(journal.size(), startUp.size());
    EXPECT_EQ(Journal(journal.begin(), journal.begin() + static_cast<long>(startUp.size())), startUp);
    const Journal tail = {"tray.remove", "window.destroy", "runtime.shutdown", "guard.release"};
    EXPECT_EQ(Journal(journal.end() - static_cast<long>(tail.size()), journal.end()), tail);
    EXPECT_EQ(std::count(journal.begin(), journal.end(), "window.present"), 3);
    EXPECT_EQ(at("window.minimiseInstead"), -1);  // the tray icon exists
    EXPECT_TRUE(told.empty());
    expectInOrder(log(), {"Quillane Host starting...", "Version: 1.1.9", "System tray icon created",
                          "Streaming optimizations active: Priority Boost",
                          "Application initialized, entering main loop...", "Quillane Host exiting"});

    // Logging was shut down at the end of the run, so a second run sets it up anew.
    std::filesystem::remove(logFile);
    window.turnsLeft = 1;
    EXPECT_EQ(run(), 0);
    EXPECT_NE(log().find("Quillane Host starting..."), std::string::npos);
}

TEST_F(HostRunTest, WithoutTrayIconTheWindowMinimisesInsteadOfHiding) {
    tray.available = false;
    EXPECT_EQ(run(), 0);
    EXPECT_GE(at("window.minimiseInstead"), 0);
    EXPECT_EQ(at("tray.remove"), -1);
    expectInOrder(log(), {"[warning] [HostRun.cpp:", "Failed to create system tray icon"});
}

TEST_F(HostRunTest, APlatformWithoutTrayIconsSaysSoOnceWithoutAWarning) {
    tray.platformHasTray = false;
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(at("tray.add"), -1);
    EXPECT_GE(at("window.minimiseInstead"), 0);
    const std::string text = log();
    EXPECT_EQ(text.find("[warning]"), std::string::npos) << text;
    const auto said = text.find("This platform has no notification-area icon");
    ASSERT_NE(said, std::string::npos) << text;
    EXPECT_EQ(text.find("This platform has no notification-area icon", said + 1), std::string::npos);
    const auto lineStart = text.rfind('\n', said) + 1;  // 0 when it is the first line
    EXPECT_NE(text.substr(lineStart, said - lineStart).find("[info] [HostRun.cpp:"), std::string::npos) << text;
}

// Each failure ends the run with 1 after undoing what was set up, in reverse,
// and then tells the user in one fatal-error message.
TEST_F(HostRunTest, FailuresEndWithOneAfterAnOrderedTeardownAndTellTheUser) {
    struct Case {
        const char* what;
        std::function<void()> arrange;
        Journal absent, order;
        std::vector<std::string> told, logged;  // empty `logged`: no log file
    };
    const std::string glfw = "Failed to initialize GLFW: no display";
    const Case cases[] = {
        {"runtime", [&] { runtime.initError = glfw; }, {"window.create", "runtime.shutdown"}, {"guard.release", "tellUser"},
         {glfw, logFile.string()}, {"[error] [HostRun.cpp:", glfw, "Quillane Host exiting"}},
        {"window", [&] { window.createError = "Failed to create D3D11 device"; }, {"window.show", "tray.add"},
         {"window.destroy", "runtime.shutdown", "guard.release", "tellUser"}, {"Failed to create D3D11 device"},
         {"Failed to create D3D11 device", "Quillane Host exiting"}},
        {"loop",
         [&] {
             window.turnsLeft = 5;
             window.presentThrows = true;
         },
         {}, {"window.present", "tray.remove", "window.destroy", "runtime.shutdown", "tellUser"}, {"device lost"},
         {"[critical]", "Unhandled exception: device lost", "Quillane Host exiting"}},
        {"before logging", [&] { logPathThrows = true; }, {"runtime.initialize"}, {"guard.acquire", "tellUser"},
         {"no folder for logs"}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        journal.clear();
        told.clear();
        std::filesystem::remove(logFile);
        runtime.initError = window.createError = "";
        window.turnsLeft = 0;
        window.presentThrows = logPathThrows = false;
        c.arrange();
        EXPECT_EQ(run(), 1);
        for (const auto& entry : c.absent) EXPECT_EQ(at(entry), -1) << entry;
        EXPECT_LE(std::count(journal.begin(), journal.end(), "window.present"), 1);
        for (std::size_t i = 1; i < c.order.size(); ++i)
            EXPECT_LT(at(c.order[i - 1]), at(c.order[i])) << c.order[i - 1] << " before " << c.order[i];
        ASSERT_EQ(told.size(), 1u);
        EXPECT_EQ(told[0].kind, UserMessageKind::Error);
        EXPECT_EQ(told[0].title, "Quillane Host - Fatal Error");
        for (const auto& part : c.told) EXPECT_NE(told[0].text.find(part), std::string::npos) << told[0].text;
        if (c.logged.empty()) EXPECT_FALSE(std::filesystem::exists(logFile));
        else expectInOrder(log(), c.logged);
    }
}

TEST(FormatLastUpdateCheckTest, NamesTheTimeSinceTheLastCheck) {
    const std::int64_t now = 1'800'000'000;
    const std::pair<std::int64_t, const char*> cases[] = {
        {0, "Never"},
        {now, "Just now"},
        {now - 59, "Just now"},
        {now + 300, "Just now"},  // a clock set back
        {now - 60, "1 minutes ago"},
        {now - 3599, "59 minutes ago"},
        {now - 3600, "1 hours ago"},
        {now - 86399, "23 hours ago"},
        {now - 86400, "1 days ago"},
        {now - 10 * 86400 - 5, "10 days ago"},
    };
    for (const auto& [last, text] : cases) EXPECT_EQ(FormatLastUpdateCheck(last, now), text) << last;
}

} // namespace
} // namespace quillane::host
