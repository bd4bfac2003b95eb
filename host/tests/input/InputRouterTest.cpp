// InputRouter's rules against a scripted desktop: input acts only on the window of a running
// stream, keys only while it is in front, presses only where it is uncovered.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <vector>

#include "FakeInputPlatform.h"
#include "LogCapture.h"
#include "input/FocusManager.h"
#include "input/InputRouter.h"

namespace quillane::host::test {
namespace {

using test::FakeInputPlatform;
using test::LogCapture;

constexpr NativeWindow kTarget = 0x1234;
constexpr NativeWindow kOther = 0x9999;  // another application's window
constexpr std::uint8_t kStream = 1;

InputPacket key(KeyAction action, std::uint8_t vk, std::uint8_t modifiers = 0) {
    return InputPacket{2, static_cast<std::uint8_t>(action), 0, 0, vk, modifiers, 0};
}
InputPacket mouse(MouseAction action, std::uint8_t button = 0, std::int16_t wheel = 0) {
    return InputPacket{1, static_cast<std::uint8_t>(action), 32768, 32768, button, 0, wheel};
}

struct Desk {
    Desk() {
        injector->initialize(InputInjectorConfig{});
        focus->initialize(FocusManagerConfig{10, 10, false});
        platform->foreground = kTarget;
        router.setClickMismatchCallback([this](NativeWindow intended, NativeWindow actual) {
            mismatches.emplace_back(intended, actual);
        });
    }
    std::vector<SyntheticInput> take() {
        std::vector<SyntheticInput> all;
        for (const auto& call : platform->sent) all.insert(all.end(), call.begin(), call.end());
        platform->sent.clear();
        return all;
    }
    std::size_t keysSent() {
        const auto all = take();
        return static_cast<std::size_t>(std::count_if(all.begin(), all.end(), [](const SyntheticInput& in) {
            return in.kind == SyntheticInput::Kind::Keyboard;
        }));
    }
    // On both connections.
    void route(const InputPacket& packet, std::uint8_t stream = kStream) {
        router.routeClientInput(stream, packet);
        router.routeInputEvent(stream, packet);
    }

