#pragma once

// The Application's life with its real components in the test's process: a
// home of the test's own (Windows: the settings folder of the test's Wine
// prefix, emptied again afterwards) and a recorded priority boost.

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ApplicationTestSupport.h"
#include "Eventually.h"
#include "FakeInputPlatform.h"
#include "LogCapture.h"
#include "SignalingTestClient.h"
#include "VideoClient.h"
#include "app/Application.h"
#include "input/InputInjector.h"
#include "input/InputPlatform.h"
#include "platform/Paths.h"
#include "TestSupport.h"

namespace quillane::host::test {

// The warnings and errors logged so far, to say why a start failed.
inline std::string problems(const LogCapture& log) {
    std::string out;
    for (const auto& e : log.entries())
        if (e.level >= spdlog::level::warn) out += e.text + "\n";
    return out;
}

class ApplicationLife : public ::testing::Test {
protected:
    struct Ports {
        std::uint16_t signaling = 0, video = 0, audio = 0, input = 0;
    };

    void SetUp() override {
        const std::string home = temp.path().string();
        setEnvironment("HOME", home);
        setEnvironment("XDG_CONFIG_HOME", home + "/config");
        setEnvironment("XDG_STATE_HOME", home + "/state");
        settingsFolder = appConfigFolder();
        std::error_code ec;
        std::filesystem::remove(settingsFolder / "settings.json", ec);
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove(settingsFolder / "settings.json", ec);
    }

    // A settings file with four different free ports.
    void writeFreePorts() {
        const auto free = writeFreePortSettings(settingsFolder);
        ports = {free[0], free[1], free[2], free[3]};
    }

    std::unique_ptr<Application> makeApp(std::shared_ptr<InputPlatform> input = nullptr) {
        auto priority = std::make_unique<RecordingPriority>(priorityLog);
        return input ? std::make_unique<Application>(std::move(priority), std::move(input))
                     : std::make_unique<Application>(std::move(priority));
    }

    // Before start-up nothing answers and nothing starts or stops.
    void checkNothingAnswersBeforeStartUp(Application& app, std::uint32_t id) {
        EXPECT_EQ(app.getEncoderName(), "None");
        EXPECT_TRUE(app.getWindowList().empty());
        EXPECT_FALSE(app.isClientConnected());
        EXPECT_FALSE(app.onWindowResizeRequest(id, 800, 600));
        app.stopCapture(3);
        EXPECT_FALSE(log.contains("Stopped capture for stream 3"));
        EXPECT_FALSE(app.startCapture(id, 1));
        EXPECT_TRUE(log.contains("Capture orchestrator not initialized"));
    }

    // What the host window shows of a client once it said hello: its real address, no latency
    // before its first feedback, the configured bitrate.
    void checkHelloShowsTheClient(Application& app, SignalingClient& client) {
        ASSERT_TRUE(client.request(nlohmann::json{{"type", "hello"}}, "welcome"));
        EXPECT_TRUE(app.isClientConnected());
        EXPECT_EQ(app.getClientAddress(), "127.0.0.1");
        EXPECT_EQ(app.getLastRttMs(), -1);
        EXPECT_EQ(app.getCurrentBitrateKbps(), app.getSettings().values().targetBitrate);
    }

    // A scripted desktop on which `window` stands in front, uncovered.
    static std::shared_ptr<SharedDesktop> desktopWithInFront(std::uint32_t window) {
        auto desktop = std::make_shared<SharedDesktop>();
        desktop->existing = desktop->foreground = desktop->underPoint = window;
        return desktop;
    }

