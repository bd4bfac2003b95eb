#include <limits>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "network/SignalingProtocol.h"

namespace quillane::host {
namespace {

using nlohmann::json;

TEST(SignalingProtocol, WelcomeIsExactlyTheNineKeysInOrderWithoutWhitespace) {
    EXPECT_EQ(serializeMessage(json(WelcomeMessage{})),
              R"({"audioPort":9945,"hostName":"Quillane Host","hostVersion":"1.1.9","inputPort":9946,)"
              R"("protocol":"tcp","requiresAuth":false,"supportedCodecs":["h264"],"type":"welcome",)"
              R"("videoPort":9944})");
}

TEST(SignalingProtocol, WelcomeCarriesTheGivenPorts) {
    WelcomeMessage welcome;
    welcome.videoPort = 10944;
    welcome.audioPort = 10945;
    welcome.inputPort = 65535;
    const json j(welcome);
    EXPECT_EQ(j.at("videoPort").get<std::uint32_t>(), 10944u);
    EXPECT_EQ(j.at("audioPort").get<std::uint32_t>(), 10945u);
    EXPECT_EQ(j.at("inputPort").get<std::uint32_t>(), 65535u);
    EXPECT_TRUE(j.at("inputPort").is_number_unsigned());
}

TEST(SignalingProtocol, StreamStartedHasZeroSizesAndUnsignedIds) {
    StreamStartedMessage started;
    started.windowId = 0xFFFFFFFFu;
    started.streamId = 255;
    EXPECT_EQ(serializeMessage(json(started)),
              R"({"codec":"h264","height":0,"streamId":255,"type":"stream_started","width":0,"windowId":4294967295})");
}

TEST(SignalingProtocol, ErrorMessageBytes) {
    ErrorMessage error;
    error.code = kErrorStreamStartFailed;
    error.message = kErrorStreamStartFailedText;
    EXPECT_EQ(serializeMessage(json(error)), R"({"code":1001,"message":"Failed to start stream","type":"error"})");
}

TEST(SignalingProtocol, WindowInfoKeysAndSignedGeometry) {
    protocol::WindowInfo window;
    window.id = 0x80000001u;
    window.title = "Editor";
    window.processName = "editor";
    window.className = "Editor.Main";
    window.x = -1920;
    window.y = -8;
    window.width = 800;
    window.height = 600;
    window.isMinimized = false;
    window.isMaximized = true;
    window.isVisible = true;
    window.iconBase64 = "iVBORw0KGgo=";
    EXPECT_EQ(serializeMessage(makeWindowListJson({window})),
              R"({"type":"window_list","windows":[{"className":"Editor.Main","height":600,)"
              R"("iconBase64":"iVBORw0KGgo=","id":2147483649,"isMaximized":true,"isMinimized":false,)"
              R"("isVisible":true,"processName":"editor","title":"Editor","width":800,"x":-1920,"y":-8}]})");
}

TEST(SignalingProtocol, EmptyWindowListIsAnEmptyArray) {
    EXPECT_EQ(serializeMessage(makeWindowListJson({})), R"({"type":"window_list","windows":[]})");
}

TEST(SignalingProtocol, NonAsciiTitleIsWrittenAsRawUtf8) {
    protocol::WindowInfo window;
    window.title = "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9F\x98\x80";
    const std::string text = serializeMessage(makeWindowListJson({window}));
    EXPECT_NE(text.find("\"title\":\"Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9F\x98\x80\""), std::string::npos)
        << text;
    EXPECT_EQ(text.find("\\u"), std::string::npos);
}

TEST(SignalingProtocol, InvalidUtf8TitleIsSentWithReplacementCharacters) {
    protocol::WindowInfo first;
    first.title = std::string("ab\xFF" "cd\xC3", 6);
    protocol::WindowInfo second;
    second.title = "fine";
    const std::string text = serializeMessage(makeWindowListJson({first, second}));
    EXPECT_NE(text.find("\"title\":\"ab\xEF\xBF\xBD" "cd\xEF\xBF\xBD\""), std::string::npos) << text;
    EXPECT_NE(text.find("\"title\":\"fine\""), std::string::npos);
    EXPECT_FALSE(json::parse(text, nullptr, false).is_discarded());
}

TEST(SignalingProtocol, ControlCharactersInTitlesAreEscaped) {
    protocol::WindowInfo window;
    window.title = std::string("a\"b\\c\n\x01", 7);
    const std::string text = serializeMessage(makeWindowListJson({window}));
    EXPECT_NE(text.find(R"("title":"a\"b\\c\n\u0001")"), std::string::npos) << text;
}

TEST(SignalingProtocol, BuiltInPlaceMessages) {
    EXPECT_EQ(serializeMessage(makeStreamStoppedJson(257)), R"({"streamId":257,"type":"stream_stopped"})");
    EXPECT_EQ(serializeMessage(makeStreamStoppedJson(-3)), R"({"streamId":-3,"type":"stream_stopped"})");
    EXPECT_EQ(serializeMessage(makeWindowResizedJson(-1, 77, 1280, 720, true)),
              R"({"height":720,"streamId":-1,"success":true,"type":"window_resized","width":1280,"windowId":77})");
    EXPECT_EQ(serializeMessage(makePongJson(-5)), R"({"timestamp":-5,"type":"pong"})");
}

TEST(SignalingProtocol, StreamConfigIgnoresTheRecordsTypeField) {
    StreamConfigMessage config;
    config.type = "something else";
    config.windowId = 1234;
    config.streamId = 3;
    config.width = 1920;
    config.height = 1080;
    config.codec = "video/avc";
    config.sps = "Z0LAHg==";
    config.pps = "aM4G4g==";
    config.targetBitrate = 20000;
    config.targetFps = 60;
    EXPECT_EQ(serializeMessage(makeStreamConfigJson(config)),
              R"({"codec":"video/avc","height":1080,"pps":"aM4G4g==","sps":"Z0LAHg==","streamId":3,)"
              R"("targetBitrate":20000,"targetFps":60,"type":"stream_config","width":1920,"windowId":1234})");
}

TEST(SignalingProtocol, TypeStringsAndAliases) {
    const std::pair<const char*, MessageType> cases[] = {
        {"hello", MessageType::Hello},
        {"welcome", MessageType::Welcome},
        {"window_list_request", MessageType::WindowListRequest},
        {"window_list", MessageType::WindowList},
        {"stream_start", MessageType::StreamStart},
        {"stream_subscribe", MessageType::StreamStart},
        {"stream_started", MessageType::StreamStarted},
        {"stream_stop", MessageType::StreamStop},
        {"stream_unsubscribe", MessageType::StreamStop},
        {"request_keyframe", MessageType::KeyframeRequest},
        {"keyframe_request", MessageType::KeyframeRequest},
        {"window_resize", MessageType::WindowResize},
        {"window_resized", MessageType::WindowResized},
        {"error", MessageType::Error},
        {"ping", MessageType::Ping},
        {"pong", MessageType::Pong},
    };
    for (const auto& [text, type] : cases) {
        EXPECT_EQ(parseMessageType(json{{"type", text}}), type) << text;
    }
}

TEST(SignalingProtocol, UnknownTypesGiveNone) {
    const std::string withNul("hello\0x", 7);
    for (const std::string& text : {std::string("Hello"), std::string("HELLO"), std::string("stream_config"),
                                    std::string("stream_stopped"), std::string(), std::string("ping "), withNul}) {
        EXPECT_FALSE(parseMessageType(json{{"type", text}}).has_value()) << text;
    }
    EXPECT_FALSE(parseMessageType(json{{"kind", "hello"}}).has_value());
    EXPECT_FALSE(parseMessageType(json::array({"hello"})).has_value());
    EXPECT_FALSE(parseMessageType(json("hello")).has_value());
    EXPECT_FALSE(parseMessageType(json(nullptr)).has_value());
}

TEST(SignalingProtocol, NonStringTypeThrowsTheLibrarysTypeError) {
    EXPECT_THROW(parseMessageType(json{{"type", 1}}), json::type_error);
    EXPECT_THROW(parseMessageType(json{{"type", nullptr}}), json::type_error);
    EXPECT_THROW(parseMessageType(json{{"type", json::array()}}), json::type_error);
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

TEST(SignalingProtocol, NumbersThatDoNotFitAreMalformed) {
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
}

TEST(SignalingProtocol, NonNumbersThrowTheLibrarysTypeError) {
    const json message = json::parse(R"({"s":"5","n":null,"a":[1],"o":{"x":1}})");
    for (const char* key : {"s", "n", "a", "o"}) {
        EXPECT_THROW(readInt32Field(message, key), json::type_error) << key;
        EXPECT_THROW(readUint32Field(message, key), json::type_error) << key;
    }
}

}  // namespace
}  // namespace quillane::host
