#include "LogCapture.h"
#include "WindowEnumeratorFake.h"

#include "capture/WindowEnumerator.h"
#include "common/Base64.h"

#include <gtest/gtest.h>

namespace quillane::host {
namespace {

using protocol::WindowInfo;
using test::FakeWindow;
using test::FakeWindowSystem;
using test::LogCapture;

std::vector<std::string> titlesOf(const std::vector<WindowInfo>& list) {
    std::vector<std::string> titles;
    for (const auto& w : list) titles.push_back(w.title);
    return titles;
}

bool listed(FakeWindowSystem& system, NativeWindow id) {
    for (const auto& w : WindowEnumerator::enumerateWindows(system)) {
        if (w.id == static_cast<std::uint32_t>(id)) return true;
    }
    return false;
}

bool listedAlone(FakeWindow window) {
    FakeWindowSystem system;
    window.id = 0x42;
    system.add(std::move(window));
    return listed(system, 0x42);
}

TEST(WindowEnumerator, RecordCarriesEveryFieldOfTheWindow) {
    FakeWindowSystem system;
    FakeWindow w;
    w.id = 0x1'2345'6789ull;
    w.title = L"Grüße – 編集 🎧";
    w.className = L"Notepad++";
    w.rect = WindowRect{-8, -31, 1912, 1049};
    w.maximized = true;
    w.imagePath = L"C:\\Program Files\\Notepad++\\notepad++.exe";
    w.icon = {WindowIconPng::Outcome::Encoded, {0x89, 'P', 'N', 'G', 1, 2, 3}};
    system.add(w);

    const auto list = WindowEnumerator::enumerateWindows(system);
    ASSERT_EQ(list.size(), 1u);
    const WindowInfo& info = list[0];
    EXPECT_EQ(info.id, 0x23456789u);  // the low 32 bits of the handle
    EXPECT_EQ(info.title, "Gr\xC3\xBC\xC3\x9F" "e \xE2\x80\x93 \xE7\xB7\xA8\xE9\x9B\x86 \xF0\x9F\x8E\xA7");
    EXPECT_EQ(info.className, "Notepad++");
    EXPECT_EQ(info.processName, "notepad++.exe");
    EXPECT_EQ(info.x, -8);
    EXPECT_EQ(info.y, -31);
    EXPECT_EQ(info.width, 1920);
    EXPECT_EQ(info.height, 1080);
    EXPECT_FALSE(info.isMinimized);
    EXPECT_TRUE(info.isMaximized);
    EXPECT_TRUE(info.isVisible);
    EXPECT_EQ(info.iconBase64, "iVBORwECAw==");
}

TEST(WindowEnumerator, SortsTitlesByBytesWithUpperCaseFirst) {
    FakeWindowSystem system;
    NativeWindow id = 1;
    for (const wchar_t* title : {L"B", L"a", L"Ab", L"\u00e9diteur", L"z", L"A"}) {
        FakeWindow w;
        w.id = id++;
        w.title = title;
        system.add(w);
    }
    EXPECT_EQ(titlesOf(WindowEnumerator::enumerateWindows(system)),
              (std::vector<std::string>{"A", "Ab", "B", "a", "z", "\xC3\xA9" "diteur"}));
}

TEST(WindowEnumerator, MinimisedWindowIsListedAsMinimisedAndVisible) {
    FakeWindowSystem system;
    FakeWindow w;
    w.id = 7;
    w.minimized = true;
    w.rect = WindowRect{-32000, -32000, -31840, -31972};
    system.add(w);
    const auto list = WindowEnumerator::enumerateWindows(system);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_TRUE(list[0].isMinimized);
    EXPECT_TRUE(list[0].isVisible);
    EXPECT_EQ(list[0].width, 160);
    EXPECT_EQ(list[0].height, 28);
}

TEST(WindowEnumerator, HiddenAndUntitledWindowsAreNeverListed) {
    FakeWindow hidden;
    hidden.visible = false;
    EXPECT_FALSE(listedAlone(hidden));

    FakeWindow untitled;
    untitled.title.clear();
    untitled.style = {false, true, true};
    EXPECT_FALSE(listedAlone(untitled));
}

TEST(WindowEnumerator, CaptionOrAppWindowNeededAndToolWindowsNeverListed) {
    FakeWindow plain;
    plain.style = {false, true, false};
    EXPECT_TRUE(listedAlone(plain));

    FakeWindow popup;
    popup.style = {false, false, false};
    EXPECT_FALSE(listedAlone(popup));

    FakeWindow appPopup;
    appPopup.style = {false, false, true};
    EXPECT_TRUE(listedAlone(appPopup));

    FakeWindow tool;
    tool.style = {true, true, true};
    EXPECT_FALSE(listedAlone(tool));
}

TEST(WindowEnumerator, CloakedWindowIsNotListed) {
    FakeWindow cloaked;
    cloaked.cloaked = true;
    EXPECT_FALSE(listedAlone(cloaked));
}

TEST(WindowEnumerator, EmptyOrMissingRectangleIsNotListed) {
    for (const auto& r : {WindowRect{0, 0, 0, 100}, WindowRect{0, 0, 100, 0}, WindowRect{50, 50, 40, 60},
                          WindowRect{50, 50, 60, 40}, WindowRect{-2147483647 - 1, 0, 2147483647, 0}}) {
        FakeWindow w;
        w.rect = r;
        EXPECT_FALSE(listedAlone(w)) << r.left << "," << r.top << "," << r.right << "," << r.bottom;
    }
    FakeWindow noRect;
    noRect.rect = std::nullopt;
    EXPECT_FALSE(listedAlone(noRect));

    FakeWindow onePixel;
    onePixel.rect = WindowRect{-1, -1, 0, 0};
    EXPECT_TRUE(listedAlone(onePixel));
}

TEST(WindowEnumerator, ExclusionTablesHoldTheShellsWindows) {
    EXPECT_EQ(WindowEnumerator::excludedWindowClasses,
              (std::array<std::wstring_view, 7>{L"Progman", L"Shell_TrayWnd", L"Shell_SecondaryTrayWnd",
                                                L"NotifyIconOverflowWindow", L"Windows.UI.Core.CoreWindow",
                                                L"ApplicationFrameWindow", L"Xaml_WindowedPopupClass"}));
    EXPECT_EQ(WindowEnumerator::excludedWindowTitles,
              (std::array<std::wstring_view, 2>{L"Program Manager", L"Microsoft Text Input Application"}));
    for (const auto name : WindowEnumerator::excludedWindowClasses) {
        FakeWindow w;
        w.className = std::wstring(name);
        EXPECT_FALSE(listedAlone(w));
    }
    for (const auto name : WindowEnumerator::excludedWindowTitles) {
        FakeWindow w;
        w.title = std::wstring(name);
        EXPECT_FALSE(listedAlone(w));
    }
}

TEST(WindowEnumerator, ExclusionMatchesWholeTextWithCase) {
    for (const wchar_t* title : {L"program manager", L"Program Manager ", L"Program Manager - notes", L"Program"}) {
        FakeWindow w;
        w.title = title;
        EXPECT_TRUE(listedAlone(w));
    }
    for (const wchar_t* cls : {L"progman", L"Progman2", L"Shell_TrayWn", L"XProgman"}) {
        FakeWindow w;
        w.className = cls;
        EXPECT_TRUE(listedAlone(w));
    }
}

TEST(WindowEnumerator, RejectedWindowsCostNoProcessOrIconQuery) {
    FakeWindowSystem system;
    FakeWindow hidden;
    hidden.id = 1;
    hidden.visible = false;
    FakeWindow tool;
    tool.id = 2;
    tool.style.toolWindow = true;
    FakeWindow shell;
    shell.id = 3;
    shell.className = L"Shell_TrayWnd";
    system.add(hidden);
    system.add(tool);
    system.add(shell);
    EXPECT_TRUE(WindowEnumerator::enumerateWindows(system).empty());
    // Icon lookups may wait on a hung window's thread: only listed windows pay for them.
    for (NativeWindow id : {1, 2, 3}) {
        EXPECT_FALSE(system.asked(id, "icon")) << id;
        EXPECT_FALSE(system.asked(id, "process")) << id;
    }
    EXPECT_FALSE(system.asked(1, "title"));
    EXPECT_FALSE(system.asked(2, "class"));
}

TEST(WindowEnumerator, ProcessNameIsTheTextAfterTheLastSeparator) {
    const std::pair<const wchar_t*, const char*> cases[] = {
        {L"C:\\Program Files\\App\\app.exe", "app.exe"},
        {L"/usr/lib/firefox/firefox-bin", "firefox-bin"},
        {L"C:/mixed\\dirs/tool.exe", "tool.exe"},
        {L"nodirectory.exe", "nodirectory.exe"},
        {L"", ""},
        {L"C:\\trailing\\", ""},
    };
    for (const auto& [path, name] : cases) {
        FakeWindowSystem system;
        FakeWindow w;
        w.id = 5;
        w.imagePath = path;
        system.add(w);
        const auto list = WindowEnumerator::enumerateWindows(system);
        ASSERT_EQ(list.size(), 1u);
        EXPECT_EQ(list[0].processName, name);
    }
}

TEST(WindowEnumerator, IconOutcomesAndTheirLogLines) {
    FakeWindowSystem system;
    FakeWindow none;
    none.id = 0xA1;
    none.title = L"none";
    FakeWindow drawFailed;
    drawFailed.id = 0xB2;
    drawFailed.title = L"drawFailed";
    drawFailed.icon.outcome = WindowIconPng::Outcome::DrawFailed;
    FakeWindow encoderFailed;
    encoderFailed.id = 0xC0FFEE;
    encoderFailed.title = L"encoderFailed";
    encoderFailed.icon.outcome = WindowIconPng::Outcome::Encoded;
    system.add(none);
    system.add(drawFailed);
    system.add(encoderFailed);

    LogCapture log;
    const auto list = WindowEnumerator::enumerateWindows(system);
    ASSERT_EQ(list.size(), 3u);  // a window without an icon is still listed
    for (const auto& w : list) EXPECT_TRUE(w.iconBase64.empty()) << w.title;
    const auto warnings = log.matching("getWindowIconBase64");
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].text, "getWindowIconBase64: PNG data is empty after encoding for hwnd c0ffee");
    EXPECT_EQ(warnings[0].level, spdlog::level::warn);
}

