// The real Application with idle window captures and encoders in place of the
// platform's: what a client reaches over discovery and signalling, the stream
// cap, the streams of a client that leaves, the priority boost, and what a stop
// lets go of on a scripted desktop. The same source runs on Linux and, under
// Wine, on Windows, where no window capture is.

#include <gtest/gtest.h>

#include <boost/asio/ip/host_name.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "ApplicationTestSupport.h"
#include "Eventually.h"
#include "FakeInputPlatform.h"
#include "IdleCaptureServices.h"
#include "LogCapture.h"
#include "SignalingTestClient.h"
#include "VideoClient.h"
#include "app/Application.h"
#include "common/RateLimiter.h"
#include "common/Version.h"
#include "platform/ComputerName.h"
#include "input/InputInjector.h"
#include "input/InputPlatform.h"
#include "platform/Paths.h"
#include "TestSupport.h"

using namespace std::chrono_literals;
namespace quillane::host::test {

using nlohmann::json;
namespace fs = std::filesystem;

namespace {

constexpr std::uint16_t kDiscoveryPort = 9877;
constexpr std::uint32_t kWindowId = 0x2a0001;

// The warnings and errors logged so far, to say why a start failed.
std::string problems(const LogCapture& log) {
    std::string out;
    for (const auto& e : log.entries())
        if (e.level >= spdlog::level::warn) out += e.text + "\n";
    return out;
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

// The NUL-separated fields of a discovery reply.
std::vector<std::string> fields(const std::vector<std::uint8_t>& reply) {
    std::vector<std::string> out(1);
    for (const std::uint8_t byte : reply) {
        if (byte == 0) {
            out.emplace_back();
        } else {
            out.back() += static_cast<char>(byte);
        }
    }
    out.pop_back();  // after the closing NUL
    return out;
}

class ApplicationServing : public ::testing::Test {
protected:
    void SetUp() override {
        // Linux reads these; Windows keeps its folder in the (test's own) Wine prefix.
        setEnvironment("XDG_CONFIG_HOME", (temp.path() / "config").string());
        setEnvironment("XDG_STATE_HOME", (temp.path() / "state").string());
        ports = settings.emplace(appConfigFolder()).ports();
        signalingPort = ports[0];
        window.id = kWindowId;
        window.title = "Serving window";
        window.width = 640;
        window.height = 480;
        window.isVisible = true;
        app = std::make_unique<Application>(std::make_unique<RecordingPriority>(priorityLog), createInputPlatform(),
                                            idleCaptureServices(captures, {window}));
    }
    void TearDown() override {
        app.reset();
        settings.reset();
    }

    // Subscribes `count` times to the window; the stream ids started.
    std::vector<std::uint8_t> subscribe(SignalingClient& client, int count) {
        std::vector<std::uint8_t> started;
        for (int i = 0; i < count; ++i) {
            EXPECT_TRUE(client.sendJson({{"type", "stream_subscribe"}, {"windowId", kWindowId}}));
            const auto reply = client.receiveJson(10s);
            if (!reply) {
                ADD_FAILURE() << "no answer to subscription " << i;
                break;
            }
            if ((*reply)["type"] == "stream_started") {
                started.push_back((*reply)["streamId"].get<std::uint8_t>());
            } else {
                EXPECT_EQ((*reply)["type"], "error") << reply->dump();
                EXPECT_EQ((*reply)["code"], 1001) << reply->dump();
            }
        }
        return started;
    }

    LogCapture log;
    TempFolder temp;
    std::optional<FreePortSettings> settings;
    std::array<std::uint16_t, 4> ports{};  // signalling, video, audio, input
    std::uint16_t signalingPort = 0;
    quillane::protocol::WindowInfo window;
    std::shared_ptr<IdleCaptureCount> captures = std::make_shared<IdleCaptureCount>();
    std::shared_ptr<RecordingPriority::Log> priorityLog = std::make_shared<RecordingPriority::Log>();
    std::unique_ptr<Application> app;
};

TEST_F(ApplicationServing, ClientsFindTheHostUnderTheComputersNameAndAreWelcomed) {
    ASSERT_TRUE(app->initialize()) << problems(log);
    MainLoopTurns loop(*app);
    if (log.contains("Failed to start discovery responder")) {
        GTEST_SKIP() << "the discovery port " << kDiscoveryPort << " is taken on this machine";
    }

    const auto reply = discover(kDiscoveryPort, "QUILLANE_DISCOVER\x01test-headset");
    ASSERT_TRUE(reply);
    const auto parts = fields(*reply);
    ASSERT_EQ(parts.size(), 3u);
    EXPECT_EQ(parts[0], "QUILLANE_HOST");
    // The computer's own name (Windows: its NetBIOS form, upper case and at most 15 characters).
    const std::string name = computerName();
    EXPECT_EQ(parts[1], name);
    EXPECT_FALSE(name.empty());
    EXPECT_EQ(lower(boost::asio::ip::host_name()).rfind(lower(name), 0), 0u)
        << name << " is not this computer, " << boost::asio::ip::host_name();
    EXPECT_EQ(parts[2], std::to_string(signalingPort));
    EXPECT_TRUE(log.waitFor("Discovery request from 127.0.0.1 (test-headset)"));

    SignalingClient client;
    ASSERT_TRUE(client.connect(signalingPort));
    const auto welcome = client.request({{"type", "hello"}}, "welcome");
    ASSERT_TRUE(welcome);
    EXPECT_EQ((*welcome)["hostName"], "Quillane Host");
    EXPECT_EQ((*welcome)["hostVersion"], kHostVersion);
    // The ports the host really serves on.
    EXPECT_EQ((*welcome)["videoPort"], ports[1]);
    EXPECT_EQ((*welcome)["audioPort"], ports[2]);
    EXPECT_EQ((*welcome)["inputPort"], ports[3]);
    EXPECT_TRUE(app->isClientConnected());
    const auto list = client.request({{"type", "window_list_request"}}, "window_list");
    ASSERT_TRUE(list);
    ASSERT_EQ((*list)["windows"].size(), 1u) << list->dump();
    EXPECT_EQ((*list)["windows"][0]["id"], kWindowId);
    EXPECT_EQ((*list)["windows"][0]["title"], "Serving window");
}

// Eight streams per client and sixteen in all; the streams of a client that
// leaves end with it, and the priority boost lasts from the first running
// stream to the end of the last, on either path.
TEST_F(ApplicationServing, StreamsAreCappedAndEndWithTheClientThatStartedThem) {
    ASSERT_TRUE(app->initialize()) << problems(log);
    MainLoopTurns loop(*app);
    std::vector<std::unique_ptr<SignalingClient>> clients;
    std::vector<std::vector<std::uint8_t>> started;
    for (int c = 0; c < 3; ++c) {
        clients.push_back(std::make_unique<SignalingClient>());
        ASSERT_TRUE(clients.back()->connect(signalingPort));
        started.push_back(subscribe(*clients.back(), 10));
    }
    EXPECT_EQ(started[0].size(), 8u);
    EXPECT_EQ(started[1].size(), 8u);
    EXPECT_EQ(started[2].size(), 0u);
    EXPECT_TRUE(log.contains("this client already runs 8 streams"));
    EXPECT_TRUE(log.contains("16 streams already running"));
    EXPECT_EQ(captures->running, 16);
    EXPECT_EQ(priorityLog->get(), std::vector<bool>{true});
    EXPECT_TRUE(app->isPriorityBoosted());

    // One leaves with a close frame, one without a word.
    clients[0]->close();
    EXPECT_TRUE(eventually([&] { return captures->running == 8; }, 5s)) << captures->running;
    EXPECT_TRUE(eventually([&] {
        return std::none_of(started[0].begin(), started[0].end(), [&](auto id) { return app->isStreamRunning(id); });
    }));
    for (const auto id : started[1]) EXPECT_TRUE(app->isStreamRunning(id)) << int(id);
    EXPECT_EQ(priorityLog->get(), std::vector<bool>{true});
    clients[1]->reset();
    EXPECT_TRUE(eventually([&] { return captures->running == 0; }, 5s)) << captures->running;
    EXPECT_EQ(log.count("the client that started it disconnected"), 16u);
    EXPECT_EQ(priorityLog->get(), (std::vector<bool>{true, false}));
    EXPECT_FALSE(app->isPriorityBoosted());

    // The remaining client may start again; the host window's stream shares the boost.
    const auto again = subscribe(*clients[2], 1);
    ASSERT_EQ(again.size(), 1u);
    ASSERT_TRUE(app->startCapture(kWindowId, 200));
    EXPECT_EQ(priorityLog->get(), (std::vector<bool>{true, false, true}));
    app->stopCapture(200);
    EXPECT_EQ(priorityLog->get(), (std::vector<bool>{true, false, true}));
    const auto stopped = clients[2]->request({{"type", "stream_unsubscribe"}, {"streamId", again[0]}}, "stream_stopped");
    ASSERT_TRUE(stopped);
    EXPECT_EQ(priorityLog->get(), (std::vector<bool>{true, false, true, false}));
    EXPECT_EQ(captures->running, 0);
    app->shutdown();
}

// A client that repeats a request by the hundred: each burst of 300 adds a few
// lines (the first requests' own, then a count every 10 s), and the first
// requests of a client at another address still show.
TEST_F(ApplicationServing, BurstsOfRepeatedRequestsAddAFewLinesAndTheFirstRequestsStillShow) {
    constexpr int kBurst = 300;
    struct Burst {
        const char* what;
        std::function<json(int streamId)> request;
        const char* answer;
        int streamId;  // the burst's; the next client's is one more
        std::vector<std::string> firstLines;
        std::string nextClientsLine;
    };
    const Burst bursts[] = {
        {"stops of a stream that is not running",
         [](int id) { return json{{"type", "stream_stop"}, {"streamId", id}}; }, "stream_stopped", 200, {"Stream stop request for stream 200", "Client requested to stop stream 200"},
         "Stream stop request for stream 201"},
        {"accepted resizes",
         [](int id) {
             return json{{"type", "window_resize"}, {"streamId", id}, {"windowId", kWindowId}, {"width", 800},
                         {"height", 600}};
         },
         "window_resized", 1,
         {"Window resize request: stream=1, window=2a0001, size=800x600",
          "Client-initiated window resize: window=2a0001, size=800x600", "Window resized to 816x639 (client: 800x600)"},
         "Window resize request: stream=2, window=2a0001, size=800x600"},
    };
    for (const auto& burst : bursts) {
        SCOPED_TRACE(burst.what);
        // A scripted desktop on which every resize of the window succeeds.
        auto desktop = std::make_shared<FakeInputPlatform>();
        desktop->existing = kWindowId;
        app.reset();
        app = std::make_unique<Application>(std::make_unique<RecordingPriority>(priorityLog), desktop,
                                            idleCaptureServices(captures, {window}));
        ASSERT_TRUE(app->initialize()) << problems(log);
        MainLoopTurns loop(*app);
        SignalingClient client;
        ASSERT_TRUE(client.connect(signalingPort));
        ASSERT_TRUE(client.request({{"type", "hello"}}, "welcome"));

        const std::size_t before = log.entries().size();
        for (int i = 0; i < kBurst; ++i) ASSERT_TRUE(client.sendJson(burst.request(burst.streamId)));
        int answered = 0;
        while (answered < kBurst) {
            const auto answer = client.waitForType(burst.answer, 10s);
            if (!answer || !answer->value("success", true)) break;
            ++answered;
        }
        EXPECT_EQ(answered, kBurst) << "answered and, for resizes, resized";
        const auto entries = log.entries();
        std::string added;
        for (auto it = entries.begin() + static_cast<std::ptrdiff_t>(before); it != entries.end(); ++it) {
            added += it->text + "\n";
        }
        EXPECT_LE(entries.size() - before, 30u) << added;
        for (const auto& line : burst.firstLines) EXPECT_TRUE(log.contains(line)) << line;

        SignalingClient next("127.0.0.2");
        ASSERT_TRUE(next.connect(signalingPort));
        ASSERT_TRUE(next.request({{"type", "hello"}}, "welcome"));
        ASSERT_TRUE(next.request(burst.request(burst.streamId + 1), burst.answer));
        EXPECT_TRUE(log.contains(burst.nextClientsLine));
        app->shutdown();
    }
}

// A client that reconnects for every request gets no fresh budget of lines: 300
// rounds of connect, hello, window list, a stop of a stream that does not run, a
// resize and close add a few dozen lines, and a client at another address still
// shows with its first requests.
TEST_F(ApplicationServing, AClientThatReconnectsForEveryRequestAddsAFewDozenLines) {
    auto desktop = std::make_shared<FakeInputPlatform>();
    desktop->existing = kWindowId;
    app = std::make_unique<Application>(std::make_unique<RecordingPriority>(priorityLog), desktop,
                                        idleCaptureServices(captures, {window}));
    ASSERT_TRUE(app->initialize()) << problems(log);
    MainLoopTurns loop(*app);
    const json resize{{"type", "window_resize"}, {"streamId", 1}, {"windowId", kWindowId}, {"width", 800},
                      {"height", 600}};
    const auto round = [&](SignalingClient& client, int stopped) {
        return client.connect(signalingPort) && client.request({{"type", "hello"}}, "welcome") &&
               client.request({{"type", "window_list_request"}}, "window_list") &&
               client.request({{"type", "stream_stop"}, {"streamId", stopped}}, "stream_stopped") &&
               client.request(resize, "window_resized");
    };

    // The line limiters' time stands still for the rounds: what they add is what one interval of
    // theirs lets through, however fast this machine gets through them.
    const LineClockHold still;
    const std::size_t before = log.size();
    for (int i = 0; i < 300; ++i) {
        SignalingClient client;
        ASSERT_TRUE(round(client, 200)) << i;
        client.close();
    }
    const std::size_t added = log.size() - before;
    EXPECT_LE(added, 60u) << log.textSince(before);
    EXPECT_TRUE(log.contains("Stream stop request for stream 200"));

    const std::size_t rounds = log.size();
    SignalingClient other("127.0.0.2");
    ASSERT_TRUE(round(other, 201));
    const std::string others = log.textSince(rounds);
    for (const char* line : {"Received hello from client at 127.0.0.2", "Client connected from 127.0.0.2",
                             "Stream stop request for stream 201", "Client requested to stop stream 201",
                             "Window resize request: stream=1", "Client-initiated window resize"}) {
        EXPECT_NE(others.find(line), std::string::npos) << line << " in\n" << others;
    }
    RecordProperty("linesAdded", static_cast<int>(added));
    app->shutdown();
}

// A client that leaves with its stream still running, over and over: the stops its leaving
// causes count against its address like its other requests, so 100 rounds add a few dozen lines.
TEST_F(ApplicationServing, AClientThatLeavesWithItsStreamRunningInALoopAddsAFewDozenLines) {
    ASSERT_TRUE(app->initialize()) << problems(log);
    MainLoopTurns loop(*app);
    const LineClockHold still;  // as in the reconnecting rounds
    const std::size_t before = log.size();
    for (int i = 0; i < 100; ++i) {
        SignalingClient client;
        ASSERT_TRUE(client.connect(signalingPort));
        ASSERT_EQ(subscribe(client, 1).size(), 1u) << i;
        client.close();
        ASSERT_TRUE(eventually([&] { return captures->running == 0; }, 5s)) << i;
    }
    const std::size_t added = log.size() - before;
    EXPECT_LE(added, 80u) << log.textSince(before);
    EXPECT_LE(log.count("the client that started it disconnected"), 16u);
    RecordProperty("linesAdded", static_cast<int>(added));
    app->shutdown();
}

// A stop lets go of what its own stream held and of nothing else: with a key, a modifier and a
// button held for one stream, a stop of a stream that does not run (from another client) and the
// stop of a second stream leave them held; the stop of their own stream releases them.
TEST_F(ApplicationServing, AStopReleasesOnlyWhatItsOwnStreamHeld) {
    constexpr std::uint32_t kSecondWindowId = 0x2a0002;
    constexpr std::uint8_t kNotRunning = 200;
    constexpr std::uint16_t kVkShift = 0x10;
    auto desktop = std::make_shared<SharedDesktop>();
    // The first stream's window stands in front, uncovered.
    desktop->existing = desktop->foreground = desktop->underPoint = kWindowId;
    auto second = window;
    second.id = kSecondWindowId;
    second.title = "Second serving window";
    app = std::make_unique<Application>(std::make_unique<RecordingPriority>(priorityLog), desktop,
                                        idleCaptureServices(captures, {window, second}));
    ASSERT_TRUE(app->initialize()) << problems(log);
    MainLoopTurns loop(*app);
    SignalingClient owner;
    SignalingClient bystander;
    ASSERT_TRUE(owner.connect(signalingPort));
    ASSERT_TRUE(bystander.connect(signalingPort));
    const auto a = owner.request({{"type", "stream_start"}, {"windowId", kWindowId}}, "stream_started");
    const auto b = owner.request({{"type", "stream_start"}, {"windowId", kSecondWindowId}}, "stream_started");
    ASSERT_TRUE(a && b) << problems(log);
    const auto streamA = (*a)["streamId"].get<std::uint8_t>();
    const auto streamB = (*b)["streamId"].get<std::uint8_t>();

    VideoClient video;
    ASSERT_TRUE(video.connect(ports[1]));
    const auto keyboard = static_cast<std::uint8_t>(InputDeviceType::Keyboard);
    const auto mouse = static_cast<std::uint8_t>(InputDeviceType::Mouse);
    ASSERT_TRUE(video.sendInput(
        {streamA, keyboard, static_cast<std::uint8_t>(KeyAction::KeyDown), 0, 0, 'Q', ModifierFlags::Shift, 0}));
    ASSERT_TRUE(video.sendInput({streamA, mouse, static_cast<std::uint8_t>(MouseAction::ButtonDown), 32768, 32768,
                                 static_cast<std::uint8_t>(MouseButton::Left), 0, 0}));
    ASSERT_TRUE(eventually([&] { return desktop->inputs().size() == 4; }, 5s)) << "Shift, Q, the move and the press";

    ASSERT_FALSE(app->isStreamRunning(kNotRunning));
    ASSERT_TRUE(bystander.request({{"type", "stream_stop"}, {"streamId", kNotRunning}}, "stream_stopped"));
    EXPECT_EQ(releases(desktop->inputs()), std::vector<std::string>{}) << "nothing ran under that id";
    EXPECT_FALSE(log.contains("Stream 200 not found")) << "a stop of a stream that does not run changes nothing";
    ASSERT_TRUE(owner.request({{"type", "stream_stop"}, {"streamId", streamB}}, "stream_stopped"));
    // A stop reaches the input thread in turn with the records: one sent after it has acted once it is seen.
    const std::size_t seen = desktop->inputs().size();
    ASSERT_TRUE(video.sendInput({streamA, mouse, static_cast<std::uint8_t>(MouseAction::Move), 16384, 16384, 0, 0, 0}));
    ASSERT_TRUE(eventually([&] { return desktop->inputs().size() > seen; }, 5s));
    EXPECT_EQ(releases(desktop->inputs()), std::vector<std::string>{}) << "the other stream held none of them";
    EXPECT_TRUE(app->isStreamRunning(streamA));

    ASSERT_TRUE(owner.request({{"type", "stream_stop"}, {"streamId", streamA}}, "stream_stopped"));
    const std::vector<std::string> own{keyUp('Q'), keyUp(kVkShift), "left button up"};
    EXPECT_TRUE(eventually([&] { return releases(desktop->inputs()) == own; }, 5s));
    EXPECT_EQ(releases(desktop->inputs()), own);
    loop.stop();
    app->shutdown();
}

// Clients' start requests and the host window's clicks at the same moment, on a
// fresh host each round (where every side's ids begin): each stream gets an id
// of its own and captures the window its starter asked for; no start takes over
// another's.
TEST_F(ApplicationServing, StartsFromClientsAndTheHostWindowAtOnceGetIdsOfTheirOwn) {
    constexpr int kClients = 2, kHostThreads = 2;
    constexpr int kStartsEach = 4;  // 16 in all: the cap, and half a client's share
    constexpr int kRounds = 15;
    std::vector<quillane::protocol::WindowInfo> windows;  // one per starter, clients first
    for (int i = 0; i < kClients + kHostThreads; ++i) {
        windows.push_back(window);
        windows.back().id = kWindowId + static_cast<std::uint32_t>(i);
    }

    for (int round = 0; round < kRounds && !HasFailure(); ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        app.reset();
        app = std::make_unique<Application>(std::make_unique<RecordingPriority>(priorityLog), createInputPlatform(),
                                            idleCaptureServices(captures, windows));
        ASSERT_TRUE(app->initialize()) << problems(log);
        MainLoopTurns loop(*app);
        std::vector<std::unique_ptr<SignalingClient>> clients;
        for (int c = 0; c < kClients; ++c) {
            clients.push_back(std::make_unique<SignalingClient>());
            ASSERT_TRUE(clients.back()->connect(signalingPort));
        }

        std::vector<std::vector<json>> answers(kClients);
        std::vector<std::vector<std::uint8_t>> hostIds(kHostThreads);
        std::atomic<int> sent{0};
        std::vector<std::thread> starters;
        for (int c = 0; c < kClients; ++c) {
            starters.emplace_back([&, c] {
                for (int i = 0; i < kStartsEach; ++i) {
                    clients[c]->sendJson({{"type", "stream_start"}, {"windowId", windows[c].id}});
                }
                ++sent;
                for (int i = 0; i < kStartsEach; ++i) answers[c].push_back(clients[c]->receiveJson(10s).value_or(json{}));
            });
        }
        for (int h = 0; h < kHostThreads; ++h) {
            starters.emplace_back([&, h] {
                // Clicks in the window list, spread over the time the clients' requests are being
                // handled; each, as the window's click does, takes an id from the host, then starts.
                while (sent < kClients) std::this_thread::yield();
                for (int i = 0; i < kStartsEach; ++i) {
                    const auto id = app->reserveStreamId();
                    if (id && app->startCapture(windows[kClients + h].id, *id)) hostIds[h].push_back(*id);
                    std::this_thread::sleep_for(1ms);
                }
            });
        }
        for (auto& thread : starters) thread.join();

        std::set<int> ids;
        const auto owned = [&](std::uint8_t id) {
            EXPECT_TRUE(ids.insert(id).second) << "stream " << int(id) << " handed out twice";
            EXPECT_TRUE(app->isStreamRunning(id)) << int(id);
        };
        for (int c = 0; c < kClients; ++c) {
            for (const auto& answer : answers[c]) {
                ASSERT_EQ(answer.value("type", ""), "stream_started") << answer.dump() << problems(log);
                EXPECT_EQ(answer.value("windowId", 0u), windows[c].id);
                owned(answer.at("streamId").get<std::uint8_t>());
            }
            EXPECT_EQ(captures->runningOf(windows[c].id), kStartsEach) << "client " << c;
        }
        for (int h = 0; h < kHostThreads; ++h) {
            EXPECT_EQ(hostIds[h].size(), std::size_t{kStartsEach}) << problems(log);
            for (const auto id : hostIds[h]) owned(id);
            EXPECT_EQ(captures->runningOf(windows[kClients + h].id), kStartsEach) << "host thread " << h;
        }
        loop.stop();
        app->shutdown();
        EXPECT_EQ(captures->running, 0);
    }
}

}  // namespace

}  // namespace quillane::host::test
