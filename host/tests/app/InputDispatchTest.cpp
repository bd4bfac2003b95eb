// The input dispatch driven directly and over real sockets on a scripted desktop: records from
// both connections reach the running stream's window without a connection's thread ever waiting
// for the desktop, nothing a client sent acts after it is gone, and a stop lets go of every key
// still held before input goes nowhere.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Eventually.h"
#include "GuardedInputPlatform.h"
#include "LogCapture.h"
#include "VideoClient.h"
#include "app/InputDispatch.h"
#include "input/InputInjector.h"
#include "network/TcpInputServer.h"
#include "network/TcpTransportServer.h"
#include "network/TransportTypes.h"

namespace quillane::host::test {
namespace {

using namespace std::chrono_literals;

constexpr NativeWindow kWindow = 0x1234;
constexpr NativeWindow kOther = 0x9999;  // another application's window, kept above
constexpr std::uint8_t kStream = 1;
constexpr std::uint8_t kStreams = 5;  // streams 1 to 5 show the window
constexpr std::uint8_t kKeyA = 0x41;
constexpr std::uint8_t kKeyB = 0x42;
constexpr std::uint8_t kKeyC = 0x43;
constexpr std::uint8_t kKeyF1 = 0x70;

struct Key {
    std::uint16_t vk;
    bool up;
    bool operator==(const Key&) const = default;
};

InputEvent inputRecord(InputDeviceType device, std::uint8_t action, std::uint8_t code, std::uint16_t x = 32768) {
    InputEvent event;
    event.streamId = kStream;
    event.deviceType = static_cast<std::uint8_t>(device);
    event.action = action;
    event.code = code;
    event.x = x;
    event.y = 32768;
    return event;
}
InputEvent keyRecord(KeyAction action, std::uint8_t vk) {
    return inputRecord(InputDeviceType::Keyboard, static_cast<std::uint8_t>(action), vk);
}
InputEvent moveRecord(std::uint16_t x) {
    return inputRecord(InputDeviceType::Mouse, static_cast<std::uint8_t>(MouseAction::Move), 0, x);
}
ClientInput videoRecord(const InputEvent& e) {
    return ClientInput{e.streamId, e.deviceType, e.action, 0, e.x, e.y, e.code};
}

class InputDispatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        desktop->with([](FakeInputPlatform& d) {
            d.existing = kWindow;
            d.foreground = kWindow;
        });
        ASSERT_TRUE(input.start());
    }
    void TearDown() override {
        desktop->holdSleeps(false);
        input.stop();
    }

    std::vector<SyntheticInput> inputs() {
        return desktop->with([](FakeInputPlatform& d) {
            std::vector<SyntheticInput> all;
            for (const auto& call : d.sent) all.insert(all.end(), call.begin(), call.end());
            return all;
        });
    }
    // The keyboard inputs sent so far, then forgotten.
    std::vector<Key> keys() {
        std::vector<Key> out;
        for (const auto& in : inputs())
            if (in.kind == SyntheticInput::Kind::Keyboard && (in.flags & key_flags::kUnicode) == 0)
                out.push_back({in.vk, (in.flags & key_flags::kKeyUp) != 0});
        desktop->with([](FakeInputPlatform& d) { d.sent.clear(); });
        return out;
    }
    bool keySent(Key key) {
        return eventually([&] {
            const auto all = inputs();
            return std::any_of(all.begin(), all.end(), [&](const SyntheticInput& in) {
                return in.vk == key.vk && ((in.flags & key_flags::kKeyUp) != 0) == key.up;
            });
        });
    }
    // Keys as "B+ " and "B- ", left presses and releases as "L+ " and "L- ", moves as "< ", "= " or "> "
    // for left of, at or right of the first; text left out.
    std::string script() {
        std::string out;
        std::optional<std::int32_t> first;
        for (const auto& in : inputs()) {
            if (in.kind == SyntheticInput::Kind::Keyboard) {
                if ((in.flags & key_flags::kUnicode) != 0) continue;
                out += {static_cast<char>(in.vk), (in.flags & key_flags::kKeyUp) != 0 ? '-' : '+', ' '};
            } else if (in.flags == mouse_flags::kAbsoluteMove) {
                if (!first) first = in.dx;
                out += in.dx < *first ? "< " : in.dx > *first ? "> " : "= ";
            } else if (in.flags == mouse_flags::kLeftDown || in.flags == mouse_flags::kLeftUp) {
                out += in.flags == mouse_flags::kLeftDown ? "L+ " : "L- ";
            }
        }
        return out;
    }
    // The keys pressed and not let go since the inputs were last forgotten.
    std::vector<std::uint16_t> heldKeys() {
        std::map<std::uint16_t, bool> down;
        for (const Key& key : keys()) down[key.vk] = !key.up;
        std::vector<std::uint16_t> held;
        for (const auto& [vk, isDown] : down)
            if (isDown) held.push_back(vk);
        return held;
    }
    void coverTheWindow(bool covered) {
        desktop->with([covered](FakeInputPlatform& d) { d.underPoint = covered ? kOther : kWindow; });
    }

