// SendInput and the focus steps on real Win32 windows of this process.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <vector>

#include "input/FocusManager.h"
#include "input/InputInjector.h"

namespace quillane::host {
namespace {

using namespace std::chrono_literals;

struct Seen {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};
std::vector<Seen> g_seen;

LRESULT CALLBACK recordingProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_LBUTTONDOWN || message == WM_LBUTTONUP || message == WM_RBUTTONDOWN || message == WM_KEYDOWN ||
        message == WM_KEYUP || message == WM_CHAR || message == WM_MOUSEWHEEL)
        g_seen.push_back(Seen{message, wParam, lParam});
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

class RecordingWindow {
public:
    RecordingWindow(const wchar_t* title, int x, int y) {
        WNDCLASSW wc{};
        wc.lpfnWndProc = recordingProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"QuillaneInputTest";
        wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
        RegisterClassW(&wc);  // a second registration fails harmlessly
        hwnd = CreateWindowExW(0, L"QuillaneInputTest", title, WS_OVERLAPPEDWINDOW, x, y, 400, 300, nullptr, nullptr,
                               wc.hInstance, nullptr);
        ShowWindow(hwnd, SW_SHOW);
        pump(100ms);
    }
    ~RecordingWindow() { DestroyWindow(hwnd); }
    static void pump(std::chrono::milliseconds duration) {
        const auto end = std::chrono::steady_clock::now() + duration;
        do {
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
            Sleep(5);
        } while (std::chrono::steady_clock::now() < end);
    }
    NativeWindow handle() const { return reinterpret_cast<std::uintptr_t>(hwnd); }
    HWND hwnd = nullptr;
};

std::size_t count(UINT message, std::optional<WPARAM> wParam = std::nullopt) {
    return std::count_if(g_seen.begin(), g_seen.end(),
                         [&](const Seen& s) { return s.message == message && (!wParam || s.wParam == *wParam); });
}

// The focus steps bring a window behind another to the front; clicks, keys, text and the wheel
// reach it through SendInput at the point the client named.
TEST(Win32Input, FocusThenMouseKeysAndTextReachTheWindow) {
    auto platform = createInputPlatform();
    RecordingWindow target(L"Quillane input target", 100, 100);
    RecordingWindow other(L"Quillane other window", 600, 100);
    FocusManager focus(platform);
    ASSERT_TRUE(focus.initialize(FocusManagerConfig{10, 10, false}));
    const FocusResult result = focus.focusWindow(target.handle());
    RecordingWindow::pump(100ms);
    EXPECT_TRUE(result.success) << result.errorCode;
    EXPECT_TRUE(focus.isForeground(target.handle()));
    EXPECT_EQ(focus.focusWindow(0).errorCode, 6u);

    InputInjector injector(platform);
    ASSERT_TRUE(injector.initialize(InputInjectorConfig{}));
    injector.setTargetWindow(target.handle());
    g_seen.clear();
    injector.injectMouseMove(32768, 32768);
    injector.injectMouseButton(0, true);
    injector.injectMouseButton(0, false);
    injector.injectKey(0x41, true, ModifierFlags::Shift);
    injector.injectKey(0x41, false, 0);
    injector.injectUnicodeChar(0x00E9);
    injector.injectMouseMove(32768, 32768);
    injector.injectMouseWheel(120);
    // The wheel comes last; a loaded machine may take longer than usual to deliver it all.
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (count(WM_MOUSEWHEEL) == 0 && std::chrono::steady_clock::now() < deadline) RecordingWindow::pump(20ms);
    RecordingWindow::pump(50ms);

    ASSERT_EQ(count(WM_LBUTTONDOWN), 1u);
    const auto rect = platform->mappingRect(target.handle());
    ASSERT_TRUE(rect.has_value());
    const std::int64_t w = rect->right - rect->left, h = rect->bottom - rect->top;
    POINT expected{static_cast<LONG>(rect->left + (w * 32768 + w / 2) / 65535),
                   static_cast<LONG>(rect->top + (h * 32768 + h / 2) / 65535)};
    ScreenToClient(target.hwnd, &expected);
    const auto down =
        std::find_if(g_seen.begin(), g_seen.end(), [](const Seen& s) { return s.message == WM_LBUTTONDOWN; });
    EXPECT_NEAR(static_cast<short>(LOWORD(down->lParam)), expected.x, 1);
    EXPECT_NEAR(static_cast<short>(HIWORD(down->lParam)), expected.y, 1);
    EXPECT_EQ(count(WM_LBUTTONUP), 1u);
    EXPECT_GE(count(WM_CHAR, L'A'), 1u);
    EXPECT_GE(count(WM_CHAR, 0xE9), 1u);
    EXPECT_EQ(count(WM_MOUSEWHEEL), 1u);
    injector.releaseAll();
}

}  // namespace
}  // namespace quillane::host
