#include <string>

#include <gtest/gtest.h>

#include "network/LogText.h"

namespace quillane::host {
namespace {

TEST(LogText, ShortPrintableTextIsKept) {
    EXPECT_EQ(logSafeText("window_list_request"), "window_list_request");
    EXPECT_EQ(logSafeText("Gr\xC3\xBC\xC3\x9F" "e"), "Gr\xC3\xBC\xC3\x9F" "e");
}

TEST(LogText, ControlBytesAndBrokenUtf8AreEscaped) {
    EXPECT_EQ(logSafeText(std::string("a\nb\r\x1b[31m\x7f", 10)), "a\\x0ab\\x0d\\x1b[31m\\x7f");
    EXPECT_EQ(logSafeText(std::string("x\0y", 3)), "x\\x00y");
    EXPECT_EQ(logSafeText("\xFF\xC3"), "\\xff\\xc3");
    // Overlong form of '/' and an encoded surrogate are not valid UTF-8.
    EXPECT_EQ(logSafeText("\xC0\xAF"), "\\xc0\\xaf");
    EXPECT_EQ(logSafeText("\xED\xA0\x80"), "\\xed\\xa0\\x80");
}

TEST(LogText, LongTextIsCutWithItsLength) {
    const std::string text(1 << 20, 'A');
    const std::string safe = logSafeText(text);
    EXPECT_EQ(safe, std::string(128, 'A') + "... (1048576 bytes)");
}

TEST(LogText, CutNeverSplitsACharacter) {
    std::string text(127, 'a');
    text += "\xE2\x82\xAC";  // three bytes across the limit
    text += "tail";
    const std::string safe = logSafeText(text);
    EXPECT_EQ(safe, std::string(127, 'a') + "\xE2\x82\xAC" + "... (134 bytes)");
}

TEST(LogRateLimiter, LetsOneLineThroughPerIntervalAndCountsTheRest) {
    LogRateLimiter limiter(std::chrono::hours(1));
    std::size_t suppressed = 99;
    EXPECT_TRUE(limiter.allow(suppressed));
    EXPECT_EQ(suppressed, 0u);
    for (int i = 0; i < 5; ++i) {
        EXPECT_FALSE(limiter.allow(suppressed));
    }
    LogRateLimiter quick(std::chrono::nanoseconds(1));
    EXPECT_TRUE(quick.allow(suppressed));
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(quick.allow(suppressed));
    EXPECT_EQ(suppressed, 0u);
}

}  // namespace
}  // namespace quillane::host