    // The priority boost follows the streams that run, on either path, including a stream whose
    // window closed (closeSecond closes the second window); a stop of a stream that is not running
    // lets go of nothing another stream holds. The application is running on `desktop` (from
    // desktopWithInFront(first)) with both windows listed and nothing streamed yet; the loop is
    // stopped and the application shut down.
    void checkPriorityBoostFollowsStreams(Application& app, MainLoopTurns& loop, SharedDesktop& desktop,
                                          std::uint32_t first, std::uint32_t second,
                                          const std::function<bool()>& closeSecond) {
        using namespace std::chrono_literals;
        using nlohmann::json;
        SignalingClient client;
        ASSERT_TRUE(client.connect(ports.signaling));
        auto a = client.request(json{{"type", "stream_subscribe"}, {"windowId", first}}, "stream_started", 10s);
        auto b = client.request(json{{"type", "stream_subscribe"}, {"windowId", second}}, "stream_started", 10s);
        ASSERT_TRUE(a);
        ASSERT_TRUE(b);
        const auto idA = (*a)["streamId"].get<std::uint8_t>();
        const auto idB = (*b)["streamId"].get<std::uint8_t>();
        EXPECT_NE(idA, idB);
        EXPECT_EQ(priorityLog->get(), std::vector<bool>{true});
        EXPECT_TRUE(app.isPriorityBoosted());

        // Q held for the first stream, through the input connection.
        VideoClient input;
        ASSERT_TRUE(input.connect(ports.input));
        const auto keyboard = static_cast<std::uint8_t>(InputDeviceType::Keyboard);
        const auto mouse = static_cast<std::uint8_t>(InputDeviceType::Mouse);
        ASSERT_TRUE(input.sendMessage(
            inputEventBody({idA, keyboard, static_cast<std::uint8_t>(KeyAction::KeyDown), 0, 0, 'Q', 0, 0})));
        const auto pressedQ = [&] {
            for (const auto& in : desktop.inputs())
                if (in.kind == SyntheticInput::Kind::Keyboard && in.vk == 'Q' && (in.flags & key_flags::kKeyUp) == 0)
                    return true;
            return false;
        };
        ASSERT_TRUE(eventually(pressedQ, 5s)) << "Q was not pressed";

        // A stop of an id that is not running changes nothing: Q stays held, no capture is stopped.
        ASSERT_TRUE(client.request(json{{"type", "stream_unsubscribe"}, {"streamId", 200}}, "stream_stopped"));
        // A stop reaches the input thread in turn with the records: one sent after it has acted once it is seen.
        const std::size_t seen = desktop.inputs().size();
        ASSERT_TRUE(input.sendMessage(
            inputEventBody({idA, mouse, static_cast<std::uint8_t>(MouseAction::Move), 16384, 16384, 0, 0, 0})));
        ASSERT_TRUE(eventually([&] { return desktop.inputs().size() > seen; }, 5s));
        EXPECT_EQ(releases(desktop.inputs()), std::vector<std::string>{}) << "nothing ran under that id";
        EXPECT_FALSE(log.contains("Stopped capture for stream 200"));
        EXPECT_EQ(priorityLog->get(), std::vector<bool>{true});
        ASSERT_TRUE(client.request(json{{"type", "stream_unsubscribe"}, {"streamId", idA}}, "stream_stopped"));
        EXPECT_EQ(priorityLog->get(), std::vector<bool>{true});
        EXPECT_TRUE(eventually([&] { return releases(desktop.inputs()) == std::vector{keyUp('Q')}; }, 5s))
            << "its own stop lets go of Q";
        // The same id twice: the second stop changes nothing either.
        ASSERT_TRUE(client.request(json{{"type", "stream_unsubscribe"}, {"streamId", idA}}, "stream_stopped"));
        EXPECT_TRUE(app.isStreamRunning(idB));

        // The last running stream ends because its window closes: restored once.
        ASSERT_TRUE(closeSecond());
        const auto ended = client.waitForType("stream_stopped", 10s);
        ASSERT_TRUE(ended) << "the client was not told that the stream ended with its window";
        EXPECT_EQ((*ended)["streamId"], idB);
        EXPECT_TRUE(eventually([&] { return !app.isStreamRunning(idB); }, 10s));
        EXPECT_EQ(priorityLog->get(), (std::vector<bool>{true, false}));
        ASSERT_TRUE(client.request(json{{"type", "stream_unsubscribe"}, {"streamId", idB}}, "stream_stopped"));
        EXPECT_EQ(priorityLog->get(), (std::vector<bool>{true, false}));

        loop.stop();

        // The host-window path shares the set.
        ASSERT_TRUE(app.startCapture(first, 50));
        EXPECT_EQ(priorityLog->get(), (std::vector<bool>{true, false, true}));
        app.stopCapture(50);
        EXPECT_EQ(priorityLog->get(), (std::vector<bool>{true, false, true, false}));
        // A window the enumerator does not list is refused.
        EXPECT_FALSE(app.startCapture(0x7fffffff, 51));
        EXPECT_EQ(priorityLog->get().size(), 4u);
        app.shutdown();
    }