    std::shared_ptr<GuardedInputPlatform> desktop = std::make_shared<GuardedInputPlatform>();
    InputDispatch input{desktop, [](std::uint8_t id) {
                            return id >= kStream && id < kStream + kStreams ? kWindow : NativeWindow{0};
                        }};
};

TEST_F(InputDispatchTest, BothConnectionsReachTheStreamsWindowAndAStopReleasesHeldKeys) {
    ClientInput record;
    record.streamId = kStream;
    record.deviceType = 2;
    record.action = static_cast<std::uint8_t>(KeyAction::KeyDown);
    record.code = kKeyA;
    input.onClientInput(record);
    input.onInputEvent(keyRecord(KeyAction::KeyUp, kKeyA));
    input.onInputEvent(keyRecord(KeyAction::KeyDown, kKeyA));
    ASSERT_TRUE(eventually([&] { return inputs().size() >= 3; }));
    EXPECT_EQ(keys(), (std::vector<Key>{{kKeyA, false}, {kKeyA, true}, {kKeyA, false}}));

    input.stop();
    EXPECT_EQ(keys(), (std::vector<Key>{{kKeyA, true}})) << "a key left held would repeat forever";
    input.onInputEvent(keyRecord(KeyAction::KeyDown, kKeyA));
    EXPECT_TRUE(keys().empty());
}

// A covered press waits for its window to come up; meanwhile both connections hand on at once. The
// video connection's room then fills with text: moves merge into one, a press that finds no room is
// dropped with its release, a repeat of a key already down is dropped without its release, and the
// releases of queued presses and a move after them go in beyond the room, all in the connection's
// order; nothing stays held.
TEST_F(InputDispatchTest, RecordsNeverWaitForTheDesktopAndAFullQueueKeepsEveryRelease) {
    coverTheWindow(true);
    desktop->holdSleeps(true);
    const InputEvent press = inputRecord(InputDeviceType::Mouse, static_cast<std::uint8_t>(MouseAction::ButtonDown), 0);
    auto pressing = std::async(std::launch::async, [&] { input.onClientInput(videoRecord(press)); });
    ASSERT_TRUE(eventually([&] { return desktop->sleepHeld(); }));

    const auto video = [&](const InputEvent& e) { input.onClientInput(videoRecord(e)); };
    auto posting = std::async(std::launch::async, [&] {
        video(keyRecord(KeyAction::KeyDown, kKeyB));
        const InputEvent text = keyRecord(KeyAction::Char, 'a');
        for (std::size_t i = 2; i < InputThread::kVideoCapacity; ++i) video(text);
        video(moveRecord(0));  // the last place
        video(moveRecord(65535));
        video(keyRecord(KeyAction::KeyDown, kKeyC));
        video(keyRecord(KeyAction::KeyDown, kKeyB));  // the client's auto-repeat
        video(keyRecord(KeyAction::KeyUp, kKeyB));
        video(moveRecord(0));
        InputEvent release = press;
        release.action = static_cast<std::uint8_t>(MouseAction::ButtonUp);
        video(release);
        input.onInputEvent(keyRecord(KeyAction::KeyDown, kKeyF1));  // the input connection's room is its own
    });
    EXPECT_EQ(posting.wait_for(5s), std::future_status::ready) << "a connection's thread waited for the desktop";
    EXPECT_EQ(pressing.wait_for(0s), std::future_status::ready);
    EXPECT_TRUE(desktop->sleepHeld());
    coverTheWindow(false);
    desktop->holdSleeps(false);
    pressing.get();
    posting.get();

    ASSERT_TRUE(eventually([&] { return script().ends_with("L- p+ "); }));
    // With room again, the release of the press that found none still goes nowhere.
    video(keyRecord(KeyAction::KeyUp, kKeyC));
    input.onInputEvent(keyRecord(KeyAction::KeyUp, kKeyF1));
    video(keyRecord(KeyAction::KeyDown, kKeyA));
    video(keyRecord(KeyAction::KeyUp, kKeyA));
    ASSERT_TRUE(keySent({kKeyA, true}));
    // The press (with its move), B, the two moves behind the text as one at the right edge, B's
    // release, the move after it at the left edge, the button's release (with its move), then A;
    // F1 on the input connection meanwhile.
    std::string videoScript = script();
    for (const std::string f1 : {"p+ ", "p- "}) {
        const auto at = videoScript.find(f1);
        ASSERT_NE(at, std::string::npos) << f1;
        videoScript.erase(at, f1.size());
    }
    EXPECT_EQ(videoScript, "= L+ B+ > B- < = L- A+ A- ");
    EXPECT_EQ(heldKeys(), std::vector<std::uint16_t>{}) << "a key left held would repeat forever";
}

