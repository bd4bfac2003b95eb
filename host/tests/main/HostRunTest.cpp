#include "main/HostRun.h"

#include "FakePlatform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace quillane::host {
namespace {

using testing::FakeRuntime;
using testing::FakeSingleInstance;
using testing::FakeTray;
using testing::FakeWindow;
using testing::Journal;

struct Told {
    UserMessageKind kind;
    std::string title;
    std::string text;
};

class HostRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder = std::filesystem::temp_directory_path() /
                 ("qh-hostrun-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
        logFile = folder / "host.log";
    }
    void TearDown() override { std::filesystem::remove_all(folder); }

    int run() {
        HostServices services{guard, runtime, window, tray, [this] {
                                  journal.push_back("log.path");
                                  if (logPathThrows) {
                                      throw std::runtime_error("no folder for logs");
                                  }
                                  return logFile.string();
                              }};
        services.tellUser = [this](UserMessageKind kind, const std::string& title, const std::string& text) {
            journal.push_back("tellUser");
            told.push_back({kind, title, text});
        };
        return runHost(services);
    }

    std::string log() const {
        std::ifstream in(logFile);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // Position of an entry in the journal; -1 when absent.
    long at(const std::string& entry) const {
        auto it = std::find(journal.begin(), journal.end(), entry);
        return it == journal.end() ? -1 : static_cast<long>(it - journal.begin());
    }

    std::filesystem::path folder;
    std::filesystem::path logFile;
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
    Journal startUp = {"guard.acquire", "log.path", "runtime.initialize", "window.create", "window.show", "tray.add"};
    ASSERT_GE(journal.size(), startUp.size());
    EXPECT_EQ(Journal(journal.begin(), journal.begin() + static_cast<long>(startUp.size())), startUp);
    Journal tail = {"tray.remove", "window.destroy", "runtime.shutdown", "guard.release"};
    EXPECT_EQ(Journal(journal.end() - static_cast<long>(tail.size()), journal.end()), tail);
    EXPECT_EQ(std::count(journal.begin(), journal.end(), "window.present"), 3);
    EXPECT_TRUE(told.empty());

    std::string text = log();
    auto starting = text.find("Quillane Host starting...");
    auto version = text.find("Version: 1.1.9");
    auto tray = text.find("System tray icon created");
    auto optimizations = text.find("Streaming optimizations active: Priority Boost");
    auto loop = text.find("Application initialized, entering main loop...");
    auto exiting = text.find("Quillane Host exiting");
    ASSERT_NE(starting, std::string::npos);
    ASSERT_NE(exiting, std::string::npos);
    EXPECT_LT(starting, version);
    EXPECT_LT(version, tray);
    EXPECT_LT(tray, optimizations);
    EXPECT_LT(optimizations, loop);
    EXPECT_LT(loop, exiting);
}

TEST_F(HostRunTest, WithoutTrayIconTheWindowMinimisesInsteadOfHiding) {
    tray.available = false;
    EXPECT_EQ(run(), 0);
    EXPECT_GE(at("window.minimiseInstead"), 0);
    EXPECT_EQ(at("tray.remove"), -1);
    EXPECT_NE(log().find("[warning] [HostRun.cpp:"), std::string::npos);
    EXPECT_NE(log().find("Failed to create system tray icon"), std::string::npos);
}

TEST_F(HostRunTest, WithTrayIconTheWindowKeepsHidingToTheTray) {
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(at("window.minimiseInstead"), -1);
}

TEST_F(HostRunTest, RuntimeFailureEndsWithOneAndTellsTheUser) {
    runtime.initError = "Failed to initialize GLFW: no display";
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(at("window.create"), -1);
    EXPECT_EQ(at("runtime.shutdown"), -1);
    EXPECT_GE(at("guard.release"), 0);
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0].kind, UserMessageKind::Error);
    EXPECT_EQ(told[0].title, "Quillane Host - Fatal Error");
    EXPECT_NE(told[0].text.find("Failed to initialize GLFW: no display"), std::string::npos);
    EXPECT_NE(told[0].text.find(logFile.string()), std::string::npos);
    std::string text = log();
    EXPECT_NE(text.find("[error] [HostRun.cpp:"), std::string::npos);
    EXPECT_NE(text.find("Failed to initialize GLFW: no display"), std::string::npos);
    EXPECT_NE(text.find("Quillane Host exiting"), std::string::npos);
}

