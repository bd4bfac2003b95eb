// InputInjector's mapping, buttons, keys and text, and FocusManager's strategies, against a
// scripted desktop that records every input it is handed.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <tuple>

#include "FakeInputPlatform.h"
#include "LogCapture.h"
#include "input/FocusManager.h"
#include "input/InputInjector.h"

namespace quillane::host::test {
namespace {

using test::FakeInputPlatform;
using test::LogCapture;
using Kind = SyntheticInput::Kind;

struct Desk {
    Desk() { injector.initialize(InputInjectorConfig{}); }
    // Everything sent, flattened, then forgotten.
    std::vector<SyntheticInput> take() {
        std::vector<SyntheticInput> all;
        for (const auto& call : platform->sent) all.insert(all.end(), call.begin(), call.end());
        platform->sent.clear();
        return all;
    }
    std::shared_ptr<FakeInputPlatform> platform = std::make_shared<FakeInputPlatform>();
    InputInjector injector{platform};
    LogCapture log;
};

using KeyList = std::vector<std::pair<std::uint16_t, std::uint32_t>>;

// (vk, flags) of each keyboard input.
KeyList keys(const std::vector<SyntheticInput>& inputs) {
    KeyList out;
    for (const auto& in : inputs)
        if (in.kind == Kind::Keyboard) out.emplace_back(in.vk, in.flags);
    return out;
}

constexpr std::uint32_t kUp = key_flags::kKeyUp;
constexpr std::uint32_t kExt = key_flags::kExtendedKey;

// Window-relative units map onto the target's rectangle, then to absolute units over the virtual
// screen; the numbers are the documented ones, including negative virtual-screen origins.
TEST(InputMapping, MovesMapThroughTheWindowAndTheVirtualScreen) {
    struct Case {
        const char* what;
        VirtualScreen screen;
        std::optional<WindowRect> window;
        NativeWindow target;
        std::uint16_t x, y;
        std::int32_t dx, dy;      // absolute units sent
        std::int32_t lastX, lastY; // where a following button lands (screen point)
    };
    const Case cases[] = {
        {"window centre top", {0, 0, 1920, 1080}, WindowRect{100, 50, 900, 650}, 0x1234, 32768, 0, 17066, 3034, 500, 50},
        {"window right edge", {0, 0, 1920, 1080}, WindowRect{100, 50, 900, 650}, 0x1234, 65535, 65535, 30720, 39442, 900, 650},
        {"screen centre", {0, 0, 1920, 1080}, WindowRect{0, 0, 1920, 1080}, 0x1234, 32767, 32767, 32768, 32768, 960, 540},
        {"left monitor origin", {-1920, 0, 3840, 1080}, WindowRect{-1920, 0, 1920, 1080}, 0x1234, 32768, 0, 32768, 0, 0, 0},
        // Invalid metrics: coordinates pass unchanged.
        {"no metrics", {0, 0, 0, 0}, WindowRect{100, 50, 900, 650}, 0x1234, 32768, 0, 500, 50, 500, 50},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Desk desk;
        desk.platform->screenMetrics = c.screen;
        desk.platform->mapping = c.window;
        desk.injector.updateScreenMetrics();
        desk.injector.setTargetWindow(c.target);
        desk.injector.injectMouseMove(c.x, c.y);
        auto sent = desk.take();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].flags, 0xC001u);
        EXPECT_EQ(std::tie(sent[0].dx, sent[0].dy), std::tie(c.dx, c.dy));

        // The button that follows is sent at the stored point, moved there first.
        desk.injector.injectMouseButton(0, true);
        sent = desk.take();
        ASSERT_EQ(sent.size(), 2u);
        desk.injector.injectMouseButtonAt(c.lastX, c.lastY, 0, false);
        const auto expected = desk.take();
        EXPECT_EQ(std::tie(sent[0].dx, sent[0].dy), std::tie(expected[0].dx, expected[0].dy));
    }
}

// Without a target, or with one whose rectangle cannot be read (it is gone), a move is dropped:
// never guessed onto the whole desktop.
TEST(InputMapping, MovesWithoutALiveTargetAreDropped) {
    for (const bool withTarget : {false, true}) {
        Desk desk;
        if (withTarget) {
            desk.injector.setTargetWindow(0x1234);
            desk.platform->mapping = std::nullopt;
        }
        desk.injector.injectMouseMove(16384, 65535);
        EXPECT_TRUE(desk.take().empty()) << withTarget;
        EXPECT_FALSE(desk.injector.windowPoint(16384, 65535).has_value());
    }
}

TEST(InputMapping, ScreenPointsBecomeClampedAbsoluteUnits) {
    Desk desk;
    const std::tuple<std::int32_t, std::int32_t, std::int32_t, std::int32_t> cases[] = {
        {960, 540, 32768, 32768}, {-5, 0, 0, 0}, {5000, 1080, 65535, 65535}, {0, 1079, 0, 65474}};
    for (const auto& [px, py, ax, ay] : cases) {
        desk.injector.injectMouseButtonAt(px, py, 7, true);
        const auto sent = desk.take();
        ASSERT_EQ(sent.size(), 1u) << "button 7 sends only the move";
        EXPECT_EQ(std::tie(sent[0].dx, sent[0].dy), std::tie(ax, ay)) << px << "," << py;
    }
}