    std::shared_ptr<FakeInputPlatform> platform = std::make_shared<FakeInputPlatform>();
    std::shared_ptr<InputInjector> injector = std::make_shared<InputInjector>(platform);
    std::shared_ptr<FocusManager> focus = std::make_shared<FocusManager>(platform);
    std::map<std::uint8_t, NativeWindow> running{{kStream, kTarget}};
    InputRouter router{platform, injector, focus, [this](std::uint8_t id) {
                           const auto it = running.find(id);
                           return it != running.end() ? it->second : NativeWindow{0};
                       }};
    std::vector<std::pair<NativeWindow, NativeWindow>> mismatches;
    LogCapture log;
};

// Keys and text go in while the stream's window, or another window of its application, is in
// front; with another program in front the focus steps run first, and a window that stays
// behind gets nothing (one warning for the lot).
TEST(InputRouterKeys, KeysAndTextReachOnlyTheStreamsApplication) {
    {
        Desk desk;  // the stream's window in front
        desk.route(key(KeyAction::KeyDown, 0x41));
        desk.route(key(KeyAction::KeyUp, 0x41));
        desk.router.routeInputEvent(kStream, InputPacket{2, 3, 0x20AC, 0, 0, 0, 0});
        desk.router.routeClientInput(kStream, InputPacket{2, 3, 0, 0, 0xE9, 0, 0});
        const auto sent = desk.take();
        ASSERT_EQ(sent.size(), 8u);
        EXPECT_EQ(sent[4].scan, 0x20AC) << "a character in x on the input connection";
        EXPECT_EQ(sent[6].scan, 0xE9) << "in code on the video connection";
    }
    {
        Desk desk;  // its dialog in front: the same application
        desk.platform->foreground = 0x5555;
        desk.platform->applications = {{kTarget, 7}, {0x5555, 7}};
        desk.route(key(KeyAction::KeyDown, 0x41));
        EXPECT_EQ(desk.keysSent(), 2u);
        EXPECT_EQ(desk.platform->setForegroundCalls, 0);
    }
    {
        Desk desk;  // another program in front, and the focus steps bring the window forward
        desk.platform->foreground = kOther;
        desk.router.routeInputEvent(kStream, key(KeyAction::KeyDown, 0x41));
        EXPECT_EQ(desk.platform->setForegroundCalls, 1);
        EXPECT_EQ(desk.keysSent(), 1u);
    }
    Desk desk;  // another program in front, and it stays there
    desk.platform->foreground = kOther;
    desk.platform->foregroundAfterSetForeground = 0;
    for (int i = 0; i < 50; ++i) {
        desk.route(key(KeyAction::KeyDown, 0x41, ModifierFlags::Ctrl));
        desk.router.routeInputEvent(kStream, InputPacket{2, 3, 'x', 0, 0, 0, 0});
    }
    EXPECT_TRUE(desk.take().empty());
    EXPECT_EQ(desk.platform->setForegroundCalls, 2) << "one focus attempt, not one per record";
    EXPECT_EQ(desk.log.count("Keyboard input for stream 1 dropped: its window 1234 is not in front"), 1u);
}

// The sleep, browser and launcher keys never reach the desktop, whatever is in front.
TEST(InputRouterKeys, MachineKeysAreNeverInjected) {
    Desk desk;
    std::vector<std::uint8_t> machine{0x5F};
    for (int vk = 0xA6; vk <= 0xAC; ++vk) machine.push_back(static_cast<std::uint8_t>(vk));
    for (int vk = 0xB4; vk <= 0xB7; ++vk) machine.push_back(static_cast<std::uint8_t>(vk));
    for (const std::uint8_t vk : machine) {
        desk.route(key(KeyAction::KeyDown, vk));
        desk.route(key(KeyAction::KeyUp, vk));
        EXPECT_EQ(desk.keysSent(), 0u) << std::hex << int(vk);
    }
    for (const std::uint8_t vk : {0x5E, 0xA5, 0xAD, 0xB3, 0xB8}) {  // their neighbours go in
        desk.router.routeInputEvent(kStream, key(KeyAction::KeyDown, vk));
        EXPECT_EQ(desk.keysSent(), 1u) << std::hex << int(vk);
    }
}

// A key the injector pressed is released even once another program is in front, and no
// modifier is pressed for that release; a key it never pressed is not sent.
TEST(InputRouterKeys, ReleasesOfHeldKeysAlwaysGoIn) {
    Desk desk;
    desk.router.routeInputEvent(kStream, key(KeyAction::KeyDown, 0x41, ModifierFlags::Shift));
    desk.take();
    desk.platform->foreground = kOther;
    desk.platform->foregroundAfterSetForeground = 0;
    desk.router.routeInputEvent(kStream, key(KeyAction::KeyUp, 0x41, ModifierFlags::Ctrl));
    auto sent = desk.take();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(std::tie(sent[0].vk, sent[0].flags), std::make_tuple(std::uint16_t{0x41}, key_flags::kKeyUp));
    EXPECT_EQ(std::tie(sent[1].vk, sent[1].flags), std::make_tuple(std::uint16_t{0x10}, key_flags::kKeyUp));
    EXPECT_FALSE(desk.injector->holdsKey(0x41));
    desk.router.routeInputEvent(kStream, key(KeyAction::KeyUp, 0x42));
    EXPECT_TRUE(desk.take().empty());
}

// Input for a stream that does not run, or whose window is gone, produces nothing on either
// connection; the warning about the unknown stream is written once, not per record.
TEST(InputRouterTargets, InputWithoutALiveWindowIsDropped) {
    Desk desk;
    for (int i = 0; i < 20; ++i) {
        for (const auto& packet : {mouse(MouseAction::Move), mouse(MouseAction::ButtonDown), mouse(MouseAction::ButtonUp),
                                   mouse(MouseAction::Wheel, 0, 120), key(KeyAction::KeyDown, 0x41)})
            desk.route(packet, 9);
    }
    EXPECT_TRUE(desk.take().empty());
    EXPECT_EQ(desk.log.count("Input received for unknown stream 9"), 1u);

    desk.platform->mapping = std::nullopt;  // the stream's window closed
    for (const auto& packet : {mouse(MouseAction::Move), mouse(MouseAction::ButtonDown), mouse(MouseAction::ButtonUp),
                               mouse(MouseAction::Wheel, 0, 120)})
        desk.route(packet);
    EXPECT_TRUE(desk.take().empty());
}

// The end of a stream lets go of everything its input pressed and leaves the injector without a
// target.
TEST(InputRouterTargets, AStreamsEndReleasesAndForgetsItsWindow) {
    Desk desk;
    desk.router.routeInputEvent(kStream, mouse(MouseAction::ButtonDown));
    desk.router.routeInputEvent(kStream, key(KeyAction::KeyDown, 0x41));
    desk.take();
    desk.running.clear();
    desk.router.streamEnded(kStream, kTarget);
    const auto released = desk.take();
    ASSERT_EQ(released.size(), 2u);
    EXPECT_EQ(released[0].flags, key_flags::kKeyUp);
    EXPECT_EQ(released[1].flags, mouse_flags::kLeftUp);
    EXPECT_EQ(desk.injector->getTargetWindow(), 0u);
    desk.router.connectionEnded();
    EXPECT_TRUE(desk.take().empty());
}

// A press dropped over a cover, whose stream then ended, takes no other stream's release with it.
TEST(InputRouterTargets, ADroppedPressTakesNoOtherStreamsRelease) {
    Desk desk;
    desk.running[2] = kTarget;
    desk.router.routeInputEvent(2, mouse(MouseAction::ButtonDown));
    desk.platform->underPoint = kOther;
    desk.router.routeInputEvent(kStream, mouse(MouseAction::ButtonDown));
    desk.running.erase(kStream);
    desk.router.streamEnded(kStream, kTarget);
    desk.platform->underPoint = kTarget;
    desk.router.routeInputEvent(2, mouse(MouseAction::ButtonUp));
    EXPECT_FALSE(desk.injector->holdsButton(0));
}

// A press or wheel over a window of the target (a child, or a popup of its application) goes
// in; over another program's window the target is raised first, and when it stays covered the
// press and its release are dropped and the mismatch is reported once.
TEST(InputRouterPresses, CoveredTargetsAreRaisedOrSpared) {
    struct Case {
        const char* what;
        NativeWindow under;
        NativeWindow afterRaise;
        bool pressed;
    };
    for (const Case& c : {Case{"the target", kTarget, 0, true}, Case{"its child", 0x5678, 0, true},
                          Case{"its popup", 0x7777, 0, true}, Case{"raised from under a cover", kOther, kTarget, true},
                          Case{"covered for good", kOther, 0, false}, Case{"nothing there", 0, 0, false}}) {
        SCOPED_TRACE(c.what);
        Desk desk;
        desk.platform->roots[0x5678] = kTarget;
        desk.platform->applications = {{kTarget, 3}, {0x7777, 3}};
        desk.platform->underPoint = c.under;
        desk.platform->underPointAfterRaise = c.afterRaise;
        for (int i = 0; i < 3; ++i) {
            desk.route(mouse(MouseAction::ButtonDown, 1));
            desk.route(mouse(MouseAction::ButtonUp, 1));
            desk.route(mouse(MouseAction::Wheel, 0, -120));
        }
        const auto sent = desk.take();
        const auto flagged = [&](std::uint32_t flag) {
            return std::count_if(sent.begin(), sent.end(), [&](const SyntheticInput& in) { return in.flags == flag; });
        };
        EXPECT_EQ(flagged(mouse_flags::kRightDown), c.pressed ? 6 : 0);
        EXPECT_EQ(flagged(mouse_flags::kRightUp), c.pressed ? 6 : 0);
        EXPECT_EQ(flagged(mouse_flags::kWheel), c.pressed ? 6 : 0);
        EXPECT_EQ(desk.mismatches.size(), c.pressed ? 0u : 2u) << "once per connection";
        if (!c.pressed) {
            EXPECT_EQ(desk.log.count("Click target mismatch: intended 1234"), 2u);
        }
        if (c.afterRaise != 0) {
            EXPECT_GE(std::count(desk.platform->calls.begin(), desk.platform->calls.end(), "bringToTop"), 1);
        }
    }
}

// A wait for the desktop is paid once for a condition that lasts: a cover that stayed above the
// raised window, and windows that would not come forward (each of two streams'), are not waited
// for again record after record. A record that arrived a while ago does not wait at all.
TEST(InputRouterWaits, ALastingConditionCostsOneWaitAndALateRecordNone) {
    const auto raises = [](Desk& desk) {
        return std::count(desk.platform->calls.begin(), desk.platform->calls.end(), "bringToTop");
    };
    {
        Desk desk;  // a window kept above covers the point
        desk.platform->underPoint = kOther;
        for (int i = 0; i < 100; ++i) desk.route(mouse(MouseAction::Wheel, 0, 120));
        EXPECT_EQ(raises(desk), 1);
        EXPECT_EQ(desk.platform->sleeps.size(), 10u) << "one restack wait";
        EXPECT_TRUE(desk.take().empty());
        desk.platform->underPoint = 0x5555;  // another cover: worth a raise
        desk.route(mouse(MouseAction::Wheel, 0, 120));
        EXPECT_EQ(raises(desk), 2);
        desk.router.connectionEnded();  // a new client tries afresh
        desk.platform->underPoint = kOther;
        desk.platform->underPointAfterRaise = kTarget;
        desk.router.routeInputEvent(kStream, mouse(MouseAction::Wheel, 0, 120));
        EXPECT_EQ(raises(desk), 3);
        EXPECT_FALSE(desk.take().empty()) << "the raise uncovered it";
    }
    {
        Desk desk;  // two streams' windows that would not come forward (the second one is gone)
        desk.running[2] = 0x4321;
        desk.platform->foreground = kOther;
        desk.platform->foregroundAfterSetForeground = 0;
        for (int i = 0; i < 50; ++i) {
            desk.router.routeInputEvent(kStream, key(KeyAction::KeyDown, 0x41));
            desk.router.routeInputEvent(2, key(KeyAction::KeyDown, 0x41));
        }
        EXPECT_EQ(desk.platform->setForegroundCalls, 2) << "one focus attempt, not one per record";
        EXPECT_EQ(desk.keysSent(), 0u);
    }
    Desk desk;  // records that waited in the queue behind a long wait
    const auto late = InputRouter::Clock::now() - std::chrono::seconds(1);
    desk.platform->foreground = kOther;
    desk.router.routeInputEvent(kStream, key(KeyAction::KeyDown, 0x41), late);
    desk.platform->underPoint = kOther;
    desk.router.routeClientInput(kStream, mouse(MouseAction::ButtonDown), late);
    desk.router.routeClientInput(kStream, mouse(MouseAction::ButtonUp), late);
    EXPECT_EQ(desk.platform->setForegroundCalls, 0);
    EXPECT_EQ(raises(desk), 0);
    EXPECT_TRUE(desk.platform->sleeps.empty());
    EXPECT_TRUE(desk.take().empty()) << "dropped, the press with its release";
}

// Keys typed into the same pair of windows ask the desktop who is in front and nothing more.
TEST(InputRouterKeys, TheApplicationTestIsAskedOncePerPairOfWindows) {
    Desk desk;
    desk.platform->foreground = 0x5555;
    desk.platform->applications = {{kTarget, 7}, {0x5555, 7}};
    for (int i = 0; i < 100; ++i) desk.router.routeInputEvent(kStream, key(KeyAction::KeyDown, 0x41));
    EXPECT_EQ(std::count(desk.platform->calls.begin(), desk.platform->calls.end(), "sameApplication"), 1);
    EXPECT_EQ(desk.keysSent(), 100u);
}

}  // namespace
}  // namespace quillane::host::test