TEST_F(HostRunTest, WindowFailureUndoesWindowThenRuntimeBeforeTellingTheUser) {
    window.createError = "Failed to create D3D11 device";
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(at("window.show"), -1);
    EXPECT_EQ(at("tray.add"), -1);
    ASSERT_GE(at("window.destroy"), 0);
    EXPECT_LT(at("window.destroy"), at("runtime.shutdown"));
    EXPECT_LT(at("runtime.shutdown"), at("guard.release"));
    EXPECT_LT(at("guard.release"), at("tellUser"));
    ASSERT_EQ(told.size(), 1u);
    EXPECT_NE(told[0].text.find("Failed to create D3D11 device"), std::string::npos);
}

TEST_F(HostRunTest, ExceptionInTheLoopEndsWithOneAfterAnOrderedTeardown) {
    window.turnsLeft = 5;
    window.presentThrows = true;
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(std::count(journal.begin(), journal.end(), "window.present"), 1);
    EXPECT_LT(at("tray.remove"), at("window.destroy"));
    EXPECT_LT(at("window.destroy"), at("runtime.shutdown"));
    EXPECT_LT(at("runtime.shutdown"), at("tellUser"));
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0].title, "Quillane Host - Fatal Error");
    EXPECT_EQ(told[0].text, "device lost");
    std::string text = log();
    auto critical = text.find("Unhandled exception: device lost");
    ASSERT_NE(critical, std::string::npos);
    EXPECT_NE(text.rfind("[critical]", critical), std::string::npos);
    EXPECT_LT(critical, text.find("Quillane Host exiting"));
}

TEST_F(HostRunTest, FailureBeforeLoggingStillTellsTheUser) {
    logPathThrows = true;
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(at("runtime.initialize"), -1);
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0].text, "no folder for logs");
    EXPECT_FALSE(std::filesystem::exists(logFile));
}

TEST_F(HostRunTest, SecondRunInOneProcessLogsAgain) {
    // Logging is shut down at the end of each run, so a later run sets it up anew.
    EXPECT_EQ(run(), 0);
    std::filesystem::remove(logFile);
    window.turnsLeft = 1;
    EXPECT_EQ(run(), 0);
    EXPECT_NE(log().find("Quillane Host starting..."), std::string::npos);
}

TEST(FormatLastUpdateCheckTest, NamesTheTimeSinceTheLastCheck) {
    const std::int64_t now = 1'800'000'000;
    EXPECT_EQ(FormatLastUpdateCheck(0, now), "Never");
    EXPECT_EQ(FormatLastUpdateCheck(now, now), "Just now");
    EXPECT_EQ(FormatLastUpdateCheck(now - 59, now), "Just now");
    EXPECT_EQ(FormatLastUpdateCheck(now + 300, now), "Just now");  // a clock set back
    EXPECT_EQ(FormatLastUpdateCheck(now - 60, now), "1 minutes ago");
    EXPECT_EQ(FormatLastUpdateCheck(now - 3599, now), "59 minutes ago");
    EXPECT_EQ(FormatLastUpdateCheck(now - 3600, now), "1 hours ago");
    EXPECT_EQ(FormatLastUpdateCheck(now - 86399, now), "23 hours ago");
    EXPECT_EQ(FormatLastUpdateCheck(now - 86400, now), "1 days ago");
    EXPECT_EQ(FormatLastUpdateCheck(now - 10 * 86400 - 5, now), "10 days ago");
}

} // namespace
} // namespace quillane::host