// A covered press holds the desktop up while records wait behind it. The end of a stream lets go
// of what it holds as soon as the press is done, before any waiting record, and the stream's
// waiting records never act; the end of a connection likewise drops its own, while the other
// connection's still go in.
TEST_F(InputDispatchTest, EndsLetGoBeforeTheWaitingRecordsAndDropTheirs) {
    const auto video = [&](const InputEvent& e) { input.onClientInput(videoRecord(e)); };
    const InputEvent press = inputRecord(InputDeviceType::Mouse, static_cast<std::uint8_t>(MouseAction::ButtonDown), 0);
    const auto holdTheDesktopUp = [&] {
        video(keyRecord(KeyAction::KeyDown, kKeyA));
        ASSERT_TRUE(keySent({kKeyA, false}));
        keys();
        coverTheWindow(true);
        desktop->holdSleeps(true);
        video(press);
        ASSERT_TRUE(eventually([&] { return desktop->sleepHeld(); }));
        for (int i = 0; i < 1000; ++i) video(keyRecord(KeyAction::Char, 'a'));
        video(keyRecord(KeyAction::KeyDown, kKeyB));
    };
    const auto letTheDesktopGo = [&](std::uint8_t marker) {
        desktop->holdSleeps(false);
        input.onInputEvent(keyRecord(KeyAction::KeyDown, marker));
        ASSERT_TRUE(keySent({marker, false}));
    };

    holdTheDesktopUp();
    input.onInputEvent(keyRecord(KeyAction::KeyDown, kKeyC));
    input.streamEnded(kStream, kWindow);
    letTheDesktopGo(kKeyF1);
    EXPECT_EQ(script(), "A- p+ ") << "text, B and C were the ended stream's";

    keys();
    input.onInputEvent(keyRecord(KeyAction::KeyUp, kKeyF1));
    holdTheDesktopUp();
    input.onInputEvent(keyRecord(KeyAction::KeyDown, kKeyC));
    input.onClientGone(InputRoad::Video);
    letTheDesktopGo(kKeyF1);
    EXPECT_EQ(script(), "A- C+ p+ ") << "text and B were the gone client's";
}

// Presses of several streams fill the video connection's room while the desktop is held up: the
// release of every one that went in still goes in, and nothing stays held.
TEST_F(InputDispatchTest, EveryPressThatWentInGetsItsRelease) {
    const auto video = [&](std::uint8_t stream, KeyAction action, int vk) {
        InputEvent e = keyRecord(action, static_cast<std::uint8_t>(vk));
        e.streamId = stream;
        input.onClientInput(videoRecord(e));
    };
    coverTheWindow(true);
    desktop->holdSleeps(true);
    input.onClientInput(videoRecord(inputRecord(InputDeviceType::Mouse, 2, 0)));
    ASSERT_TRUE(eventually([&] { return desktop->sleepHeld(); }));
    for (int vk = 0; vk < 256; ++vk) {
        for (std::uint8_t stream = kStream; stream < kStream + kStreams; ++stream) video(stream, KeyAction::KeyDown, vk);
    }
    for (std::size_t i = 256 * kStreams; i < InputThread::kVideoCapacity; ++i) video(kStream, KeyAction::Char, 'a');
    for (int vk = 0; vk < 256; ++vk) {
        for (std::uint8_t stream = kStream; stream < kStream + kStreams; ++stream) video(stream, KeyAction::KeyUp, vk);
    }
    coverTheWindow(false);
    desktop->holdSleeps(false);
    ASSERT_TRUE(keySent({0xFF, true}));
    EXPECT_EQ(heldKeys(), std::vector<std::uint16_t>{});
}