    // A client's resize reaches the desktop only for a listed window that still exists, with a
    // size a window can take and H.264 can carry, through the injector with the position kept;
    // `unlisted` is a real window clients are not offered (the root or desktop window). The
    // application is running and nothing resized the window yet; it is shut down at the end.
    void checkClientResizes(Application& app, FakeInputPlatform& desktop, std::uint32_t id, std::uint32_t unlisted) {
        ASSERT_TRUE(app.onWindowResizeRequest(id, 800, 600));
        EXPECT_TRUE(log.contains(fmt::format("Client-initiated window resize: window={:x}, size=800x600", id)));
        EXPECT_TRUE(log.contains(fmt::format("Window {:x} resized successfully to 800x600", id)));
        ASSERT_EQ(desktop.positions.size(), 1u);
        EXPECT_EQ(desktop.positions[0].window, id);
        EXPECT_TRUE(desktop.positions[0].keepPosition);

        // Not listed (that window, an invented id): refused before the desktop is touched.
        for (std::uint32_t other : {0u, 0x7fffffffu, unlisted}) {
            EXPECT_FALSE(app.onWindowResizeRequest(other, 800, 600));
            EXPECT_TRUE(log.contains(fmt::format("Invalid window ID for resize: {:x}", other))) << other;
        }
        // Listed but gone by the time the platform looks.
        desktop.existing = 0;
        LogCapture gone;
        EXPECT_FALSE(app.onWindowResizeRequest(id, 800, 600));
        EXPECT_TRUE(gone.contains(fmt::format("Invalid window ID for resize: {:x}", id)));
        desktop.existing = id;

        // Sizes no window can take, and sizes H.264 cannot carry.
        for (auto [w, h] : {std::pair{0u, 600u}, {800u, 0u}, {16385u, 600u}, {800u, 0xFFFFFFFFu}, {8193u, 100u},
                            {16384u, 16384u}, {8192u, 4353u}}) {
            EXPECT_FALSE(app.onWindowResizeRequest(id, w, h));
            EXPECT_TRUE(log.contains(fmt::format("Failed to resize window {:x} to {}x{}", id, w, h)));
        }
        EXPECT_EQ(desktop.positions.size(), 1u);
        ASSERT_TRUE(app.onWindowResizeRequest(id, 8192, 4352));
        EXPECT_EQ(desktop.positions.size(), 2u);

        // The injector's failure is the request's failure.
        desktop.setPosError = 1400;
        EXPECT_FALSE(app.onWindowResizeRequest(id, 640, 480));
        EXPECT_TRUE(log.contains("SetWindowPos failed: 1400"));
        EXPECT_TRUE(log.contains(fmt::format("Failed to resize window {:x} to 640x480", id)));

        app.shutdown();
        desktop.setPosError = 0;
        EXPECT_FALSE(app.onWindowResizeRequest(id, 800, 600));
        EXPECT_EQ(desktop.positions.size(), 3u);
    }

    TempFolder temp;
    std::filesystem::path settingsFolder;
    Ports ports;
    std::shared_ptr<RecordingPriority::Log> priorityLog = std::make_shared<RecordingPriority::Log>();
    LogCapture log;
};

}  // namespace quillane::host::test
