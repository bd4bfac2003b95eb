#include "LogCapture.h"
#include "WindowEnumeratorFake.h"

#include "capture/WindowEnumerator.h"
#include "common/Base64.h"
#include "common/Utf8.h"

#include <gtest/gtest.h>

namespace quillane::host::test {
namespace {

using protocol::WindowInfo;
using test::FakeWindow;
using test::FakeWindowSystem;

std::optional<WindowInfo> find(const std::vector<WindowInfo>& list, NativeWindow id) {
    for (const auto& w : list)
        if (w.id == static_cast<std::uint32_t>(id)) return w;
    return std::nullopt;
}

TEST(WindowEnumerator, RecordsCarryEveryFieldOfTheWindow) {
    FakeWindowSystem system;
    system.add({.id = 0x1'2345'6789ull,  // listed by the low 32 bits
                .title = L"Grüße – 編集 🎧",
                .className = L"Notepad++",
                .rect = WindowRect{-8, -31, 1912, 1049},
                .maximized = true,
                .imagePath = L"C:\\Program Files\\Notepad++\\notepad++.exe",
                .icon = {WindowIconPng::Outcome::Encoded, {0x89, 'P', 'N', 'G', 1, 2, 3}}});
    system.add({.id = 7, .rect = WindowRect{-32000, -32000, -31840, -31972}, .minimized = true});

    const auto list = WindowEnumerator::enumerateWindows(system);
    ASSERT_EQ(list.size(), 2u);
    const auto info = find(list, 0x23456789u);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->title, "Gr\xC3\xBC\xC3\x9F" "e \xE2\x80\x93 \xE7\xB7\xA8\xE9\x9B\x86 \xF0\x9F\x8E\xA7");
    EXPECT_EQ(info->className, "Notepad++");
    EXPECT_EQ(info->processName, "notepad++.exe");
    EXPECT_EQ(info->x, -8);
    EXPECT_EQ(info->y, -31);
    EXPECT_EQ(info->width, 1920);
    EXPECT_EQ(info->height, 1080);
    EXPECT_FALSE(info->isMinimized);
    EXPECT_TRUE(info->isMaximized);
    EXPECT_TRUE(info->isVisible);
    EXPECT_EQ(info->iconBase64, "iVBORwECAw==");

    const auto minimised = find(list, 7);
    ASSERT_TRUE(minimised);
    EXPECT_TRUE(minimised->isMinimized);
    EXPECT_TRUE(minimised->isVisible);
    EXPECT_FALSE(minimised->isMaximized);
    EXPECT_EQ(minimised->width, 160);
    EXPECT_EQ(minimised->height, 28);
}

TEST(WindowEnumerator, SortsTitlesByBytesWithUpperCaseFirst) {
    FakeWindowSystem system;
    NativeWindow id = 1;
    for (const wchar_t* title : {L"B", L"a", L"Ab", L"\u00e9diteur", L"z", L"A"}) system.add({.id = id++, .title = title});
    std::vector<std::string> titles;
    for (const auto& w : WindowEnumerator::enumerateWindows(system)) titles.push_back(w.title);
    EXPECT_EQ(titles, (std::vector<std::string>{"A", "Ab", "B", "a", "z", "\xC3\xA9" "diteur"}));
}

// Rejected windows never cost a process or icon query, which may wait on a hung window's thread.
TEST(WindowEnumerator, FiltersAsStylesStateGeometryAndShellNamesSay) {
    struct Case {
        std::string what;
        bool listed;
        FakeWindow window;
        const char* notAsked = nullptr;  // a later, dearer query that must not be made
    };
    std::vector<Case> cases = {
        {"caption", true, {.style = {false, true, false}}},
        {"hidden", false, {.visible = false}, "title"},
        {"untitled", false, {.title = L"", .style = {false, true, true}}},
        {"popup", false, {.style = {false, false, false}}},
        {"application popup", true, {.style = {false, false, true}}},
        {"tool window", false, {.style = {true, true, true}}, "class"},
        {"cloaked", false, {.cloaked = true}},
        {"no rectangle", false, {.rect = std::nullopt}},
        {"one pixel", true, {.rect = WindowRect{-1, -1, 0, 0}}},
    };
    for (const auto& r : {WindowRect{0, 0, 0, 100}, WindowRect{0, 0, 100, 0}, WindowRect{50, 50, 40, 60},
                          WindowRect{50, 50, 60, 40}, WindowRect{-2147483647 - 1, 0, 2147483647, 0}})
        cases.push_back({"empty rectangle from " + std::to_string(r.left) + "," + std::to_string(r.top), false, {.rect = r}});
    for (const wchar_t* name : {L"Progman", L"Shell_TrayWnd", L"Shell_SecondaryTrayWnd", L"NotifyIconOverflowWindow",
                                L"Windows.UI.Core.CoreWindow", L"ApplicationFrameWindow", L"Xaml_WindowedPopupClass"})
        cases.push_back({"shell class " + WindowEnumerator::wideToUtf8(name), false, {.className = name}});
    for (const wchar_t* name : {L"Program Manager", L"Microsoft Text Input Application"})
        cases.push_back({"shell title " + WindowEnumerator::wideToUtf8(name), false, {.title = name}});
    // Exclusions match the whole text, with case.
    for (const wchar_t* name : {L"program manager", L"Program Manager ", L"Program Manager - notes", L"Program"})
        cases.push_back({"title " + WindowEnumerator::wideToUtf8(name), true, {.title = name}});
    for (const wchar_t* name : {L"progman", L"Progman2", L"Shell_TrayWn", L"XProgman"})
        cases.push_back({"class " + WindowEnumerator::wideToUtf8(name), true, {.className = name}});

    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakeWindowSystem system;
        c.window.id = 0x42;
        system.add(c.window);
        EXPECT_EQ(find(WindowEnumerator::enumerateWindows(system), 0x42).has_value(), c.listed);
        if (c.listed) continue;
        EXPECT_FALSE(system.asked(0x42, "icon"));
        EXPECT_FALSE(system.asked(0x42, "process"));
        if (c.notAsked) {
            EXPECT_FALSE(system.asked(0x42, c.notAsked));
        }
    }
}

