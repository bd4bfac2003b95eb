// Request handling without sockets: the answer each received text gets, the
// owner's callbacks it causes and the line it logs.
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "Eventually.h"
#include "LogCapture.h"
#include "SignalingTestHost.h"
#include "network/LogText.h"
#include "network/SignalingMessageHandler.h"

namespace quillane::host::test {
namespace {

using Answer = std::optional<std::string>;
const Answer kNone;
const std::string kError = R"({"code":1001,"message":"Failed to start stream","type":"error"})";

struct Exchange {
    std::string request;
    Answer answer;
    std::string logLine;  // logged once for this request, when not empty
};

std::string started(std::uint32_t windowId, int streamId) {
    return R"({"codec":"h264","height":0,"streamId":)" + std::to_string(streamId) +
           R"(,"type":"stream_started","width":0,"windowId":)" + std::to_string(windowId) + "}";
}

std::string resized(const std::string& stream, const std::string& window, const std::string& size, bool success) {
    const auto split = size.find('x');
    return R"({"height":)" + size.substr(split + 1) + R"(,"streamId":)" + stream + R"(,"success":)" +
           (success ? "true" : "false") + R"(,"type":"window_resized","width":)" + size.substr(0, split) +
           R"(,"windowId":)" + window + "}";
}

std::string resize(const std::string& window, const std::string& width, const std::string& height) {
    return R"({"type":"window_resize","windowId":)" + window + R"(,"width":)" + width + R"(,"height":)" + height + "}";
}

class SignalingHandlerTest : public ::testing::Test {
protected:
    SignalingHandlerTest() {
        host.windows = {FakeSignalingHost::window(0x1001, "Editor"), FakeSignalingHost::window(0xABCDEF01, "Browser")};
        host.install(handler);
    }

    Answer send(const std::string& text, std::uint64_t session = 0, const std::string& address = "192.0.2.7") {
        return handler.handleMessage(text, address, session);
    }

    // Each exchange on session 0, or from a new client each when `newClientEach`
    // (lines a client causes are limited by its address).
    void expectExchanges(const std::vector<Exchange>& exchanges, bool newClientEach = false) {
        for (const auto& exchange : exchanges) {
            SCOPED_TRACE(exchange.request);
            const auto before = log.count(exchange.logLine);
            if (newClientEach) ++lastSession;
            const Answer answer = newClientEach ? send(exchange.request, lastSession,
                                                       "198.51.100." + std::to_string(lastSession % 256))
                                                : send(exchange.request);
            EXPECT_EQ(answer, exchange.answer);
            if (!exchange.logLine.empty()) {
                EXPECT_EQ(log.count(exchange.logLine), before + 1);
            }
        }
    }

    void expectDropped(const std::vector<std::string>& texts, const std::string& logLine) {
        for (const auto& text : texts) {
            expectExchanges({{text, kNone, logLine}}, true);
        }
    }

    std::uint64_t lastSession = 1000;

