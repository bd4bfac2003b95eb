#include <limits>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "network/SignalingProtocol.h"

namespace quillane::host {
namespace {

using nlohmann::json;

TEST(SignalingProtocol, TitlesAreRawUtf8WithBrokenBytesReplacedAndControlsEscaped) {
    const std::pair<std::string, std::string> cases[] = {
        {"Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9F\x98\x80", "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9F\x98\x80"},
        {std::string("ab\xFF" "cd\xC3", 6), "ab\xEF\xBF\xBD" "cd\xEF\xBF\xBD"},
        {std::string("a\"b\\c\n\x01", 7), R"(a\"b\\c\n\u0001)"},
    };
    for (const auto& [title, written] : cases) {
        protocol::WindowInfo window;
        window.title = title;
        protocol::WindowInfo next;
        next.title = "fine";
        const std::string text = serializeMessage(makeWindowListJson({window, next}));
        EXPECT_NE(text.find("\"title\":\"" + written + "\""), std::string::npos) << text;
        EXPECT_NE(text.find("\"title\":\"fine\""), std::string::npos) << text;
        EXPECT_FALSE(json::parse(text, nullptr, false).is_discarded()) << text;
    }
}

TEST(SignalingProtocol, NumbersThatFitAreReadAsTheLibraryConvertsThem) {
    const json message = json::parse(
        R"({"a":1.5,"b":-1.9,"c":true,"d":false,"e":2147483647,"f":-2147483648,"g":4294967295,"h":0,"i":-0.5})");
    EXPECT_EQ(readInt32Field(message, "missing"), 0);
    EXPECT_EQ(readUint32Field(message, "missing"), 0u);
    EXPECT_EQ(readInt32Field(message, "a"), 1);
    EXPECT_EQ(readUint32Field(message, "a"), 1u);
    EXPECT_EQ(readInt32Field(message, "b"), -1);
    EXPECT_EQ(readInt32Field(message, "c"), 1);
    EXPECT_EQ(readUint32Field(message, "d"), 0u);
    EXPECT_EQ(readInt32Field(message, "e"), std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(readInt32Field(message, "f"), std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(readUint32Field(message, "g"), std::numeric_limits<std::uint32_t>::max());
    EXPECT_EQ(readInt32Field(message, "h"), 0);
    EXPECT_EQ(readUint32Field(message, "i"), 0u);
}

TEST(SignalingProtocol, NumbersThatDoNotFitAreMalformedAndNonNumbersAreTypeErrors) {
    const json message = json::parse(R"({"big":4294967297,"signedEdge":2147483648,"negative":-1,)"
                                     R"("huge":1e300,"tiny":-1e300,"max64":18446744073709551615,)"
                                     R"("min64":-9223372036854775808,"float32":4294967296.0,"fneg":-2147483649.0})");
    EXPECT_THROW(readUint32Field(message, "big"), std::out_of_range);
    EXPECT_THROW(readInt32Field(message, "big"), std::out_of_range);
    EXPECT_THROW(readInt32Field(message, "signedEdge"), std::out_of_range);
    EXPECT_EQ(readUint32Field(message, "signedEdge"), 2147483648u);
    EXPECT_THROW(readUint32Field(message, "negative"), std::out_of_range);
    EXPECT_THROW(readInt32Field(message, "huge"), std::out_of_range);
    EXPECT_THROW(readUint32Field(message, "tiny"), std::out_of_range);
    EXPECT_THROW(readUint32Field(message, "max64"), std::out_of_range);
    EXPECT_THROW(readInt32Field(message, "min64"), std::out_of_range);
    EXPECT_THROW(readUint32Field(message, "float32"), std::out_of_range);
    EXPECT_THROW(readInt32Field(message, "fneg"), std::out_of_range);

    const json wrong = json::parse(R"({"s":"5","n":null,"a":[1],"o":{"x":1}})");
    for (const char* key : {"s", "n", "a", "o"}) {
        EXPECT_THROW(readInt32Field(wrong, key), json::type_error) << key;
        EXPECT_THROW(readUint32Field(wrong, key), json::type_error) << key;
    }
}

}  // namespace
}  // namespace quillane::host