TEST(WindowEnumerator, IconIsBase64OfTheWholePngWithoutLineBreaks) {
    FakeWindowSystem system;
    FakeWindow w;
    w.id = 3;
    w.icon.outcome = WindowIconPng::Outcome::Encoded;
    for (int i = 0; i < 3000; ++i) w.icon.png.push_back(static_cast<std::uint8_t>(i * 7));
    system.add(w);
    const auto list = WindowEnumerator::enumerateWindows(system);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].iconBase64.find('\n'), std::string::npos);
    EXPECT_EQ(base64Decode(list[0].iconBase64), w.icon.png);
}

TEST(WindowEnumerator, WindowThatVanishesBetweenFilterAndRecordKeepsWhatWasRead) {
    FakeWindowSystem system;
    FakeWindow steady;
    steady.id = 1;
    steady.title = L"steady";
    FakeWindow vanishing;
    vanishing.id = 2;
    vanishing.title = L"vanishing";
    vanishing.vanishesOnProcessQuery = true;
    vanishing.icon = {WindowIconPng::Outcome::Encoded, {1, 2, 3}};
    system.add(steady);
    system.add(vanishing);

    const auto list = WindowEnumerator::enumerateWindows(system);
    ASSERT_EQ(list.size(), 2u);
    const WindowInfo& gone = list[1];
    EXPECT_EQ(gone.id, 2u);
    EXPECT_EQ(gone.title, "vanishing");
    EXPECT_EQ(gone.className, "AppClass");
    EXPECT_EQ(gone.processName, "");
    EXPECT_EQ(gone.x, 0);
    EXPECT_EQ(gone.y, 0);
    EXPECT_EQ(gone.width, 0);
    EXPECT_EQ(gone.height, 0);
    EXPECT_FALSE(gone.isVisible);
    EXPECT_EQ(gone.iconBase64, "");
    EXPECT_EQ(list[0].title, "steady");
    EXPECT_EQ(list[0].width, 100);
}

