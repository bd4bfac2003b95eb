// Request handling without sockets: the answer each received text gets, the
// owner's callbacks it causes and the line it logs.
#include <set>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "Eventually.h"
#include "LogCapture.h"
#include "SignalingTestHost.h"
#include "network/SignalingMessageHandler.h"

namespace quillane::host::test {
namespace {

using Answer = std::optional<std::string>;

struct Exchange {
    std::string request;
    Answer answer;
    std::string logLine;  // logged once for this request, when not empty
};

const Answer kNoAnswer;

std::string startedFor(std::uint32_t windowId, int streamId) {
    return R"({"codec":"h264","height":0,"streamId":)" + std::to_string(streamId) +
           R"(,"type":"stream_started","width":0,"windowId":)" + std::to_string(windowId) + "}";
}

const std::string kError = R"({"code":1001,"message":"Failed to start stream","type":"error"})";

class SignalingHandlerTest : public ::testing::Test {
protected:
    SignalingHandlerTest() {
        host.windows = {FakeSignalingHost::window(0x1001, "Editor"), FakeSignalingHost::window(0xABCDEF01, "Browser")};
        host.install(handler);
    }

    Answer send(const std::string& text) { return handler.handleMessage(text, "192.0.2.7"); }

    void expectExchanges(const std::vector<Exchange>& exchanges) {
        for (const auto& exchange : exchanges) {
            SCOPED_TRACE(exchange.request);
            const auto before = log.count(exchange.logLine);
            EXPECT_EQ(send(exchange.request), exchange.answer);
            if (!exchange.logLine.empty()) {
                EXPECT_EQ(log.count(exchange.logLine), before + 1);
            }
        }
    }

    // Each text is dropped without an answer and logged with `logLine`.
    void expectDropped(const std::vector<std::string>& texts, const std::string& logLine) {
        std::vector<Exchange> exchanges;
        for (const auto& text : texts) {
            exchanges.push_back({text, kNoAnswer, logLine});
        }
        expectExchanges(exchanges);
    }

    void expectNoCallbacks() {
        std::lock_guard lock(host.mutex);
        EXPECT_TRUE(host.starts.empty());
        EXPECT_TRUE(host.stops.empty());
        EXPECT_TRUE(host.keyframes.empty());
        EXPECT_TRUE(host.resizes.empty());
    }