TEST(WindowEnumerator, ProcessNameIsTheTextAfterTheLastSeparator) {
    const std::pair<const wchar_t*, const char*> cases[] = {
        {L"C:\\Program Files\\App\\app.exe", "app.exe"}, {L"/usr/lib/firefox/firefox-bin", "firefox-bin"},
        {L"C:/mixed\\dirs/tool.exe", "tool.exe"},        {L"nodirectory.exe", "nodirectory.exe"},
        {L"", ""},                                        {L"C:\\trailing\\", ""},
    };
    for (const auto& [path, name] : cases) {
        FakeWindowSystem system;
        system.add({.id = 5, .imagePath = path});
        const auto list = WindowEnumerator::enumerateWindows(system);
        ASSERT_EQ(list.size(), 1u);
        EXPECT_EQ(list[0].processName, name);
    }
}

TEST(WindowEnumerator, IconOutcomesAndTheirLogLines) {
    FakeWindowSystem system;
    system.add({.id = 0xA1, .title = L"none"});
    system.add({.id = 0xB2, .title = L"drawFailed", .icon = {WindowIconPng::Outcome::DrawFailed, {}}});
    system.add({.id = 0xC0FFEE, .title = L"encoderFailed", .icon = {WindowIconPng::Outcome::Encoded, {}}});
    FakeWindow& large = system.add({.id = 0xD4, .title = L"large", .icon = {WindowIconPng::Outcome::Encoded, {}}});
    for (int i = 0; i < 3000; ++i) large.icon.png.push_back(static_cast<std::uint8_t>(i * 7));

    test::LogCapture log;
    const auto list = WindowEnumerator::enumerateWindows(system);
    ASSERT_EQ(list.size(), 4u);  // a window without an icon is still listed
    for (const auto& w : list) EXPECT_EQ(w.iconBase64.empty(), w.title != "large") << w.title;
    // The whole PNG, without line breaks.
    EXPECT_EQ(find(list, 0xD4)->iconBase64.find('\n'), std::string::npos);
    EXPECT_EQ(base64Decode(find(list, 0xD4)->iconBase64), system.windows.back().icon.png);
    const auto warnings = log.matching("getWindowIconBase64");
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].text, "getWindowIconBase64: PNG data is empty after encoding for hwnd c0ffee");
    EXPECT_EQ(warnings[0].level, spdlog::level::warn);
}