// Button table, X buttons with their data, wheel data sign-extended, and relative mode.
TEST(InputButtons, FlagsDataAndWheel) {
    const std::tuple<std::uint8_t, std::uint32_t, std::uint32_t, std::int32_t> table[] = {
        {0, 0x2, 0x4, 0}, {1, 0x8, 0x10, 0}, {2, 0x20, 0x40, 0}, {3, 0x80, 0x100, 1}, {4, 0x80, 0x100, 2}};
    Desk desk;
    for (const auto& [button, down, up, data] : table) {
        desk.injector.injectMouseButton(button, true);
        desk.injector.injectMouseButton(button, false);
        const auto sent = desk.take();
        ASSERT_EQ(sent.size(), 4u);
        EXPECT_EQ(sent[1].flags, down);
        EXPECT_EQ(sent[3].flags, up);
        EXPECT_EQ(sent[1].data, data);
    }
    desk.injector.injectMouseWheel(-120);
    const auto wheel = desk.take();
    ASSERT_EQ(wheel.size(), 1u);
    EXPECT_EQ(wheel[0].flags, 0x800u);
    EXPECT_EQ(static_cast<std::uint32_t>(wheel[0].data), 0xFFFFFF88u);

    Desk relative;
    relative.injector.initialize(InputInjectorConfig{false, 1.5f, true});
    relative.injector.injectMouseMove(10, 3);
    const auto moved = relative.take();
    EXPECT_EQ(std::tie(moved[0].flags, moved[0].dx, moved[0].dy), std::make_tuple(1u, 15, 4));
}

// Modifiers are brought into the wanted state one call each, in the order Shift, Ctrl, Alt, Win;
// the fourteen extended keys carry their flag.
TEST(InputKeys, ModifierSequencesAndExtendedKeys) {
    Desk desk;
    desk.injector.injectKey(0x41, true, 0x05);
    EXPECT_EQ(keys(desk.take()), (KeyList{{0x10, 0}, {0x12, 0}, {0x41, 0}}));
    desk.injector.injectKey(0x41, false, 0);
    EXPECT_EQ(keys(desk.take()), (KeyList{{0x10, kUp}, {0x12, kUp}, {0x41, kUp}}));
    desk.injector.injectKey(0x42, true, 0x0A);
    EXPECT_EQ(keys(desk.take()), (KeyList{{0x11, 0}, {0x5B, 0}, {0x42, 0}}));

    const std::set<int> extendedKeys{0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28, 0x2D, 0x2E, 0x6F, 0x90, 0xA3, 0xA5};
    for (int vk = 0; vk < 256; ++vk) {
        desk.injector.injectKey(static_cast<std::uint8_t>(vk), true, 0x0A);
        const auto sent = desk.take();
        ASSERT_EQ(sent.size(), 1u);
        const bool extended = extendedKeys.count(vk) != 0;
        EXPECT_EQ((sent[0].flags & kExt) != 0, extended) << vk;
        EXPECT_EQ(sent[0].scan, vk + 0x100) << "the platform's scan code";
    }
}

// Text goes as a Unicode press and release, each sent alone, with modifiers untouched; on the
// video road the character is the record's code.
TEST(InputKeys, TextCharactersAreUnicodeKeyPairs) {
    Desk desk;
    desk.injector.injectKey(0x41, true, 0x01);
    desk.take();
    desk.injector.injectUnicodeChar(0x20AC);
    desk.injector.injectUnicodeChar(0xE9);
    ASSERT_EQ(desk.platform->sent.size(), 4u);
    const std::tuple<std::uint16_t, std::uint32_t> expected[] = {
        {0x20AC, 0x4}, {0x20AC, 0x6}, {0xE9, 0x4}, {0xE9, 0x6}};
    for (std::size_t i = 0; i < 4; ++i) {
        ASSERT_EQ(desk.platform->sent[i].size(), 1u);
        EXPECT_EQ(std::tie(desk.platform->sent[i][0].scan, desk.platform->sent[i][0].flags), expected[i]);
    }
}

