#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "network/LogText.h"

namespace quillane::host {
namespace {

TEST(LogText, ControlBytesAndBrokenUtf8AreEscapedAndValidTextKept) {
    const std::pair<std::string, std::string> cases[] = {
        {"window_list_request", "window_list_request"},
        {"Gr\xC3\xBC\xC3\x9F" "e", "Gr\xC3\xBC\xC3\x9F" "e"},
        {std::string("a\nb\r\x1b[31m\x7f", 10), "a\\x0ab\\x0d\\x1b[31m\\x7f"},
        {std::string("x\0y", 3), "x\\x00y"},
        {"\xFF\xC3", "\\xff\\xc3"},
        {"\xC0\xAF", "\\xc0\\xaf"},          // overlong '/'
        {"\xED\xA0\x80", "\\xed\\xa0\\x80"},  // encoded surrogate
    };
    for (const auto& [text, safe] : cases) {
        EXPECT_EQ(logSafeText(text), safe);
    }
}

TEST(LogText, LongTextIsCutWithItsLengthNeverInsideACharacter) {
    EXPECT_EQ(logSafeText(std::string(1 << 20, 'A')), std::string(128, 'A') + "... (1048576 bytes)");
    // A three-byte character across the limit stays whole.
    EXPECT_EQ(logSafeText(std::string(127, 'a') + "\xE2\x82\xAC" + "tail"),
              std::string(127, 'a') + "\xE2\x82\xAC" + "... (134 bytes)");
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
