// SendInput and the focus steps on real Win32 windows of this process.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <chrono>
#include <memory>
#include <optional>
#include <vector>

#include "input/FocusManager.h"
#include "input/InputInjector.h"
#include "input/InputRouter.h"

namespace quillane::host::test {
namespace {

using namespace std::chrono_literals;

struct Seen {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};
std::vector<Seen> g_seen;

LRESULT CALLBACK recordingProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_LBUTTONDOWN || message == WM_LBUTTONUP || message == WM_RBUTTONDOWN || message == WM_KEYDOWN ||
        message == WM_KEYUP || message == WM_CHAR || message == WM_MOUSEWHEEL)
        g_seen.push_back(Seen{hwnd, message, wParam, lParam});
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

std::size_t count(UINT message, std::optional<WPARAM> wParam = std::nullopt, HWND hwnd = nullptr) {
    return std::count_if(g_seen.begin(), g_seen.end(), [&](const Seen& s) {
        return s.message == message && (!wParam || s.wParam == *wParam) && (hwnd == nullptr || s.hwnd == hwnd);
    });
}

// Another program's window: by default the system's text editor, whose text shows what it was
// typed.
class OtherProgram {
public:
    explicit OtherProgram(std::wstring command = L"notepad.exe") {
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
            return;
        WaitForInputIdle(process.hProcess, 10000);
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < deadline && !(hwnd = mainWindowOf(process.dwProcessId)))
            RecordingWindow::pump(50ms);
    }
    ~OtherProgram() {
        if (process.hProcess == nullptr) return;
        if (WaitForSingleObject(process.hProcess, 0) != WAIT_OBJECT_0) TerminateProcess(process.hProcess, 0);
        WaitForSingleObject(process.hProcess, 5000);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    std::wstring text() const {
        const HWND edit = FindWindowExW(hwnd, nullptr, L"Edit", nullptr);
        wchar_t buffer[256] = {};
        if (edit != nullptr) SendMessageW(edit, WM_GETTEXT, 256, reinterpret_cast<LPARAM>(buffer));
        return buffer;
    }
    // Over the rectangle of the given window, and in front.
    void cover(HWND window) const {
        RECT r{};
        GetWindowRect(window, &r);
        SetWindowPos(hwnd, HWND_TOP, r.left - 20, r.top - 20, r.right - r.left + 40, r.bottom - r.top + 40, 0);
        SetForegroundWindow(hwnd);
        RecordingWindow::pump(200ms);
    }
    NativeWindow handle() const { return reinterpret_cast<std::uintptr_t>(hwnd); }
    bool waitForExit() const { return WaitForSingleObject(process.hProcess, 10000) == WAIT_OBJECT_0; }
    HWND hwnd = nullptr;

private:
    static HWND mainWindowOf(DWORD processId) {
        struct Search {
            DWORD id;
            HWND found;
        } search{processId, nullptr};
        EnumWindows(
            [](HWND window, LPARAM param) -> BOOL {
                auto* s = reinterpret_cast<Search*>(param);
                DWORD owner = 0;
                GetWindowThreadProcessId(window, &owner);
                if (owner != s->id || !IsWindowVisible(window) || GetWindow(window, GW_OWNER) != nullptr) return TRUE;
                s->found = window;
                return FALSE;
            },
            reinterpret_cast<LPARAM>(&search));
        return search.found;
    }
    PROCESS_INFORMATION process{};
};

// A router over the real desktop, for stream 1 on the given window.
struct Router {
    explicit Router(NativeWindow window) : stream(window) {
        injector->initialize(InputInjectorConfig{});
        focus->initialize(FocusManagerConfig{10, 10, false});
    }
    ~Router() { injector->releaseAll(); }
    void key(KeyAction action, std::uint8_t vk) {
        router.routeInputEvent(1, InputPacket{2, static_cast<std::uint8_t>(action), 0, 0, vk, 0, 0});
    }
    void click(std::uint8_t stream = 1) {
        for (const MouseAction action : {MouseAction::Move, MouseAction::ButtonDown, MouseAction::ButtonUp})
            router.routeInputEvent(stream, InputPacket{1, static_cast<std::uint8_t>(action), 32768, 32768, 0, 0, 0});
    }
    std::shared_ptr<InputPlatform> platform = createInputPlatform();
    std::shared_ptr<InputInjector> injector = std::make_shared<InputInjector>(platform);
    std::shared_ptr<FocusManager> focus = std::make_shared<FocusManager>(platform);
    NativeWindow stream;
    InputRouter router{platform, injector, focus, [this](std::uint8_t id) { return id == 1 ? stream : 0; }};
};

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

// Windows of this process are one application; another program's are not. With that program in
// front, keys and text for the stream never reach it: the streamed window gets them after the
// focus steps, or nothing arrives.
TEST(Win32InputRouter, KeysNeverReachAnotherProgram) {
    RecordingWindow target(L"Quillane router target", 100, 100);
    RecordingWindow dialog(L"Quillane router dialog", 600, 100);
    OtherProgram other;
    ASSERT_NE(other.hwnd, nullptr) << "the text editor did not start";
    Router r(target.handle());
    EXPECT_TRUE(r.platform->sameApplication(target.handle(), dialog.handle()));
    EXPECT_FALSE(r.platform->sameApplication(target.handle(), other.handle()));

    other.cover(target.hwnd);
    g_seen.clear();
    r.key(KeyAction::KeyDown, 0x51);
    r.key(KeyAction::KeyUp, 0x51);
    r.router.routeInputEvent(1, InputPacket{2, 3, u'z', 0, 0, 0, 0});
    RecordingWindow::pump(300ms);
    EXPECT_EQ(other.text(), L"");
    const std::size_t typed = count(WM_CHAR, std::nullopt, target.hwnd);
    EXPECT_TRUE(typed == 0 || typed == 2) << typed;
}

// Run by the test below as another program: a recording window that writes how many button
// messages it saw to the file that QH_COVER_REPORT names, until the file QH_COVER_STOP appears.
TEST(Win32InputRouter, DISABLED_CoverWindowOfAnotherProgram) {
    const char* report = std::getenv("QH_COVER_REPORT");
    const char* stop = std::getenv("QH_COVER_STOP");
    if (report == nullptr || stop == nullptr) GTEST_SKIP() << "run by CoveredWindowsAreRaisedOrSpared";
    RecordingWindow cover(L"Quillane cover of another program", 100, 100);
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (GetFileAttributesA(stop) == INVALID_FILE_ATTRIBUTES && std::chrono::steady_clock::now() < deadline)
        RecordingWindow::pump(50ms);
    if (FILE* out = std::fopen(report, "w")) {
        std::fprintf(out, "%zu", count(WM_LBUTTONDOWN) + count(WM_LBUTTONUP));
        std::fclose(out);
    }
}

// A press for a window that another program covers raises it and reaches it, or reaches
// nothing: the cover never gets it.
TEST(Win32InputRouter, CoveredWindowsAreRaisedOrSpared) {
    RecordingWindow target(L"Quillane covered target", 100, 100);
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    char folder[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, folder);
    const std::string report = std::string(folder) + "qh_cover_report_" + std::to_string(GetCurrentProcessId());
    const std::string stop = report + "_stop";
    DeleteFileA(report.c_str());
    DeleteFileA(stop.c_str());
    SetEnvironmentVariableA("QH_COVER_REPORT", report.c_str());
    SetEnvironmentVariableA("QH_COVER_STOP", stop.c_str());
    OtherProgram other(std::wstring(L"\"") + self +
                       L"\" --gtest_also_run_disabled_tests --gtest_filter=*DISABLED_CoverWindowOfAnotherProgram");
    ASSERT_NE(other.hwnd, nullptr) << "the covering program did not start";
    Router r(target.handle());
    EXPECT_FALSE(r.platform->sameApplication(target.handle(), other.handle()));
    other.cover(target.hwnd);
    g_seen.clear();
    for (int i = 0; i < 3; ++i) r.click();
    RecordingWindow::pump(300ms);
    const std::size_t presses = count(WM_LBUTTONDOWN, std::nullopt, target.hwnd);
    EXPECT_EQ(presses, count(WM_LBUTTONUP, std::nullopt, target.hwnd));

    if (FILE* touch = std::fopen(stop.c_str(), "w")) std::fclose(touch);
    ASSERT_TRUE(other.waitForExit());
    std::size_t coverSaw = 99;
    if (FILE* in = std::fopen(report.c_str(), "r")) {
        if (std::fscanf(in, "%zu", &coverSaw) != 1) coverSaw = 99;
        std::fclose(in);
    }
    EXPECT_EQ(coverSaw, 0u) << "the covering program got button messages";
    DeleteFileA(report.c_str());
    DeleteFileA(stop.c_str());
}

// Sleep, browser and launcher keys never reach the window in front; the key after them does.
TEST(Win32InputRouter, MachineKeysAreNeverSent) {
    RecordingWindow target(L"Quillane machine keys", 100, 100);
    Router r(target.handle());
    ASSERT_TRUE(r.focus->focusWindow(target.handle()).success);
    g_seen.clear();
    std::vector<std::uint8_t> machine{0x5F};
    for (int vk = 0xA6; vk <= 0xAC; ++vk) machine.push_back(static_cast<std::uint8_t>(vk));
    for (int vk = 0xB4; vk <= 0xB7; ++vk) machine.push_back(static_cast<std::uint8_t>(vk));
    for (const std::uint8_t vk : machine) {
        r.key(KeyAction::KeyDown, vk);
        r.key(KeyAction::KeyUp, vk);
    }
    r.key(KeyAction::KeyDown, 0x43);
    r.key(KeyAction::KeyUp, 0x43);
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (count(WM_KEYUP) == 0 && std::chrono::steady_clock::now() < deadline) RecordingWindow::pump(20ms);
    RecordingWindow::pump(50ms);
    for (const std::uint8_t vk : machine) EXPECT_EQ(count(WM_KEYDOWN, vk), 0u) << std::hex << int(vk);
    EXPECT_EQ(count(WM_KEYDOWN, 0x43), 1u);
}

// Once the stream's window is gone, its clicks reach no window (not the one now at the point)
// and do not move the pointer; neither do clicks for a stream that never ran.
TEST(Win32InputRouter, InputForAClosedWindowGoesNowhere) {
    auto closing = std::make_unique<RecordingWindow>(L"Quillane closing target", 100, 100);
    Router r(closing->handle());
    closing.reset();
    RecordingWindow bystander(L"Quillane bystander", 100, 100);
    POINT before{};
    GetCursorPos(&before);
    g_seen.clear();
    r.click(1);
    r.click(77);
    RecordingWindow::pump(300ms);
    POINT after{};
    GetCursorPos(&after);
    EXPECT_EQ(std::make_pair(after.x, after.y), std::make_pair(before.x, before.y));
    EXPECT_EQ(count(WM_LBUTTONDOWN), 0u);
}

}  // namespace
}  // namespace quillane::host::test