    LogCapture log;
    FakeSignalingHost host;
    SignalingMessageHandler handler{SignalingMessageHandler::Config{{}, std::chrono::milliseconds(200)}};
};

TEST_F(SignalingHandlerTest, StopKeyframeAndPingRequests) {
    expectExchanges({
        {R"({"type":"stream_stop","streamId":257})", R"({"streamId":257,"type":"stream_stopped"})",
         "Stream stop request for stream 257"},
        {R"({"type":"stream_unsubscribe"})", R"({"streamId":0,"type":"stream_stopped"})", ""},
        {R"({"type":"stream_stop","streamId":-1})", R"({"streamId":-1,"type":"stream_stopped"})", ""},
        {R"({"type":"request_keyframe","streamId":3})", kNoAnswer, ""},
        {R"({"type":"keyframe_request","streamId":258})", kNoAnswer, ""},
        {R"({"type":"ping"})", R"({"timestamp":0,"type":"pong"})", ""},
        {R"({"type":"ping","timestamp":1.5})", R"({"timestamp":1,"type":"pong"})", ""},
        {R"({"type":"ping","timestamp":-2147483648})", R"({"timestamp":-2147483648,"type":"pong"})", ""},
        // A timestamp that does not fit 32 bits is a malformed message.
        {R"({"type":"ping","timestamp":4294967297})", kNoAnswer,
         "Error processing message: value of 'timestamp' is out of range"},
    });
    {
        std::lock_guard lock(host.mutex);
        EXPECT_EQ(host.stops, (std::vector<std::uint8_t>{1, 0, 255}));
        EXPECT_EQ(host.keyframes, (std::vector<std::uint8_t>{3, 2}));
    }
    handler.setStreamStopCallback({});
    EXPECT_EQ(send(R"({"type":"stream_stop","streamId":4})"), R"({"streamId":4,"type":"stream_stopped"})");
}

TEST_F(SignalingHandlerTest, WindowResizeOfListedWindowsInTheSizeRange) {
    const auto resized = [](int stream, std::uint32_t window, int width, int height, bool success) {
        return R"({"height":)" + std::to_string(height) + R"(,"streamId":)" + std::to_string(stream) +
               R"(,"success":)" + (success ? "true" : "false") + R"(,"type":"window_resized","width":)" +
               std::to_string(width) + R"(,"windowId":)" + std::to_string(window) + "}";
    };
    expectExchanges({
        {R"({"type":"window_resize","streamId":-7,"windowId":4097,"width":1280,"height":720})",
         resized(-7, 4097, 1280, 720, true), "Window resize request: stream=-7, window=1001, size=1280x720"},
        {R"({"type":"window_resize","windowId":4097,"width":16384,"height":1})", resized(0, 4097, 16384, 1, true), ""},
        {R"({"type":"window_resize","windowId":21845,"width":800,"height":600})", resized(0, 21845, 800, 600, false),
         "Refusing resize of window 5555: not in the window list"},
        {R"({"type":"window_resize","windowId":4097,"width":0,"height":600})", resized(0, 4097, 0, 600, false),
         "size out of range"},
        {R"({"type":"window_resize","windowId":4097,"width":800,"height":16385})",
         resized(0, 4097, 800, 16385, false), "size out of range"},
        {R"({"type":"window_resize","windowId":4097})", resized(0, 4097, 0, 0, false), ""},
        {R"({"type":"window_resize","windowId":4097,"width":"800","height":600})", kNoAnswer,
         "Error processing message: "},
    });
    host.resizeSucceeds = false;
    EXPECT_EQ(send(R"({"type":"window_resize","windowId":4097,"width":800,"height":600})"),
              resized(0, 4097, 800, 600, false));
    handler.setWindowResizeCallback({});
    host.resizeSucceeds = true;
    EXPECT_EQ(send(R"({"type":"window_resize","windowId":4097,"width":800,"height":600})"),
              resized(0, 4097, 800, 600, false));
    std::lock_guard lock(host.mutex);
    ASSERT_EQ(host.resizes.size(), 3u);
    EXPECT_EQ(host.resizes[0].windowId, 0x1001u);
    EXPECT_EQ(host.resizes[0].width, 1280u);
    EXPECT_EQ(host.resizes[0].height, 720u);
    EXPECT_EQ(host.resizes[1].width, 16384u);
    EXPECT_EQ(host.resizes[1].height, 1u);
}

TEST_F(SignalingHandlerTest, UnknownTypesAreWarnedAndHostTypesIgnoredSilently) {
    expectExchanges({
        {R"({"type":"Hello"})", kNoAnswer, "Unknown message type: 'Hello'"},
        {R"({"type":"stream_config"})", kNoAnswer, "Unknown message type: 'stream_config'"},
        {R"({"type":"stream_stopped"})", kNoAnswer, "Unknown message type: 'stream_stopped'"},
        {R"({"type":"ping "})", kNoAnswer, "Unknown message type: 'ping '"},
        {R"({"type":"hello\u0000x"})", kNoAnswer, "Unknown message type: 'hello\\x00x'"},
        {R"({"streamId":1})", kNoAnswer, "Unknown message type: 'missing'"},
    });
    const auto linesBefore = log.entries().size();
    for (const char* type : {"welcome", "window_list", "stream_started", "window_resized", "error", "pong"}) {
        EXPECT_EQ(send(nlohmann::json{{"type", type}}.dump()), kNoAnswer) << type;
    }
    EXPECT_EQ(log.entries().size(), linesBefore);

    // A long type is logged cut and with its escape sequence defused.
    EXPECT_EQ(send(R"({"type":"\u001b[2J)" + std::string(60000, 'y') + R"("})"), kNoAnswer);
    const auto lines = log.matching("Unknown message type: '\\x1b[2Jyyy");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_LT(lines[0].text.size(), 200u);
    EXPECT_NE(lines[0].text.find("... (60004 bytes)'"), std::string::npos) << lines[0].text;
    EXPECT_EQ(lines[0].text.find('\x1b'), std::string::npos);
}

TEST_F(SignalingHandlerTest, MalformedMessagesAreDroppedWithAnError) {
    expectDropped(
        {
            "",
            "{",
            "not json at all",
            R"({"type":"hello",})",
            R"({"type":"ping"} trailing)",
            "// comment\n{\"type\":\"ping\"}",
            R"([{"type":"ping"}])",
            R"("ping")",
            "null",
            "42",
            R"({"type":7})",
            R"({"type":null})",
            R"({"type":["ping"]})",
            R"({"type":{"type":"ping"}})",
            R"({"type":"stream_start","windowId":"4097"})",
            R"({"type":"stream_start","windowId":[4097]})",
            R"({"type":"stream_stop","streamId":null})",
            R"({"type":"request_keyframe","streamId":{}})",
            R"({"type":"ping","timestamp":"now"})",
            std::string("{\"type\":\"pi\0ng\"}", 16),
            "{\"type\":\"\xFF\xFE\"}",
            std::string(10000, '['),
            R"({"type":"stream_start","windowId":1e400})",
        },
        "Error processing message: ");
    expectDropped(
        {
            R"({"type":"stream_start","windowId":1e300})",
            R"({"type":"stream_start","windowId":-1})",
            R"({"type":"stream_start","windowId":4294967296})",
            R"({"type":"stream_start","windowId":18446744073709551615})",
            R"({"type":"stream_stop","streamId":2147483648})",
            R"({"type":"stream_stop","streamId":-1e19})",
            R"({"type":"request_keyframe","streamId":9223372036854775807})",
            R"({"type":"window_resize","windowId":4097,"width":-5,"height":10})",
            R"({"type":"window_resize","windowId":4097,"width":10,"height":5e9})",
            R"({"type":"ping","timestamp":-9223372036854775808})",
            R"({"type":"ping","timestamp":-1e308})",
        },
        "is out of range");
    expectNoCallbacks();
}

TEST_F(SignalingHandlerTest, StartsGetConsecutiveIdsAndFailedOnesUseTheirs) {
    expectExchanges({
        {R"({"type":"stream_start","windowId":4097})", startedFor(4097, 1), ""},
        {R"({"type":"stream_subscribe","windowId":2882400001})", startedFor(0xABCDEF01, 2),
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
        {R"({"type":"stream_start","windowId":4097})", startedFor(4097, 8), ""},
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
    ASSERT_EQ(send(start), startedFor(4097, 1));
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
        const auto started = nlohmann::json::parse(send(start).value_or("{}"));
        ASSERT_EQ(started.value("type", ""), "stream_started") << i;
        EXPECT_TRUE(seen.insert(started.at("streamId").get<int>()).second);
    }
    EXPECT_TRUE(seen.count(1));
    expectExchanges({{start, kError, "No free stream id for window 1001"}});
    {
        std::lock_guard lock(host.mutex);
        host.running.reset(77);
    }
    EXPECT_EQ(send(start), startedFor(4097, 77));
}

TEST_F(SignalingHandlerTest, WindowListIsCachedBrieflyAndFollowsItsProvider) {
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(send(R"({"type":"window_list_request"})"));
    }
    {
        std::lock_guard lock(host.mutex);
        EXPECT_LE(host.windowListCalls, 2);  // one more if the loop crossed the cache age
        host.windows.push_back(FakeSignalingHost::window(0x2002, "New"));
    }
    EXPECT_TRUE(eventually([&] {
        const auto list = nlohmann::json::parse(send(R"({"type":"window_list_request"})").value_or("{}"));
        return list.contains("windows") && list.at("windows").size() == 3;
    }));

    handler.setWindowListCallback({});
    EXPECT_EQ(send(R"({"type":"window_list_request"})"), R"({"type":"window_list","windows":[]})");
    handler.setWindowListCallback([]() -> std::vector<protocol::WindowInfo> { throw std::runtime_error("boom"); });
    expectExchanges({{R"({"type":"window_list_request"})", kNoAnswer, "Error processing message: boom"}});
}

}  // namespace
}  // namespace quillane::host::test
