// InputInjector::resizeWindow against a scripted desktop: the outer size, the
// minimum tracking size, the position and every failure with its log line.
#include <gtest/gtest.h>

#include <memory>

#include "FakeInputPlatform.h"
#include "LogCapture.h"
#include "input/InputInjector.h"

namespace quillane::host {
namespace {

using test::FakeInputPlatform;
using test::LogCapture;
using Calls = std::vector<std::string>;

class Resize : public ::testing::Test {
protected:
    std::shared_ptr<FakeInputPlatform> platform = std::make_shared<FakeInputPlatform>();
    InputInjector injector{platform};
    LogCapture log;

    bool errorLogged(std::string_view text) const {
        for (const auto& e : log.matching(text))
            if (e.level == spdlog::level::err && e.text == text) return true;
        return false;
    }
};

TEST_F(Resize, OuterSizeIsTheClientSizeGrownByTheFrameAndThePositionStays) {
    ASSERT_TRUE(injector.resizeWindow(0x1234, 800, 600, true));
    ASSERT_EQ(platform->adjusted.size(), 1u);
    EXPECT_EQ(platform->adjusted[0].left, 0);
    EXPECT_EQ(platform->adjusted[0].top, 0);
    EXPECT_EQ(platform->adjusted[0].right, 800);
    EXPECT_EQ(platform->adjusted[0].bottom, 600);
    ASSERT_EQ(platform->positions.size(), 1u);
    const auto& p = platform->positions[0];
    EXPECT_EQ(p.window, 0x1234u);
    EXPECT_EQ(p.outer.width, 816);
    EXPECT_EQ(p.outer.height, 639);
    EXPECT_TRUE(p.keepPosition);
    EXPECT_EQ(p.x, 100);
    EXPECT_EQ(p.y, 50);
    EXPECT_TRUE(log.contains("Window resized to 816x639 (client: 800x600)"));
    // The steps in their order; the screen is not consulted when the position stays.
    EXPECT_EQ(platform->calls,
              (Calls{"isWindow", "windowRect", "adjustClientRect", "minimumTrackingSize", "setWindowPos"}));
}

TEST_F(Resize, MinimumTrackingWidthWinsOverASmallerOuterWidth) {
    platform->frame = WindowRect{0, 0, 0, 0};
    platform->minimum = WindowSize{1000, 100};
    ASSERT_TRUE(injector.resizeWindow(0x1234, 800, 600, true));
    ASSERT_EQ(platform->positions.size(), 1u);
    EXPECT_EQ(platform->positions[0].outer.width, 1000);
    EXPECT_EQ(platform->positions[0].outer.height, 600);  // the smaller minimum height changes nothing
    // The log names the outer size that was set and the client size that was asked for.
    EXPECT_TRUE(log.contains("Window resized to 1000x600 (client: 800x600)"));
}

TEST_F(Resize, MinimumIncludesTheFrameAndAppliesPerDimension) {
    platform->minimum = WindowSize{0, 700};
    ASSERT_TRUE(injector.resizeWindow(0x1234, 200, 100, true));
    ASSERT_EQ(platform->positions.size(), 1u);
    EXPECT_EQ(platform->positions[0].outer.width, 216);  // no minimum width: the frame only
    EXPECT_EQ(platform->positions[0].outer.height, 700);
}

TEST_F(Resize, WithoutKeepPositionTheWindowIsCentredOnThePrimaryScreen) {
    ASSERT_TRUE(injector.resizeWindow(0x1234, 800, 600, false));
    ASSERT_EQ(platform->positions.size(), 1u);
    const auto& p = platform->positions[0];
    EXPECT_FALSE(p.keepPosition);
    EXPECT_EQ(p.x, (1920 - 816) / 2);
    EXPECT_EQ(p.y, 220);  // (1080 - 639) / 2 = 220.5, truncated
    EXPECT_EQ(platform->calls, (Calls{"isWindow", "windowRect", "adjustClientRect", "minimumTrackingSize",
                                      "primaryScreenSize", "setWindowPos"}));
}

TEST_F(Resize, AWindowLargerThanTheScreenIsCentredWithTruncationTowardZero) {
    platform->frame = WindowRect{0, 0, 0, 0};
    platform->screen = WindowSize{800, 600};
    ASSERT_TRUE(injector.resizeWindow(0x1234, 1001, 603, false));
    ASSERT_EQ(platform->positions.size(), 1u);
    EXPECT_EQ(platform->positions[0].x, -100);  // -201 / 2
    EXPECT_EQ(platform->positions[0].y, -1);    // -3 / 2
}

TEST_F(Resize, NullHandleIsRefusedWithoutTouchingTheDesktop) {
    EXPECT_FALSE(injector.resizeWindow(0, 800, 600, true));
    EXPECT_TRUE(errorLogged("Invalid window handle for resize"));
    EXPECT_TRUE(platform->calls.empty());
}

TEST_F(Resize, AHandleThatIsNoWindowIsRefused) {
    EXPECT_FALSE(injector.resizeWindow(0x9999, 800, 600, true));
    EXPECT_TRUE(errorLogged("Invalid window handle for resize"));
    EXPECT_EQ(platform->calls, Calls{"isWindow"});
}

TEST_F(Resize, FailedWindowRectReportsTheErrorCode) {
    platform->rectError = 1400;
    EXPECT_FALSE(injector.resizeWindow(0x1234, 800, 600, true));
    EXPECT_TRUE(errorLogged("Failed to get window rect: 1400"));
    EXPECT_TRUE(platform->positions.empty());
}

TEST_F(Resize, FailedSetWindowPosReportsTheErrorCodeAndNoSuccess) {
    platform->setPosError = 5;
    EXPECT_FALSE(injector.resizeWindow(0x1234, 800, 600, true));
    EXPECT_TRUE(errorLogged("SetWindowPos failed: 5"));
    EXPECT_FALSE(log.contains("Window resized to"));
}

TEST_F(Resize, SizesBeyondWhatAWindowCanHaveAreRefused) {
    EXPECT_FALSE(injector.resizeWindow(0x1234, 0x80000000u, 600, true));
    EXPECT_FALSE(injector.resizeWindow(0x1234, 800, 32768, true));
    EXPECT_TRUE(platform->positions.empty());
    EXPECT_EQ(log.count("is too large for a window"), 2u);
    // The largest side still goes through.
    platform->frame = WindowRect{0, 0, 0, 0};
    ASSERT_TRUE(injector.resizeWindow(0x1234, 32767, 1, true));
    EXPECT_EQ(platform->positions.back().outer.width, 32767);
}

TEST_F(Resize, AnInjectorWithoutPlatformRefuses) {
    InputInjector bare{nullptr};
    EXPECT_FALSE(bare.resizeWindow(0x1234, 800, 600, true));
    EXPECT_TRUE(errorLogged("Invalid window handle for resize"));
}

}  // namespace
}  // namespace quillane::host
