// InputInjector::resizeWindow against a scripted desktop.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "FakeInputPlatform.h"
#include "LogCapture.h"
#include "input/InputInjector.h"

namespace quillane::host::test {
namespace {

using test::FakeInputPlatform;
using test::LogCapture;
using Calls = std::vector<std::string>;

// A scripted desktop set up by `arrange`, with an injector on it.
struct Desk {
    explicit Desk(const std::function<void(FakeInputPlatform&)>& arrange) { arrange(*platform); }
    std::shared_ptr<FakeInputPlatform> platform = std::make_shared<FakeInputPlatform>();
    InputInjector injector{platform};
    LogCapture log;
};

const Calls kKeptPlace = {"isWindow", "windowRect", "adjustClientRect", "minimumTrackingSize", "setWindowPos"};
const Calls kCentred = {"isWindow",           "windowRect",        "adjustClientRect",
                        "minimumTrackingSize", "primaryScreenSize", "setWindowPos"};

// The outer size is the client size grown by the frame, at least the minimum
// tracking size per dimension; the position stays or centres the window on the
// primary screen (truncated toward zero).
TEST(Resize, OuterSizeAndPositionFollowFrameMinimumAndScreen) {
    struct Case {
        const char* what;
        std::function<void(FakeInputPlatform&)> desktop;
        std::uint32_t width, height;
        bool keep;
        std::int32_t outerWidth, outerHeight, x, y;
        Calls calls;
    };
    const auto noFrame = [](FakeInputPlatform& p) { p.frame = WindowRect{0, 0, 0, 0}; };
    const Case cases[] = {
        {"in place", [](FakeInputPlatform&) {}, 800, 600, true, 816, 639, 100, 50, kKeptPlace},
        {"minimum width wins",
         [&](FakeInputPlatform& p) { noFrame(p), p.minimum = WindowSize{1000, 100}; }, 800, 600, true, 1000, 600, 100, 50,
         kKeptPlace},
        {"minimum height includes the frame", [](FakeInputPlatform& p) { p.minimum = WindowSize{0, 700}; }, 200, 100,
         true, 216, 700, 100, 50, kKeptPlace},
        {"centred", [](FakeInputPlatform&) {}, 800, 600, false, 816, 639, (1920 - 816) / 2, 220, kCentred},
        {"larger than the screen", [&](FakeInputPlatform& p) { noFrame(p), p.screen = WindowSize{800, 600}; }, 1001,
         603, false, 1001, 603, -100, -1, kCentred},
        {"largest side", noFrame, 32767, 1, true, 32767, 1, 100, 50, kKeptPlace},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Desk desk(c.desktop);
        auto& platform = desk.platform;
        ASSERT_TRUE(desk.injector.resizeWindow(0x1234, c.width, c.height, c.keep));
        ASSERT_EQ(platform->adjusted.size(), 1u);
        const auto& a = platform->adjusted[0];
        EXPECT_EQ(std::vector<std::int32_t>({a.left, a.top, a.right, a.bottom}),
                  std::vector<std::int32_t>({0, 0, static_cast<std::int32_t>(c.width), static_cast<std::int32_t>(c.height)}));
        ASSERT_EQ(platform->positions.size(), 1u);
        const auto& p = platform->positions[0];
        EXPECT_EQ(p.window, 0x1234u);
        EXPECT_EQ(p.keepPosition, c.keep);
        EXPECT_EQ(std::vector<std::int32_t>({p.outer.width, p.outer.height, p.x, p.y}),
                  std::vector<std::int32_t>({c.outerWidth, c.outerHeight, c.x, c.y}));
        EXPECT_EQ(platform->calls, c.calls);
        EXPECT_TRUE(desk.log.contains(fmt::format("Window resized to {}x{} (client: {}x{})", c.outerWidth, c.outerHeight,
                                             c.width, c.height)));
    }
}

// Each failure is refused with its error line and no success line.
TEST(Resize, FailuresAreRefusedWithTheirErrorLine) {
    struct Case {
        std::function<void(FakeInputPlatform&)> desktop;
        NativeWindow window;
        std::uint32_t width, height;
        std::string line;
        std::size_t positions;
    };
    const Case cases[] = {
        {[](FakeInputPlatform&) {}, 0, 800, 600, "Invalid window handle for resize", 0},
        {[](FakeInputPlatform&) {}, 0x9999, 800, 600, "Invalid window handle for resize", 0},
        {[](FakeInputPlatform& p) { p.rectError = 1400; }, 0x1234, 800, 600, "Failed to get window rect: 1400", 0},
        {[](FakeInputPlatform& p) { p.setPosError = 5; }, 0x1234, 800, 600, "SetWindowPos failed: 5", 1},
        {[](FakeInputPlatform&) {}, 0x1234, 0x80000000u, 600, "Client size 2147483648x600 is too large for a window", 0},
        {[](FakeInputPlatform&) {}, 0x1234, 800, 32768, "Client size 800x32768 is too large for a window", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        Desk desk(c.desktop);
        auto& platform = desk.platform;
        EXPECT_FALSE(desk.injector.resizeWindow(c.window, c.width, c.height, true));
        const auto lines = desk.log.matching(c.line);
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                                [&](const auto& e) { return e.level == spdlog::level::err && e.text == c.line; }));
        EXPECT_EQ(platform->positions.size(), c.positions);
        EXPECT_FALSE(desk.log.contains("Window resized to"));
        // A null handle never reaches the desktop; another stops at the question whether it is a window.
        if (c.window != 0x1234) {
            EXPECT_EQ(platform->calls, c.window == 0 ? Calls{} : Calls{"isWindow"});
        }
    }
    LogCapture log;
    EXPECT_FALSE(InputInjector{nullptr}.resizeWindow(0x1234, 800, 600, true));
    EXPECT_TRUE(log.contains("Invalid window handle for resize"));
}

}  // namespace
}  // namespace quillane::host::test
