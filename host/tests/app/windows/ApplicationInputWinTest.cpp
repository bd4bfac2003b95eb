// A client's input on both roads, through the real Application and SendInput,
// into a window of the test's that stands in front and was clicked first:
// input only ever goes to the window in front.

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "ApplicationTestSupport.h"
#include "Eventually.h"
#include "IdleCaptureServices.h"
#include "LogCapture.h"
#include "SignalingTestClient.h"
#include "VideoClient.h"
#include "app/Application.h"
#include "input/InputInjector.h"
#include "input/InputPlatform.h"
#include "windows/WindowThread.h"
#include "platform/Paths.h"
#include "TestSupport.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace quillane::host::test {

namespace {

struct Seen {
    UINT message;
    WPARAM wParam;
};

// A window of the test's on a thread of its own that pumps its messages (the
// host's threads ask it for its title while they list windows), brought in
// front and clicked once in its middle as a user would before typing into it.
// It records the clicks, wheel turns, keys and characters it receives.
class TargetWindow {
public:
    TargetWindow() : thread([this] { return create(); }) {}
    std::uint32_t id() const { return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(handle())); }
    HWND handle() const { return thread.hwnd(); }

    void clear() {
        std::lock_guard lock(mutex);
        seen.clear();
    }
    bool received(UINT message, std::optional<WPARAM> wParam = std::nullopt) {
        std::lock_guard lock(mutex);
        return std::any_of(seen.begin(), seen.end(), [&](const Seen& s) {
            return s.message == message && (!wParam || s.wParam == *wParam);
        });
    }
    // Clicks the window's middle with the system's own input.
    void click() {
        RECT r{};
        GetWindowRect(handle(), &r);
        SetCursorPos((r.left + r.right) / 2, (r.top + r.bottom) / 2);
        INPUT clicks[2] = {};
        clicks[0].type = clicks[1].type = INPUT_MOUSE;
        clicks[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
        clicks[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
        SendInput(2, clicks, sizeof(INPUT));
    }

private:
    static LRESULT CALLBACK proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_LBUTTONDOWN || message == WM_LBUTTONUP || message == WM_KEYDOWN || message == WM_KEYUP ||
            message == WM_CHAR || message == WM_MOUSEWHEEL) {
            auto* self = reinterpret_cast<TargetWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
            std::lock_guard lock(self->mutex);
            self->seen.push_back(Seen{message, message == WM_MOUSEWHEEL ? WPARAM(GET_WHEEL_DELTA_WPARAM(wParam))
                                                                       : wParam});
        }
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }

    HWND create() {
        WNDCLASSW wc{};
        wc.lpfnWndProc = proc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"QuillaneServingInputTarget";
        wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
        RegisterClassW(&wc);
        HWND window = CreateWindowExW(0, wc.lpszClassName, L"Serving input target", WS_OVERLAPPEDWINDOW, 120, 120,
                                      400, 300, nullptr, nullptr, wc.hInstance, nullptr);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        ShowWindow(window, SW_SHOW);
        SetForegroundWindow(window);
        return window;
    }

    std::mutex mutex;
    std::vector<Seen> seen;
    WindowThread thread;  // last: it ends before what the window procedure touches
};

template <class Done>
bool waitUntil(Done done, std::chrono::milliseconds timeout = 5s) {
    return eventually(done, timeout);
}

// One 12-byte record of the input connection.
std::vector<std::uint8_t> inputEvent(std::uint8_t streamId, InputDeviceType device, std::uint8_t action,
                                     std::uint16_t x, std::uint16_t y, std::uint8_t code, std::int16_t wheel = 0) {
    std::vector<std::uint8_t> body(12, 0);
    body[0] = streamId;
    body[1] = static_cast<std::uint8_t>(device);
    body[2] = action;
    std::memcpy(&body[3], &x, 2);
    std::memcpy(&body[5], &y, 2);
    body[7] = code;
    std::memcpy(&body[9], &wheel, 2);
    return body;
}

class ApplicationInputWin : public ::testing::Test {
protected:
    void SetUp() override { ports = settings.emplace(appConfigFolder()).ports(); }
    void TearDown() override { settings.reset(); }