    LogCapture log;
    FakeSignalingHost host;
    SignalingMessageHandler handler{SignalingMessageHandler::Config{{}, std::chrono::milliseconds(200)}};
};

TEST_F(SignalingHandlerTest, HelloStopKeyframeAndPingRequests) {
    expectExchanges({
        {R"({"type":"hello"})",
         R"({"audioPort":9945,"hostName":"Quillane Host","hostVersion":"1.1.9","inputPort":9946,"protocol":"tcp",)"
         R"("requiresAuth":false,"supportedCodecs":["h264"],"type":"welcome","videoPort":9944})",
         "Received hello from client at 192.0.2.7"},
        {R"({"type":"stream_stop","streamId":257})", R"({"streamId":257,"type":"stream_stopped"})",
         "Stream stop request for stream 257"},
        {R"({"type":"stream_unsubscribe"})", R"({"streamId":0,"type":"stream_stopped"})", ""},
        {R"({"type":"stream_stop","streamId":-1.9})", R"({"streamId":-1,"type":"stream_stopped"})", ""},
        {R"({"type":"stream_stop","streamId":false})", R"({"streamId":0,"type":"stream_stopped"})", ""},
        {R"({"type":"request_keyframe","streamId":3})", kNone, ""},
        {R"({"type":"keyframe_request","streamId":258})", kNone, ""},
        {R"({"type":"ping"})", R"({"timestamp":0,"type":"pong"})", ""},
        {R"({"type":"ping","timestamp":1.5})", R"({"timestamp":1,"type":"pong"})", ""},
        {R"({"type":"ping","timestamp":true})", R"({"timestamp":1,"type":"pong"})", ""},
        {R"({"type":"ping","timestamp":2147483647})", R"({"timestamp":2147483647,"type":"pong"})", ""},
        {R"({"type":"ping","timestamp":-2147483648})", R"({"timestamp":-2147483648,"type":"pong"})", ""},
    });
    {
        std::lock_guard lock(host.mutex);
        EXPECT_EQ(host.connected, std::vector<std::string>{"192.0.2.7"});
        EXPECT_EQ(host.stops, (std::vector<std::uint8_t>{1, 0, 255, 0}));
        EXPECT_EQ(host.keyframes, (std::vector<std::uint8_t>{3, 2}));
    }
    handler.setStreamStopCallback({});
    EXPECT_EQ(send(R"({"type":"stream_stop","streamId":4})"), R"({"streamId":4,"type":"stream_stopped"})");
}

TEST_F(SignalingHandlerTest, WindowResizeOfListedWindowsInTheSizeRange) {
    expectExchanges({
        {R"({"type":"window_resize","streamId":-7,"windowId":4097,"width":1280,"height":720})",
         resized("-7", "4097", "1280x720", true), "Window resize request: stream=-7, window=1001, size=1280x720"},
        {resize("4097", "8192", "4352"), resized("0", "4097", "8192x4352", true), ""},
        {resize("21845", "800", "600"), resized("0", "21845", "800x600", false),
         "Refusing resize of window 5555: not in the window list"},
        {resize("4294967295", "800", "600"), resized("0", "4294967295", "800x600", false), ""},
        {resize("4097", "0", "600"), resized("0", "4097", "0x600", false), "size out of range"},
        {resize("4097", "800", "16385"), resized("0", "4097", "800x16385", false), "size out of range"},
        // Beyond what H.264 carries: a side over 8192 or more than 35,651,584 pixels.
        {resize("4097", "8193", "100"), resized("0", "4097", "8193x100", false), "size out of range"},
        {resize("4097", "100", "8193"), resized("0", "4097", "100x8193", false), "size out of range"},
        {resize("4097", "8192", "4353"), resized("0", "4097", "8192x4353", false), "size out of range"},
        {resize("4097", "16384", "16384"), resized("0", "4097", "16384x16384", false), "size out of range"},
        {resize("4097", "4294967295", "1"), resized("0", "4097", "4294967295x1", false), ""},
        {R"({"type":"window_resize","windowId":4097})", resized("0", "4097", "0x0", false), ""},
        {resize("4097", R"("800")", "600"), kNone, "Error processing message: "},
    }, true);
    host.resizeSucceeds = false;
    EXPECT_EQ(send(resize("4097", "800", "600")), resized("0", "4097", "800x600", false));
    handler.setWindowResizeCallback({});
    host.resizeSucceeds = true;
    EXPECT_EQ(send(resize("4097", "800", "600")), resized("0", "4097", "800x600", false));
    std::lock_guard lock(host.mutex);
    ASSERT_EQ(host.resizes.size(), 3u);
    EXPECT_EQ(host.resizes[0].windowId, 0x1001u);
    EXPECT_EQ(host.resizes[0].width, 1280u);
    EXPECT_EQ(host.resizes[0].height, 720u);
    EXPECT_EQ(host.resizes[1].width, 8192u);
    EXPECT_EQ(host.resizes[1].height, 4352u);
}

TEST_F(SignalingHandlerTest, UnknownTypesAreWarnedAndHostTypesIgnoredSilently) {
    expectExchanges({
        {R"({"type":"Hello"})", kNone, "Unknown message type: 'Hello'"},
        {R"({"type":"stream_config"})", kNone, "Unknown message type: 'stream_config'"},
        {R"({"type":"stream_stopped"})", kNone, "Unknown message type: 'stream_stopped'"},
        {R"({"type":"ping "})", kNone, "Unknown message type: 'ping '"},
        {R"({"type":"hello\u0000x"})", kNone, "Unknown message type: 'hello\\x00x'"},
        {R"({"streamId":1})", kNone, "Unknown message type: 'missing'"},
    }, true);
    const auto linesBefore = log.entries().size();
    for (const char* type : {"welcome", "window_list", "stream_started", "window_resized", "error", "pong"}) {
        EXPECT_EQ(send(nlohmann::json{{"type", type}}.dump()), kNone) << type;
    }
    EXPECT_EQ(log.entries().size(), linesBefore);

    // A long type is logged cut and with its escape sequence defused.
    EXPECT_EQ(send(R"({"type":"\u001b[2J)" + std::string(60000, 'y') + R"("})"), kNone);
    const auto lines = log.matching("Unknown message type: '\\x1b[2Jyyy");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_LT(lines[0].text.size(), 200u);
    EXPECT_NE(lines[0].text.find("... (60004 bytes)'"), std::string::npos) << lines[0].text;
    EXPECT_EQ(lines[0].text.find('\x1b'), std::string::npos);

    // A client that keeps sending them gets a few lines, and a client at another address still its own.
    const auto flooded = log.count("Unknown message type: 'flood'");
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(send(R"({"type":"flood"})", 5, "192.0.2.9"), kNone);
    }
    EXPECT_EQ(log.count("Unknown message type: 'flood'") - flooded, 1u);
    EXPECT_EQ(send(R"({"type":"other"})", 6, "192.0.2.8"), kNone);
    EXPECT_EQ(log.count("Unknown message type: 'other'"), 1u);
}

TEST_F(SignalingHandlerTest, ASessionRunsAtMostEightStreamsWhichStopWhenItCloses) {
    const std::string start = R"({"type":"stream_start","windowId":4097})";
    for (int i = 1; i <= 8; ++i) {
        ASSERT_EQ(send(start, 1), started(4097, i));
    }
    EXPECT_EQ(send(start, 1), kError);
    EXPECT_EQ(log.count("Refusing stream for window 1001: this client already runs 8 streams"), 1u);
    EXPECT_EQ(send(start, 2), started(4097, 10));
    // A stopped stream, or one that ended by itself, frees its place.
    EXPECT_TRUE(send(R"({"type":"stream_stop","streamId":3})", 2));
    host.endStream(5);
    EXPECT_EQ(send(start, 1), started(4097, 11));
    EXPECT_EQ(send(start, 1), started(4097, 12));
    EXPECT_EQ(send(start, 1), kError);

    // Closing stops the session's running streams, each with a line, and no other session's.
    handler.sessionClosed(1);
    handler.sessionClosed(1);
    std::lock_guard lock(host.mutex);
    EXPECT_EQ(host.stops, (std::vector<std::uint8_t>{3, 1, 2, 4, 6, 7, 8, 11, 12}));
    EXPECT_EQ(log.count("Stopping stream 4: the client that started it disconnected"), 1u);
    EXPECT_TRUE(host.running.test(10));
    EXPECT_EQ(host.running.count(), 1u);
}

TEST_F(SignalingHandlerTest, MalformedMessagesAreDroppedWithAnError) {
    expectDropped({"", "{", "not json at all", R"({"type":"hello",})", R"({"type":"ping"} trailing)",
                   "// comment\n{\"type\":\"ping\"}", R"([{"type":"ping"}])", R"("ping")", "null", "42",
                   R"({"type":7})", R"({"type":null})", R"({"type":["ping"]})", R"({"type":{"type":"ping"}})",
                   R"({"type":"stream_start","windowId":"4097"})", R"({"type":"stream_start","windowId":[4097]})",
                   R"({"type":"stream_stop","streamId":null})", R"({"type":"request_keyframe","streamId":{}})",
                   R"({"type":"ping","timestamp":"now"})", std::string("{\"type\":\"pi\0ng\"}", 16),
                   "{\"type\":\"\xFF\xFE\"}", std::string(10000, '['), R"({"type":"stream_start","windowId":1e400})"},
                  "Error processing message: ");
    // Fractional numbers outside their 32-bit field have no defined conversion.
    expectDropped({R"({"type":"stream_start","windowId":1e300})", R"({"type":"stream_start","windowId":-1.0})",
                   R"({"type":"stream_start","windowId":-0.5e10})", R"({"type":"stream_start","windowId":4294967296.0})",
                   R"({"type":"stream_stop","streamId":2147483648.0})", R"({"type":"stream_stop","streamId":-1e19})",
                   R"({"type":"request_keyframe","streamId":9.3e18})",
                   R"({"type":"window_resize","windowId":4097,"width":-5.5,"height":10})",
                   R"({"type":"window_resize","windowId":4097,"width":10,"height":5e9})",
                   R"({"type":"ping","timestamp":-2147483649.0})", R"({"type":"ping","timestamp":-1e308})"},
                  "is out of range");
    std::lock_guard lock(host.mutex);
    EXPECT_TRUE(host.starts.empty());
    EXPECT_TRUE(host.stops.empty());
    EXPECT_TRUE(host.keyframes.empty());
    EXPECT_TRUE(host.resizes.empty());
}

TEST_F(SignalingHandlerTest, IntegersKeepTheirLow32BitsAndFractionsAreTruncated) {
    expectExchanges({
        {R"({"type":"ping","timestamp":4294967297})", R"({"timestamp":1,"type":"pong"})", ""},
        {R"({"type":"ping","timestamp":2147483648})", R"({"timestamp":-2147483648,"type":"pong"})", ""},
        {R"({"type":"ping","timestamp":-2147483649})", R"({"timestamp":2147483647,"type":"pong"})", ""},
        {R"({"type":"ping","timestamp":-9223372036854775808})", R"({"timestamp":0,"type":"pong"})", ""},
        {R"({"type":"ping","timestamp":18446744073709551615})", R"({"timestamp":-1,"type":"pong"})", ""},
        {R"({"type":"ping","timestamp":-2147483648.9})", R"({"timestamp":-2147483648,"type":"pong"})", ""},
        {R"({"type":"stream_stop","streamId":4294967553})", R"({"streamId":257,"type":"stream_stopped"})", ""},
        {R"({"type":"stream_start","windowId":-1})", kError,
         "Refusing stream for window ffffffff: not in the window list"},
        {R"({"type":"stream_start","windowId":4294971393})", started(4097, 2), ""},
        {R"({"type":"stream_start","windowId":-0.5})", kError, "Stream subscribe request for window 0"},
        {R"({"type":"window_resize","windowId":-4294963199,"width":4294968096,"height":600.7})",
         resized("0", "4097", "800x600", true), ""},
    }, true);
    std::lock_guard lock(host.mutex);
    EXPECT_EQ(host.stops, std::vector<std::uint8_t>{1});
    ASSERT_EQ(host.resizes.size(), 1u);
    EXPECT_EQ(host.resizes[0].width, 800u);
}

TEST_F(SignalingHandlerTest, StartsGetConsecutiveIdsAndFailedOnesUseTheirs) {
    expectExchanges({
        {R"({"type":"stream_start","windowId":4097})", started(4097, 1), ""},
        {R"({"type":"stream_subscribe","windowId":2882400001})", started(0xABCDEF01, 2),
         "Stream subscribe request for window abcdef01"},
    });
    host.startSucceeds = false;
    EXPECT_EQ(send(R"({"type":"stream_start","windowId":4097})"), kError);
    host.startSucceeds = true;
    handler.setStreamRequestCallback({});
    EXPECT_EQ(send(R"({"type":"stream_start","windowId":4097})"), kError);
    host.install(handler);
    // Windows outside the list are refused without asking the owner.
    expectExchanges({
        {R"({"type":"stream_start","windowId":39321})", kError,
         "Refusing stream for window 9999: not in the window list"},
        {R"({"type":"stream_start","windowId":0})", kError, ""},
        {R"({"type":"stream_start"})", kError, ""},
        {R"({"type":"stream_start","windowId":4097})", started(4097, 8), ""},
    });
    std::lock_guard lock(host.mutex);
    ASSERT_EQ(host.starts.size(), 4u);
    EXPECT_EQ(host.starts[0].windowId, 0x1001u);
    EXPECT_EQ(host.starts[0].streamId, 1);
    EXPECT_EQ(host.starts[1].windowId, 0xABCDEF01u);
    EXPECT_EQ(host.starts[2].streamId, 3);
    EXPECT_EQ(host.starts[3].streamId, 8);
}

TEST_F(SignalingHandlerTest, StreamIdsWrapAndSkipRunningStreams) {
    const std::string start = R"({"type":"stream_start","windowId":4097})";
    ASSERT_EQ(send(start), started(4097, 1));
    // Later starts fail in the owner, so only stream 1 keeps running.
    host.startSucceeds = false;
    for (int i = 0; i < 300; ++i) {
        ASSERT_EQ(send(start), kError) << i;
    }
    {
        std::lock_guard lock(host.mutex);
        ASSERT_EQ(host.starts.size(), 301u);
        for (std::size_t i = 1; i < host.starts.size(); ++i) {
            ASSERT_NE(host.starts[i].streamId, 1) << i;
        }
        EXPECT_EQ(host.starts[254].streamId, 255);
        EXPECT_EQ(host.starts[255].streamId, 0);
        EXPECT_EQ(host.starts[256].streamId, 2);
    }
    // Once 1 stops it comes round again; with all 256 running no id is free.
    host.startSucceeds = true;
    ASSERT_TRUE(send(R"({"type":"stream_stop","streamId":1})"));
    std::set<int> seen;
    for (int i = 0; i < 256; ++i) {
        const auto reply = nlohmann::json::parse(send(start, 100 + i / kMaxStreamsPerSession).value_or("{}"));
        ASSERT_EQ(reply.value("type", ""), "stream_started") << i;
        EXPECT_TRUE(seen.insert(reply.at("streamId").get<int>()).second);
    }
    EXPECT_TRUE(seen.count(1));
    expectExchanges({{start, kError, "No free stream id for window 1001"}});
    host.endStream(77);
    EXPECT_EQ(send(start), started(4097, 77));
}

TEST_F(SignalingHandlerTest, WindowListIsCachedBrieflyAndFollowsItsProvider) {
    const std::string request = R"({"type":"window_list_request"})";
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(send(request));
    }
    {
        std::lock_guard lock(host.mutex);
        EXPECT_LE(host.windowListCalls, 2);  // one more if the loop crossed the cache age
        host.windows.push_back(FakeSignalingHost::window(0x2002, "New"));
    }
    EXPECT_TRUE(eventually([&] {
        const auto list = nlohmann::json::parse(send(request).value_or("{}"));
        return list.contains("windows") && list.at("windows").size() == 3;
    }));

