#include "OrchestratorFakes.h"

#include "capture/CaptureOrchestrator.h"

#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include <chrono>
#include <random>
#include <thread>

using namespace std::chrono_literals;

namespace quillane::host::test {

// Threads start, stop, resize and close streams while captures deliver on their own threads, the
// main loop updates and callbacks re-enter the orchestrator: no encoder is used after its shutdown.
TEST(CaptureOrchestratorStress, StartStopResizeCloseFromSeveralThreads) {
    spdlog::set_level(spdlog::level::critical);  // thousands of starts and stops
    FakeWorld world;
    world.keepFrames = false;
    world.autoRunPeriod = 200us;
    CaptureOrchestrator orch(world.services());
    ASSERT_TRUE(orch.initialize());
    orch.setEncodedFrameCallback([&](std::uint8_t id, const std::uint8_t*, std::uint64_t, bool key) {
        if (key) (void)orch.getParameterSets(id);
        std::uint32_t w, h;
        orch.getStreamResolution(id, w, h);
    });
    orch.setResolutionChangedCallback([&](std::uint8_t id, std::uint32_t, std::uint32_t) { orch.requestKeyframe(id); });

    constexpr std::uint32_t windowCount = 6;
    constexpr std::uint8_t streamCount = 5;
    for (std::uint32_t i = 0; i < windowCount; ++i) world.addWindow(0x1000 + i, 64 + 8 * i, 48);

    std::atomic<bool> stop{false};
    std::atomic<int> starts{0};
    const auto deadline = std::chrono::steady_clock::now() + 3s;

    auto actor = [&](unsigned seed) {
        std::mt19937 rng(seed);
        while (!stop.load()) {
            const std::uint32_t window = 0x1000 + rng() % windowCount;
            const auto stream = static_cast<std::uint8_t>(1 + rng() % streamCount);
            switch (rng() % 6) {
            case 0:
            case 1:
                if (orch.startCapture(window, stream)) ++starts;
                break;
            case 2: orch.stopCapture(stream); break;
            case 3: {
                std::lock_guard lock(world.mutex);
                if (world.windows.count(window)) world.windows[window] = {16 + rng() % 120, 16 + rng() % 90};
                break;
            }
            case 4:
                if (rng() % 4 == 0) {
                    world.removeWindow(window);
                    std::this_thread::sleep_for(2ms);
                    world.addWindow(window, 64, 48);  // a new window with the same id
                }
                break;
            default:
                orch.setStreamBitrate(stream, 1000 + rng() % 1000, 3000);
                orch.setSharpeningEnabled(rng() % 2);
                orch.setSharpness((rng() % 100) / 100.0f);
                break;
            }
        }
    };

    std::vector<std::thread> actors;
    for (unsigned i = 0; i < 4; ++i) actors.emplace_back(actor, 100 + i);
    std::thread mainLoop([&] {
        while (!stop.load()) {
            orch.update();
            std::this_thread::sleep_for(1ms);
        }
    });
    while (std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
    stop = true;
    for (auto& t : actors) t.join();
    mainLoop.join();
    orch.shutdown();

    EXPECT_GT(starts.load(), 10);
    EXPECT_EQ(world.liveCaptures.load(), 0);
    EXPECT_EQ(world.liveEncoders.load(), 0);
    int encodedFrames = 0;
    for (std::size_t i = 0; i < world.encoderCount(); ++i) {
        auto enc = world.encoder(i);
        EXPECT_FALSE(enc->misuse.load()) << "encoder " << i << " used after shutdown";
        EXPECT_FALSE(enc->wrongSize.load()) << "encoder " << i << " got a frame of another size";
        EXPECT_TRUE(enc->destroyed.load());
        encodedFrames += enc->frames.load();
    }
    EXPECT_GT(encodedFrames, 100);
}

}  // namespace quillane::host::test
