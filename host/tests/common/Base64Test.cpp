#include "common/Base64.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

namespace quillane::host::test {

using quillane::host::base64Decode;
using quillane::host::base64Encode;

TEST(Base64, KnownVectors) {
    // RFC 4648 section 10.
    const char* plain[] = {"", "f", "fo", "foo", "foob", "fooba", "foobar"};
    const char* coded[] = {"", "Zg==", "Zm8=", "Zm9v", "Zm9vYg==", "Zm9vYmE=", "Zm9vYmFy"};
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(base64Encode(plain[i], std::strlen(plain[i])), coded[i]);
        auto back = base64Decode(coded[i]);
        ASSERT_TRUE(back);
        EXPECT_EQ(std::string(back->begin(), back->end()), plain[i]);
    }
}

TEST(Base64, SpsLikeBytesRoundTripWithoutLineBreaks) {
    std::mt19937 rng(7);
    for (std::size_t n = 0; n < 300; ++n) {
        std::vector<std::uint8_t> data(n);
        for (auto& b : data) b = static_cast<std::uint8_t>(rng());
        const auto text = base64Encode(data);
        EXPECT_EQ(text.find('\n'), std::string::npos);
        EXPECT_EQ(text.size(), (n + 2) / 3 * 4);
        EXPECT_EQ(base64Decode(text), data);
    }
}

TEST(Base64, RejectsMalformedText) {
    EXPECT_FALSE(base64Decode("Zg="));      // not a multiple of four
    EXPECT_FALSE(base64Decode("Z==="));     // padding too early
    EXPECT_FALSE(base64Decode("Zg==Zm8=")); // padding in the middle
    EXPECT_FALSE(base64Decode("Zm9*"));     // outside the alphabet
    EXPECT_FALSE(base64Decode("Zm=v"));     // data after padding
}

}  // namespace quillane::host::test