    handler.setWindowListCallback({});
    EXPECT_EQ(send(request), R"({"type":"window_list","windows":[]})");
    handler.setWindowListCallback([]() -> std::vector<protocol::WindowInfo> { throw std::runtime_error("boom"); });
    expectExchanges({{request, kNone, "Error processing message: boom"}});

    // Titles go out as raw UTF-8, broken bytes replaced, control characters escaped.
    const std::pair<std::string, std::string> titles[] = {
        {"Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC\xF0\x9F\x98\x80", "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC\xF0\x9F\x98\x80"},
        {std::string("ab\xFF" "cd\xC3", 6), "ab\xEF\xBF\xBD" "cd\xEF\xBF\xBD"},
        {std::string("a\"b\\c\n\x01", 7), R"(a\"b\\c\n\u0001)"},
    };
    for (const auto& [title, written] : titles) {
        handler.setWindowListCallback([title = title] {
            return std::vector{FakeSignalingHost::window(1, title), FakeSignalingHost::window(2, "fine")};
        });
        const auto text = send(request).value_or("");
        EXPECT_NE(text.find("\"title\":\"" + written + "\""), std::string::npos) << text;
        EXPECT_NE(text.find("\"title\":\"fine\""), std::string::npos) << text;
    }
}

TEST(LogText, ControlBytesAndBrokenUtf8AreEscapedAndLongTextCutWhole) {
    const std::pair<std::string, std::string> cases[] = {
        {"Gr\xC3\xBC\xC3\x9F" "e", "Gr\xC3\xBC\xC3\x9F" "e"},
        {std::string("a\nb\r\x1b[31m\x7f", 10), "a\\x0ab\\x0d\\x1b[31m\\x7f"},
        {std::string("x\0y", 3), "x\\x00y"},
        {"\xFF\xC3", "\\xff\\xc3"},
        {"\xC0\xAF", "\\xc0\\xaf"},          // overlong '/'
        {"\xED\xA0\x80", "\\xed\\xa0\\x80"},  // encoded surrogate
        {std::string(1 << 20, 'A'), std::string(128, 'A') + "... (1048576 bytes)"},
        // A three-byte character across the limit stays whole.
        {std::string(127, 'a') + "\xE2\x82\xAC" + "tail", std::string(127, 'a') + "\xE2\x82\xAC" + "... (134 bytes)"},
        // C1 controls and bidirectional overrides and isolates, not their neighbours.
        {"a\xC2\x85" "b\xC2\x9B" "c\xC2\xA0", "a\\u0085b\\u009bc\xC2\xA0"},
        {"x\xE2\x80\xAE" "evil\xE2\x80\xAC\xE2\x81\xA6\xE2\x81\xA9\xE2\x80\xA9", "x\\u202eevil\\u202c\\u2066\\u2069\xE2\x80\xA9"},
    };
    for (const auto& [text, safe] : cases) {
        EXPECT_EQ(logSafeText(text), safe);
    }
}

TEST(SourceRateLimiter, EachSourceHasItsBurstThenItsRateAndNewSourcesAreBounded) {
    using namespace std::chrono_literals;
    SourceRateLimiter limiter(2.0, 4.0, 3);
    const auto t0 = SourceRateLimiter::Clock::now();
    int passed = 0;
    for (int i = 0; i < 100; ++i) passed += limiter.allow(7, t0) ? 1 : 0;
    EXPECT_EQ(passed, 4);
    std::size_t held = 0;
    EXPECT_FALSE(limiter.allow(7, t0 + 499ms));
    EXPECT_TRUE(limiter.allow(7, t0 + 500ms, held));
    EXPECT_EQ(held, 97u);
    EXPECT_TRUE(limiter.allow(8, t0));
    EXPECT_TRUE(limiter.allow(9, t0));
    EXPECT_FALSE(limiter.allow(10, t0)) << "no room for a fourth busy source";
    // Sources whose buckets have refilled are forgotten to make room.
    EXPECT_TRUE(limiter.allow(10, t0 + 10s));
}

TEST(PeerLineLimiter, TheFirstLineThenOneEveryTenSecondsWithTheCountHeldBack) {
    using namespace std::chrono_literals;
    PeerLineLimiter lines;
    const auto t0 = SourceRateLimiter::Clock::now();
    std::size_t held = 99;
    EXPECT_TRUE(lines.allow(1, t0, held));
    EXPECT_EQ(held, 0u);
    for (int i = 0; i < 500; ++i) EXPECT_FALSE(lines.allow(1, t0 + i * 19ms, held));
    EXPECT_TRUE(lines.allow(2, t0 + 1s, held)) << "another source has its own";
    EXPECT_FALSE(lines.allow(1, t0 + 9999ms, held));
    EXPECT_TRUE(lines.allow(1, t0 + 10001ms, held));
    EXPECT_EQ(held, 501u);
    EXPECT_EQ(heldNote(held), " (501 more not logged)");
    EXPECT_EQ(heldNote(0), "");

    PeerLineLimiter requests(10s, 3);
    int passed = 0;
    for (int i = 0; i < 100; ++i) passed += requests.allow(1, t0, held) ? 1 : 0;
    EXPECT_EQ(passed, 3);
}

TEST(LogRateLimiter, LetsOneLineThroughPerInterval) {
    std::size_t suppressed = 99;
    LogRateLimiter slow(std::chrono::hours(1));
    EXPECT_TRUE(slow.allow(suppressed));
    EXPECT_EQ(suppressed, 0u);
    EXPECT_FALSE(slow.allow(suppressed));
    LogRateLimiter quick(std::chrono::nanoseconds(1));
    EXPECT_TRUE(quick.allow(suppressed));
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(quick.allow(suppressed));
}

}  // namespace
}  // namespace quillane::host::test
