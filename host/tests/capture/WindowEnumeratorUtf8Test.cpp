// Titles, class names and file names reach the window list through these conversions.
#include "common/Utf8.h"

#include <gtest/gtest.h>

namespace quillane::host {
namespace {

const std::string kFffd = "\xEF\xBF\xBD";

std::string repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

TEST(Utf8, ValidTextPassesUnchanged) {
    const std::string text = "ASCII \xC3\xA9 \xE2\x82\xAC \xEF\xBF\xBF \xF0\x9F\x8E\xA7 \xF4\x8F\xBF\xBF";
    EXPECT_TRUE(isValidUtf8(text));
    EXPECT_EQ(sanitizeUtf8(text), text);
    EXPECT_EQ(sanitizeUtf8(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(Utf8, EachMaximalIllFormedPartBecomesOneReplacement) {
    // The example of the Unicode standard's section on U+FFFD substitution.
    EXPECT_EQ(sanitizeUtf8("\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64"),
              std::string("a") + repeat(kFffd, 3) + "b" + kFffd + "c" + repeat(kFffd, 2) + "d");
    EXPECT_EQ(sanitizeUtf8("Bad \xFF\xFE title"), std::string("Bad ") + repeat(kFffd, 2) + " title");
    EXPECT_EQ(sanitizeUtf8("end\xC3"), std::string("end") + kFffd);                 // cut short at the end
    EXPECT_EQ(sanitizeUtf8("\xE2\x82" "A"), kFffd + "A");              // cut short before ASCII
    EXPECT_EQ(sanitizeUtf8("\xF0\x9F\x98x"), kFffd + "x");
    EXPECT_EQ(sanitizeUtf8("\xC0\xAF"), repeat(kFffd, 2));             // overlong '/'
    EXPECT_EQ(sanitizeUtf8("\xE0\x80\xAF"), repeat(kFffd, 3));         // overlong, three bytes
    EXPECT_EQ(sanitizeUtf8("\xED\xA0\x80"), repeat(kFffd, 3));         // a surrogate
    EXPECT_EQ(sanitizeUtf8("\xF4\x90\x80\x80"), repeat(kFffd, 4));     // beyond U+10FFFF
    EXPECT_EQ(sanitizeUtf8("\xF5\x80"), repeat(kFffd, 2));
    EXPECT_FALSE(isValidUtf8("\xC3"));
    EXPECT_FALSE(isValidUtf8("\xED\xA0\x80"));
    EXPECT_TRUE(isValidUtf8(sanitizeUtf8("\xFF\xC3\xE2\x82")));
}

TEST(Utf8, Latin1) {
    EXPECT_EQ(latin1ToUtf8("Caf\xE9 \xA9\xFF"), "Caf\xC3\xA9 \xC2\xA9\xC3\xBF");
    EXPECT_EQ(latin1ToUtf8("plain"), "plain");
}

TEST(Utf8, WideRoundTrip) {
    const std::string text = "x\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xA7\xF4\x8F\xBF\xBF";
    const std::wstring wide = utf8ToWide(text);
    EXPECT_EQ(wide.size(), sizeof(wchar_t) == 2 ? 7u : 5u);  // two surrogate pairs on Windows
    EXPECT_EQ(wideToUtf8(wide), text);
    EXPECT_EQ(wideToUtf8(utf8ToWide("Bad \xFF")), std::string("Bad ") + kFffd);
}

TEST(Utf8, UnpairedSurrogatesAndOutOfRangeValuesBecomeReplacements) {
    std::wstring text;
    text += static_cast<wchar_t>(0xDC00);  // low surrogate first
    text += static_cast<wchar_t>(0xD800);  // high surrogate followed by ASCII
    text += L'A';
    text += static_cast<wchar_t>(0xDBFF);  // high surrogate at the end
    EXPECT_EQ(wideToUtf8(text), kFffd + kFffd + "A" + kFffd);
    if constexpr (sizeof(wchar_t) == 4) {
        std::wstring big;
        big += static_cast<wchar_t>(0x110000);
        EXPECT_EQ(wideToUtf8(big), kFffd);
    }
}

}  // namespace
}  // namespace quillane::host
