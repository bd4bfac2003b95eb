// Titles, class names and file names reach the window list through these conversions.
#include "common/Utf8.h"

#include <gtest/gtest.h>

namespace quillane::host {
namespace {

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
}  // namespace quillane::host