// The desktop fails a record with an exception: it is logged, and the next record still goes in.
TEST_F(InputDispatchTest, ARecordTheDesktopThrowsOnEndsNothing) {
    LogCapture log;
    desktop->throwOnNextSend();
    input.onInputEvent(keyRecord(KeyAction::KeyDown, kKeyA));
    input.onInputEvent(keyRecord(KeyAction::KeyDown, kKeyB));
    EXPECT_TRUE(keySent({kKeyB, false}));
    EXPECT_TRUE(log.contains("Input thread error: "));
}

// A client sends a covered press, which holds the desktop up, then key presses; a new client
// replaces it meanwhile. On the video connection, a keyframe request and feedback behind the press
// are handled while it waits. Whatever of the old client's keys went in was let go by its gone
// release: none goes in afterwards. On the video and on the input connection, a few times each.
TEST_F(InputDispatchTest, RecordsNeverHoldUpTheirConnectionNorActAfterTheirClientIsGone) {
    TcpTransportServer video{0};
    TcpInputServer inputServer{0};
    std::atomic<int> keyframes{0};
    std::atomic<int> feedback{0};
    video.setClientInputCallback([this](const ClientInput& record) { input.onClientInput(record); });
    video.setKeyframeRequestCallback([&](std::uint8_t) { ++keyframes; });
    video.setClientFeedbackCallback([&](const ClientFeedback&) { ++feedback; });
    video.setClientGoneCallback([this] { input.onClientGone(InputRoad::Video); });
    inputServer.setInputEventCallback([this](const InputEvent& event) { input.onInputEvent(event); });
    inputServer.setClientGoneCallback([this] { input.onClientGone(InputRoad::Input); });
    inputServer.setInputRoomCallback(
        [this](const std::function<void()>& resume) { return input.roomForInput(resume); });
    ASSERT_TRUE(video.start());
    ASSERT_TRUE(inputServer.start());
    coverTheWindow(true);

    for (const bool onVideo : {true, false}) {
        SCOPED_TRACE(onVideo ? "video connection" : "input connection");
        const std::uint16_t port = onVideo ? video.port() : inputServer.port();
        const auto send = [onVideo](VideoClient& client, const InputEvent& e) {
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(&e);
            return onVideo ? client.sendInput({e.streamId, e.deviceType, e.action, e.x, e.y, e.code})
                           : client.sendMessage(std::vector<std::uint8_t>(bytes, bytes + sizeof(e)));
        };
        auto current = std::make_unique<VideoClient>();
        ASSERT_TRUE(current->connect(port));
        for (int round = 1; round <= 5; ++round) {
            SCOPED_TRACE(round);
            desktop->holdSleeps(true);
            ASSERT_TRUE(send(*current, inputRecord(InputDeviceType::Mouse, 2, 0)));
            ASSERT_TRUE(eventually([&] { return desktop->sleepHeld(); }));
            if (onVideo) {
                ASSERT_TRUE(current->sendKeyframeRequest(kStream) && current->sendFeedback(5, 20));
                EXPECT_TRUE(eventually([&] { return keyframes == round && feedback == round; }, 5s));
            }
            for (std::uint8_t vk = 0x30; vk <= 0x5A; ++vk) {
                ASSERT_TRUE(send(*current, keyRecord(KeyAction::KeyDown, vk)));
            }
            auto next = std::make_unique<VideoClient>();
            ASSERT_TRUE(next->connect(port));
            EXPECT_TRUE(desktop->sleepHeld()) << "the press still waits";
            desktop->holdSleeps(false);
            EXPECT_TRUE(current->waitForClose(5s));
            current = std::move(next);
            ASSERT_TRUE(send(*current, keyRecord(KeyAction::KeyDown, kKeyF1)));
            ASSERT_TRUE(send(*current, keyRecord(KeyAction::KeyUp, kKeyF1)));
            ASSERT_TRUE(keySent({kKeyF1, true}));
            EXPECT_EQ(heldKeys(), std::vector<std::uint16_t>{});
        }
    }
    inputServer.stop();
    video.stop();
}

}  // namespace
}  // namespace quillane::host::test
