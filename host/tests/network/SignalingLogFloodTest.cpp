// A client that floods the host with messages it must refuse, against the real
// log file: a few lines a second, and the lines before the flood stay.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include "Eventually.h"
#include "SignalingTestClient.h"
#include "SignalingTestHost.h"
#include "app/Logging.h"
#include "network/SignalingServer.h"
#include "platform/Paths.h"
#include "TestSupport.h"

namespace quillane::host::test {
namespace {

constexpr int kFlood = 10'000;

TEST(SignalingLogFlood, TenThousandRefusedMessagesWriteAFewLinesAndKeepTheLogsHistory) {
    TempFolder temp;
    const auto logFile = temp.path() / "logs" / "quillane_2026-12-07.log";
    initializeLogging("QuillaneHost", true, 1, pathToUtf8(logFile));
    SPDLOG_INFO("history from before the flood");

    FakeSignalingHost host;
    host.windows = {FakeSignalingHost::window(0x1001, "Editor")};
    host.resizeSucceeds = false;
    SignalingServer server(0, testOptions());
    host.install(server);
    ASSERT_TRUE(server.start());
    SignalingClient client;
    ASSERT_TRUE(client.connect(server.port()));

    const auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < kFlood; ++i) ASSERT_TRUE(client.sendText("not json " + std::to_string(i)));
    // Refused three ways: a size out of range, a window not listed, the owner's no.
    const std::string refused[] = {
        R"({"type":"window_resize","windowId":4097,"width":0,"height":600})",
        R"({"type":"window_resize","windowId":39321,"width":800,"height":600})",
        R"({"type":"window_resize","windowId":4097,"width":800,"height":600})",
    };
    for (int i = 0; i < kFlood; ++i) ASSERT_TRUE(client.sendText(refused[i % 3]));
    // Answers keep the order of the requests: the pong comes after every refusal.
    ASSERT_TRUE(client.request({{"type", "ping"}, {"timestamp", 7}}, "pong", std::chrono::seconds(60)));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    server.stop();
    shutdownLogging();

    const auto lines = readLines(logFile);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) {
                                return line.find("history from before the flood") != std::string::npos;
                            }),
              1);
    EXPECT_FALSE(std::filesystem::exists(temp.path() / "logs" / "quillane_2026-12-07.1.log")) << "rotated";
    // A burst of ordinary request lines, then a few a second at most.
    EXPECT_LE(static_cast<double>(lines.size()), 40 + 3 * seconds) << lines.size() << " lines in " << seconds << " s";
    std::size_t errors = 0;
    for (const auto& line : lines) errors += line.find("Error processing message: ") != std::string::npos;
    EXPECT_GE(errors, 1u);
    EXPECT_LE(static_cast<double>(errors), 1 + seconds / 10);
    std::lock_guard lock(host.mutex);
    EXPECT_EQ(host.resizes.size(), static_cast<std::size_t>(kFlood / 3)) << "the owner's refusals were asked";
}

// Connections from one address that end alike, one after another: each kind
// adds a few lines, among them the first connection's.
TEST(SignalingLogFlood, ThreeHundredConnectionsEndingAlikeWriteAFewLinesEach) {
    TempFolder temp;
    const auto logFile = temp.path() / "logs" / "quillane_2026-12-07.log";
    initializeLogging("QuillaneHost", true, 1, pathToUtf8(logFile));
    const auto lines = [&] {
        spdlog::default_logger()->flush();
        return readLines(logFile);
    };
    std::uint16_t port = 0;
    struct Kind {
        const char* what;
        std::function<bool()> connection;
        const char* line;
    };
    const Kind kinds[] = {
        {"no WebSocket upgrade",
         [&] {
             RawConnection raw;
             return raw.connect(port) && raw.send("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n") &&
                    raw.waitForClose();
         },
         "WebSocket accept failed: "},
        {"dropped without a close frame",
         [&] {
             SignalingClient client;
             if (!client.connect(port)) return false;
             client.reset();
             return true;
         },
         "WebSocket read failed: "},
        {"closed with a close frame",
         [&] {
             SignalingClient client;
             if (!client.connect(port)) return false;
             client.close();
             return true;
         },
         "Client disconnected"},
    };
    for (const auto& kind : kinds) {
        SCOPED_TRACE(kind.what);
        SignalingServer server(0, testOptions());
        ASSERT_TRUE(server.start());
        port = server.port();
        const std::size_t before = lines().size();
        for (int i = 0; i < 300; ++i) {
            ASSERT_TRUE(kind.connection()) << i;
            // Four at a time from one address are let in.
            ASSERT_TRUE(eventually([&] { return server.getClientCount() == 0; })) << i;
        }
        const auto after = lines();
        ASSERT_GE(after.size(), before);
        EXPECT_LE(after.size() - before, 30u) << kind.line;
        EXPECT_TRUE(std::any_of(after.begin() + static_cast<std::ptrdiff_t>(before), after.end(),
                                [&](const std::string& line) { return line.find(kind.line) != std::string::npos; }))
            << kind.line;
    }
    shutdownLogging();
}

}  // namespace
}  // namespace quillane::host::test