    LogCapture log;
    std::optional<FreePortSettings> settings;
    std::array<std::uint16_t, 4> ports{};
    std::shared_ptr<IdleCaptureCount> captures = std::make_shared<IdleCaptureCount>();
};

TEST_F(ApplicationInputWin, ClicksKeysAndTextOnBothRoadsReachTheStreamsWindowInFront) {
    TargetWindow target;
    ASSERT_TRUE(waitUntil([&] { return GetForegroundWindow() == target.handle(); }, 2s)) << "not in front";
    target.click();
    ASSERT_TRUE(waitUntil([&] { return target.received(WM_LBUTTONUP); }, 2s)) << "the first click went elsewhere";
    target.clear();
    Application app(std::make_unique<RecordingPriority>(std::make_shared<RecordingPriority::Log>()),
                    createInputPlatform(), idleCaptureServices(captures));
    ASSERT_TRUE(app.initialize());
    MainLoopTurns loop(app);
    SignalingClient client;
    ASSERT_TRUE(client.connect(ports[0]));
    const auto started = client.request({{"type", "stream_subscribe"}, {"windowId", target.id()}}, "stream_started");
    ASSERT_TRUE(started) << "the window is not listed";
    const auto stream = (*started)["streamId"].get<std::uint8_t>();

    // The video connection: records handed whole to the injector.
    VideoClient video;
    ASSERT_TRUE(video.connect(ports[1]));
    const auto mouse = static_cast<std::uint8_t>(InputDeviceType::Mouse);
    const auto keyboard = static_cast<std::uint8_t>(InputDeviceType::Keyboard);
    for (const auto action : {MouseAction::Move, MouseAction::ButtonDown, MouseAction::ButtonUp}) {
        ASSERT_TRUE(video.sendInput({stream, mouse, static_cast<std::uint8_t>(action), 32768, 32768, 0, 0, 0}));
    }
    EXPECT_TRUE(waitUntil([&] { return target.received(WM_LBUTTONDOWN) && target.received(WM_LBUTTONUP); }))
        << "no click from the video connection";
    for (const auto action : {KeyAction::KeyDown, KeyAction::KeyUp}) {
        ASSERT_TRUE(video.sendInput({stream, keyboard, static_cast<std::uint8_t>(action), 0, 0, 'Q', 0, 0}));
    }
    EXPECT_TRUE(waitUntil([&] { return target.received(WM_KEYDOWN, 'Q') && target.received(WM_KEYUP, 'Q'); }))
        << "no key from the video connection";

    // The input connection: dispatched by the Application, the press after a focus step.
    target.clear();
    VideoClient input;
    ASSERT_TRUE(input.connect(ports[3]));
    const std::vector<std::vector<std::uint8_t>> events = {
        inputEvent(stream, InputDeviceType::Mouse, 2, 16384, 16384, 0),
        inputEvent(stream, InputDeviceType::Mouse, 3, 16384, 16384, 0),
        inputEvent(stream, InputDeviceType::Mouse, 4, 16384, 16384, 0, 120),
        inputEvent(stream, InputDeviceType::Keyboard, 1, 0, 0, 'W'),
        inputEvent(stream, InputDeviceType::Keyboard, 2, 0, 0, 'W'),
        inputEvent(stream, InputDeviceType::Keyboard, 3, 0x00E9, 0, 0),
    };
    for (const auto& event : events) ASSERT_TRUE(input.sendMessage(event));
    EXPECT_TRUE(waitUntil([&] { return target.received(WM_LBUTTONDOWN) && target.received(WM_LBUTTONUP); }))
        << "no click from the input connection";
    EXPECT_TRUE(waitUntil([&] { return target.received(WM_MOUSEWHEEL, 120); })) << "no wheel from the input connection";
    EXPECT_TRUE(waitUntil([&] { return target.received(WM_KEYDOWN, 'W') && target.received(WM_KEYUP, 'W'); }))
        << "no key from the input connection";
    EXPECT_TRUE(waitUntil([&] { return target.received(WM_CHAR, 0x00E9); })) << "no text from the input connection";
    EXPECT_FALSE(log.contains("Click mismatch"));
    EXPECT_FALSE(log.contains("Failed to bring window"));
    app.shutdown();
}

}  // namespace

}  // namespace quillane::host::test
