// The input dispatch driven directly on a scripted desktop: records from both
// connections reach the running stream's window, and a stop lets go of every
// key still held before input goes nowhere.

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "FakeInputPlatform.h"
#include "app/InputDispatch.h"
#include "input/InputInjector.h"
#include "network/TcpInputServer.h"
#include "network/TransportTypes.h"

namespace quillane::host::test {
namespace {

constexpr NativeWindow kWindow = 0x1234;
constexpr std::uint8_t kStream = 1;
constexpr std::uint8_t kKeyA = 0x41;

struct Key {
    std::uint16_t vk;
    bool up;
    bool operator==(const Key&) const = default;
};

class InputDispatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        desktop->existing = kWindow;
        desktop->foreground = kWindow;
        ASSERT_TRUE(input.start());
    }
    void TearDown() override { input.stop(); }

    // The keyboard inputs sent so far, then forgotten.
    std::vector<Key> keys() {
        std::vector<Key> out;
        for (const auto& call : desktop->sent)
            for (const auto& in : call)
                if (in.kind == SyntheticInput::Kind::Keyboard) out.push_back({in.vk, (in.flags & key_flags::kKeyUp) != 0});
        desktop->sent.clear();
        return out;
    }
    InputEvent keyEvent(KeyAction action) {
        InputEvent event;
        event.streamId = kStream;
        event.deviceType = 2;
        event.action = static_cast<std::uint8_t>(action);
        event.code = kKeyA;
        return event;
    }

    std::shared_ptr<FakeInputPlatform> desktop = std::make_shared<FakeInputPlatform>();
    InputDispatch input{desktop, [](std::uint8_t id) { return id == kStream ? kWindow : NativeWindow{0}; }};
};

TEST_F(InputDispatchTest, BothConnectionsReachTheStreamsWindowAndAStopReleasesHeldKeys) {
    ClientInput record;
    record.streamId = kStream;
    record.deviceType = 2;
    record.action = static_cast<std::uint8_t>(KeyAction::KeyDown);
    record.code = kKeyA;
    input.onClientInput(record);
    input.onInputEvent(keyEvent(KeyAction::KeyUp));
    input.onInputEvent(keyEvent(KeyAction::KeyDown));
    EXPECT_EQ(keys(), (std::vector<Key>{{kKeyA, false}, {kKeyA, true}, {kKeyA, false}}));

    input.stop();
    EXPECT_EQ(keys(), (std::vector<Key>{{kKeyA, true}})) << "a key left held would repeat forever";
    input.onInputEvent(keyEvent(KeyAction::KeyDown));
    EXPECT_TRUE(keys().empty());
}

}  // namespace
}  // namespace quillane::host::test
