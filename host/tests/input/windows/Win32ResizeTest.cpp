// Resizing real Win32 windows of this process.
#include <gtest/gtest.h>

#include <windows.h>

#include <memory>

#include "Eventually.h"
#include "LogCapture.h"
#include "input/InputInjector.h"

namespace quillane::host::test {
namespace {

using namespace std::chrono_literals;
using test::eventually;

constexpr int kMinTrackWidth = 420;
constexpr int kMinTrackHeight = 330;

LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_GETMINMAXINFO && GetPropW(hwnd, L"QuillaneMinimum") != nullptr) {
        auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
        info->ptMinTrackSize.x = kMinTrackWidth;
        info->ptMinTrackSize.y = kMinTrackHeight;
        return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

// A captioned top-level window whose messages this thread pumps.
class TestWindow {
public:
    explicit TestWindow(bool withMinimum, DWORD style = WS_OVERLAPPEDWINDOW) {
        WNDCLASSW wc{};
        wc.lpfnWndProc = windowProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"QuillaneResizeTest";
        RegisterClassW(&wc);  // a second registration fails harmlessly
        hwnd = CreateWindowExW(0, L"QuillaneResizeTest", L"Quillane resize test", style, 70, 80, 300, 200, nullptr,
                               nullptr, wc.hInstance, nullptr);
        if (hwnd != nullptr && withMinimum) SetPropW(hwnd, L"QuillaneMinimum", reinterpret_cast<HANDLE>(1));
        if (hwnd != nullptr) ShowWindow(hwnd, SW_SHOWNOACTIVATE);
        pump();
    }
    ~TestWindow() {
        if (hwnd != nullptr) {
            RemovePropW(hwnd, L"QuillaneMinimum");
            DestroyWindow(hwnd);
        }
    }
    static void pump() {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    bool clientIs(int width, int height) const {
        pump();
        RECT r{};
        return GetClientRect(hwnd, &r) && r.right - r.left == width && r.bottom - r.top == height;
    }
    RECT outer() const {
        RECT r{};
        GetWindowRect(hwnd, &r);
        return r;
    }
    NativeWindow handle() const { return reinterpret_cast<std::uintptr_t>(hwnd); }

    HWND hwnd = nullptr;
};

std::string clientText(HWND hwnd) {
    RECT r{};
    GetClientRect(hwnd, &r);
    return std::to_string(r.right - r.left) + "x" + std::to_string(r.bottom - r.top);
}

// Resized in place, centred, held at its minimum tracking size, and refused once destroyed.
TEST(Win32Resize, ClientAreaFollowsRequests) {
    std::shared_ptr<InputPlatform> platform = createInputPlatform();
    InputInjector injector{platform};
    test::LogCapture log;
    NativeWindow gone = 0;
    {
        TestWindow window(false);
        ASSERT_NE(window.hwnd, nullptr);
        gone = window.handle();
        const RECT before = window.outer();
        ASSERT_TRUE(injector.resizeWindow(window.handle(), 640, 360, true));
        EXPECT_TRUE(eventually([&] { return window.clientIs(640, 360); }, 5s)) << clientText(window.hwnd);
        const RECT after = window.outer();
        EXPECT_EQ(after.left, before.left);
        EXPECT_EQ(after.top, before.top);
        // The logged outer size is what AdjustWindowRectEx makes of the client size.
        RECT expected{0, 0, 640, 360};
        AdjustWindowRectEx(&expected, static_cast<DWORD>(GetWindowLongW(window.hwnd, GWL_STYLE)), FALSE,
                           static_cast<DWORD>(GetWindowLongW(window.hwnd, GWL_EXSTYLE)));
        const std::string line = "Window resized to " + std::to_string(expected.right - expected.left) + "x" +
                                 std::to_string(expected.bottom - expected.top) + " (client: 640x360)";
        EXPECT_TRUE(log.contains(line)) << line;
        EXPECT_EQ(after.right - after.left, expected.right - expected.left);

        ASSERT_TRUE(injector.resizeWindow(window.handle(), 400, 300, false));
        TestWindow::pump();
        const RECT r = window.outer();
        EXPECT_EQ(r.left, (GetSystemMetrics(SM_CXSCREEN) - (r.right - r.left)) / 2);
        EXPECT_EQ(r.top, (GetSystemMetrics(SM_CYSCREEN) - (r.bottom - r.top)) / 2);
    }
    EXPECT_FALSE(platform->isWindow(gone));
    EXPECT_FALSE(injector.resizeWindow(gone, 640, 360, true));
    EXPECT_TRUE(log.contains("Invalid window handle for resize"));
    std::uint32_t error = 0;
    EXPECT_FALSE(platform->windowRect(gone, error));
    EXPECT_EQ(error, static_cast<std::uint32_t>(ERROR_INVALID_WINDOW_HANDLE));

    TestWindow limited(true);
    ASSERT_NE(limited.hwnd, nullptr);
    const WindowSize minimum = platform->minimumTrackingSize(limited.handle());
    EXPECT_EQ(minimum.width, kMinTrackWidth);
    EXPECT_EQ(minimum.height, kMinTrackHeight);
    ASSERT_TRUE(injector.resizeWindow(limited.handle(), 100, 100, true));
    EXPECT_TRUE(eventually(
        [&] {
            TestWindow::pump();
            const RECT r = limited.outer();
            return r.right - r.left == kMinTrackWidth && r.bottom - r.top == kMinTrackHeight;
        },
        5s));
}

}  // namespace
}  // namespace quillane::host::test