TEST(WindowEnumerator, VanishedWindowsAreSkippedOrKeepWhatWasRead) {
    FakeWindowSystem system;
    system.add({.id = 1, .title = L"steady"});
    system.add({.id = 2, .title = L"vanishing", .icon = {WindowIconPng::Outcome::Encoded, {1, 2, 3}},
                .vanishesOnProcessQuery = true});
    system.add({.id = 9, .gone = true});

    const auto list = WindowEnumerator::enumerateWindows(system);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].title, "steady");
    EXPECT_EQ(list[0].width, 100);
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
}

TEST(WindowEnumerator, HostsOwnWindowsAreNeverListed) {
    FakeWindowSystem system;
    system.add({.id = 0x5'0000'0011ull, .title = L"Quillane Host"});  // matched by its 32-bit id
    system.add({.id = 0x12});
    WindowEnumerator::setOwnWindowIds({0x11});
    const auto list = WindowEnumerator::enumerateWindows(system);
    WindowEnumerator::setOwnWindowIds({});
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].id, 0x12u);
    EXPECT_EQ(WindowEnumerator::enumerateWindows(system).size(), 2u);
}

// Titles, class names and file names reach the window list through these conversions.
std::string fffd(int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += "\xEF\xBF\xBD";
    return out;
}

TEST(Utf8, EachMaximalIllFormedPartBecomesOneReplacement) {
    const std::string valid = "ASCII \xC3\xA9 \xE2\x82\xAC \xEF\xBF\xBF \xF0\x9F\x8E\xA7 \xF4\x8F\xBF\xBF";
    EXPECT_TRUE(isValidUtf8(valid));
    const std::pair<std::string, std::string> cases[] = {
        {valid, valid},
        {std::string("a\0b", 3), std::string("a\0b", 3)},
        // The example of the Unicode standard's section on U+FFFD substitution.
        {"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64", "a" + fffd(3) + "b" + fffd(1) + "c" + fffd(2) + "d"},
        {"Bad \xFF\xFE title", "Bad " + fffd(2) + " title"},
        {"end\xC3", "end" + fffd(1)},           // cut short at the end
        {"\xE2\x82" "A", fffd(1) + "A"},        // cut short before ASCII
        {"\xF0\x9F\x98x", fffd(1) + "x"},
        {"\xC0\xAF", fffd(2)},                  // overlong '/'
        {"\xE0\x80\xAF", fffd(3)},              // overlong, three bytes
        {"\xED\xA0\x80", fffd(3)},              // a surrogate
        {"\xF4\x90\x80\x80", fffd(4)},          // beyond U+10FFFF
        {"\xF5\x80", fffd(2)},
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(sanitizeUtf8(in), out) << in;
        EXPECT_EQ(isValidUtf8(in), in == out) << in;
        EXPECT_TRUE(isValidUtf8(sanitizeUtf8(in))) << in;
    }
}

TEST(Utf8, Latin1AndWideConversions) {
    EXPECT_EQ(latin1ToUtf8("Caf\xE9 \xA9\xFF plain"), "Caf\xC3\xA9 \xC2\xA9\xC3\xBF plain");

    const std::string text = "x\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xA7\xF4\x8F\xBF\xBF";
    const std::wstring wide = utf8ToWide(text);
    EXPECT_EQ(wide.size(), sizeof(wchar_t) == 2 ? 7u : 5u);  // two surrogate pairs on Windows
    EXPECT_EQ(wideToUtf8(wide), text);
    EXPECT_EQ(wideToUtf8(utf8ToWide("Bad \xFF")), "Bad " + fffd(1));

    // Unpaired surrogates (possible in Windows titles): low first, high before ASCII, high at the end.
    const std::wstring unpaired = {wchar_t(0xDC00), wchar_t(0xD800), L'A', wchar_t(0xDBFF)};
    EXPECT_EQ(wideToUtf8(unpaired), fffd(2) + "A" + fffd(1));
    if constexpr (sizeof(wchar_t) == 4) {
        EXPECT_EQ(wideToUtf8(std::wstring(1, wchar_t(0x110000))), fffd(1));
    }
}

}  // namespace
}  // namespace quillane::host::test