TEST(WindowEnumerator, VanishedWindowsAreSkipped) {
    FakeWindowSystem system;
    FakeWindow gone;
    gone.id = 9;
    gone.gone = true;
    system.add(gone);
    FakeWindow live;
    live.id = 10;
    system.add(live);
    const auto list = WindowEnumerator::enumerateWindows(system);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].id, 10u);
}

TEST(WindowEnumerator, HostsOwnWindowsAreNeverListed) {
    FakeWindowSystem system;
    FakeWindow own;
    own.id = 0x5'0000'0011ull;  // matched by the 32-bit id the rest of the system uses
    own.title = L"Quillane Host";
    FakeWindow other;
    other.id = 0x12;
    system.add(own);
    system.add(other);

    WindowEnumerator::setOwnWindowIds({0x11});
    const auto list = WindowEnumerator::enumerateWindows(system);
    WindowEnumerator::setOwnWindowIds({});
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].id, 0x12u);
    EXPECT_EQ(WindowEnumerator::enumerateWindows(system).size(), 2u);
}

TEST(WindowEnumerator, WideToUtf8) {
    EXPECT_EQ(WindowEnumerator::wideToUtf8(L""), "");
    EXPECT_EQ(WindowEnumerator::wideToUtf8(L"abc"), "abc");
    EXPECT_EQ(WindowEnumerator::wideToUtf8(L"\u00e9\u20ac\U0001F3A7"), "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xA7");
    // An unpaired surrogate (possible in Windows titles) becomes U+FFFD.
    std::wstring lone = L"a";
    lone += static_cast<wchar_t>(0xD83C);
    lone += L"b";
    EXPECT_EQ(WindowEnumerator::wideToUtf8(lone), "a\xEF\xBF\xBD" "b");
}

TEST(WindowEnumerator, EmptyDesktopGivesEmptyList) {
    FakeWindowSystem system;
    EXPECT_TRUE(WindowEnumerator::enumerateWindows(system).empty());
}

}  // namespace
}  // namespace quillane::host