// Everything the injector pressed is released, once; a short insert is a warning.
TEST(InputRelease, ReleaseAllLetsGoOfKeysModifiersAndButtons) {
    Desk desk;
    desk.injector.injectKey(0x25, true, 0x03);
    desk.injector.injectKey(0x41, true, 0x03);
    desk.injector.injectKey(0x42, true, 0x03);
    desk.injector.injectKey(0x42, false, 0x03);
    desk.injector.injectMouseButton(0, true);
    desk.injector.injectMouseButton(4, true);
    desk.take();
    desk.injector.releaseAll();
    const auto released = desk.take();
    EXPECT_EQ(keys(released), (KeyList{{0x25, kUp | kExt}, {0x41, kUp}, {0x10, kUp}, {0x11, kUp}}));
    ASSERT_EQ(released.size(), 6u);
    EXPECT_EQ(std::tie(released[4].flags, released[4].data), std::make_tuple(0x4u, 0));
    EXPECT_EQ(std::tie(released[5].flags, released[5].data), std::make_tuple(0x100u, 2));
    desk.injector.releaseAll();
    EXPECT_TRUE(desk.take().empty());

    desk.platform->insertLimit = 1;
    desk.injector.injectMouseButton(0, true);
    EXPECT_EQ(desk.log.count("SendInput: sent 1 of 2 inputs"), 1u);

    // A key the desktop refused is not held, so nothing is released for it.
    desk.injector.releaseAll();
    desk.take();
    desk.platform->insertLimit = 0;
    desk.injector.injectKey(0xFF, true, 0);
    desk.platform->insertLimit = ~0u;
    desk.take();
    desk.injector.releaseAll();
    EXPECT_TRUE(keys(desk.take()).empty());
}

// ---- FocusManager -------------------------------------------------------------

struct Focus {
    explicit Focus(FocusManagerConfig config = {10, 10, false}) { manager.initialize(config); }
    std::shared_ptr<FakeInputPlatform> platform = std::make_shared<FakeInputPlatform>();
    FocusManager manager{platform};
    LogCapture log;
};

using Calls = std::vector<std::string>;

TEST(FocusStrategies, EachStepAndItsResult) {
    const Calls plain{"isWindow", "showWindow(show)", "bringToTop", "setForeground"};
    Calls attached = plain;
    attached.insert(attached.end(), {"attach", "bringToTop", "setForeground", "setFocus", "setActiveWindow", "detach"});
    struct Case {
        const char* what;
        NativeWindow foreground;
        bool iconic;
        int foregroundAfterSetForeground;
        std::tuple<bool, std::uint32_t, std::uint32_t> result;  // success, strategy, error
        Calls calls;
        std::vector<std::int32_t> sleeps;
    };
    const Case cases[] = {
        {"in front through a window with the same root", 0x5678, false, 1, {true, 0, 0}, {"isWindow"}, {}},
        {"minimised: in front after the restore", 0, true, 1, {true, 1, 0}, {"isWindow", "showWindow(restore)"}, {10}},
        {"the plain request works at once", 0x9999, false, 1, {true, 2, 0}, plain, {}},
        {"ten polls of 10 ms, then the attach step works", 0x9999, false, 2, {true, 3, 0}, attached,
         std::vector<std::int32_t>(10, 10)},
        {"nothing works: ten plain polls and five attached ones", 0x9999, false, 0, {false, 0, 5}, attached,
         std::vector<std::int32_t>(15, 10)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Focus f;
        f.platform->foreground = c.foreground;
        f.platform->roots[0x5678] = 0x1234;
        f.platform->iconic = c.iconic;
        f.platform->focusAfterRestore = c.iconic;
        f.platform->foregroundAfterSetForeground = c.foregroundAfterSetForeground;
        std::string hint;
        f.manager.setFocusFailedCallback([&](NativeWindow, const std::string& h) { hint = h; });
        const FocusResult r = f.manager.focusWindow(0x1234);
        EXPECT_EQ(std::make_tuple(r.success, r.strategy, r.errorCode), c.result);
        EXPECT_EQ(f.platform->calls, c.calls);
        EXPECT_EQ(f.platform->sleeps, c.sleeps);
        EXPECT_EQ(hint, r.success ? "" : "Click inside this panel once to enable typing");
        EXPECT_EQ(f.log.count("All focus strategies failed for hwnd 1234"), r.success ? 0u : 1u);
    }

    Focus f;  // a dead window
    EXPECT_EQ(f.manager.focusWindow(0x4321).errorCode, 6u);
    EXPECT_EQ(f.manager.focusWindow(0).errorCode, 6u);
    EXPECT_EQ(f.log.count("focusWindow called with invalid hwnd"), 1u) << "at most one warning in 10 s";
}

TEST(FocusStrategies, SavedForegroundAndPollIntervalFloor) {
    {
        Focus f({10, 10, true});
        f.platform->foreground = 0x1234;
        f.manager.focusWindow(0x1234);  // already in front: nothing saved
        f.manager.shutdown();
        EXPECT_EQ(std::count(f.platform->calls.begin(), f.platform->calls.end(), "setForeground"), 0);
    }
    Focus f({3, 0, false});
    f.platform->foreground = 0x9999;
    f.platform->foregroundAfterSetForeground = 0;
    f.manager.focusWindow(0x1234);
    EXPECT_EQ(f.platform->sleeps, std::vector<std::int32_t>(3 + 50, 1)) << "an interval of 0 becomes 1 ms";
}

}  // namespace
}  // namespace quillane::host::test
