// The orchestrator with real window captures of the virtual desktop and fake
// encoders that keep what they receive.
#include <gtest/gtest.h>

#include "OrchestratorFakes.h"
#include "X11TestWindow.h"
#include "capture/CaptureOrchestrator.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

using namespace quillane::host;
using namespace quillane::host::test;
using namespace std::chrono_literals;

namespace {

class OrchestratorDesktop : public ::testing::Test {
protected:
    void SetUp() override {
        CaptureServices services = platformCaptureServices();
        const CaptureServices fakes = world.services();
        services.getAvailableEncoders = fakes.getAvailableEncoders;
        services.createBestEncoder = fakes.createBestEncoder;
        orch = std::make_unique<CaptureOrchestrator>(services);
        ASSERT_TRUE(orch->initialize());
        orch->setResolutionChangedCallback([this](std::uint8_t, std::uint32_t w, std::uint32_t h) {
            std::lock_guard lock(mutex);
            changes.emplace_back(w, h);
        });
    }
    void TearDown() override { orch->shutdown(); }

    // Waits until the newest encoder has received a frame satisfying pred.
    template <class Pred> bool waitForFrame(Pred pred, std::chrono::milliseconds timeout = 3000ms) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < end) {
            if (auto enc = world.encoder(world.encoderCount() - 1)) {
                for (const auto& f : enc->receivedFrames())
                    if (pred(f)) return true;
            }
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }
    std::size_t changeCount() {
        std::lock_guard lock(mutex);
        return changes.size();
    }

    // The window's pattern in the top-left w x h, opaque black elsewhere.
    static bool showsPadded(const ReceivedFrame& f, const X11TestWindow& window, std::uint32_t seed, int w, int h) {
        if (f.width != ((static_cast<std::uint32_t>(w) + 15) & ~15u) ||
            f.height != ((static_cast<std::uint32_t>(h) + 15) & ~15u))
            return false;
        for (std::uint32_t y = 0; y < f.height; ++y)
            for (std::uint32_t x = 0; x < f.width; ++x) {
                const bool inside = x < static_cast<std::uint32_t>(w) && y < static_cast<std::uint32_t>(h);
                const std::uint32_t want = inside ? X11TestWindow::patternPixel(int(x), int(y), seed) : 0;
                const std::uint32_t got = f.at(x, y, 0) | (f.at(x, y, 1) << 8) | (f.at(x, y, 2) << 16);
                if (got != want || (!inside && f.at(x, y, 3) != 255)) return false;
            }
        (void)window;
        return true;
    }

    // What the newest encoder received, for failure messages.
    std::string describeFrames(const X11TestWindow& window, std::uint32_t seed, int w, int h) {
        auto enc = world.encoder(world.encoderCount() - 1);
        if (!enc) return "no encoder";
        const auto frames = enc->receivedFrames();
        std::string text = std::to_string(frames.size()) + " frames";
        for (const auto& f : frames) {
            text += "; " + std::to_string(f.width) + "x" + std::to_string(f.height);
            for (std::uint32_t y = 0; y < f.height && y < static_cast<std::uint32_t>(h); ++y)
                for (std::uint32_t x = 0; x < f.width && x < static_cast<std::uint32_t>(w); ++x) {
                    const std::uint32_t got = f.at(x, y, 0) | (f.at(x, y, 1) << 8) | (f.at(x, y, 2) << 16);
                    if (got != X11TestWindow::patternPixel(int(x), int(y), seed)) {
                        char b[80];
                        std::snprintf(b, sizeof b, " first difference at %u,%u: %06x", x, y, got);
                        text += b;
                        y = f.height;
                        break;
                    }
                }
        }
        (void)window;
        return text;
    }

    FakeWorld world;
    std::unique_ptr<CaptureOrchestrator> orch;
    std::mutex mutex;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> changes;
};

}  // namespace

TEST_F(OrchestratorDesktop, ResizingRecreatesTheEncoderOnlyWhenThePaddedSizeChanges) {
    X11TestWindow window({.width = 1000, .height = 700});
    window.draw(1);
    ASSERT_TRUE(orch->startCapture(window.id(), 7));
    ASSERT_EQ(world.encoderCount(), 1u);
    EXPECT_EQ(world.encoder(0)->config.width, 1008u);
    EXPECT_EQ(world.encoder(0)->config.height, 704u);
    ASSERT_TRUE(waitForFrame([&](const ReceivedFrame& f) { return showsPadded(f, window, 1, 1000, 700); }))
        << "no padded frame showing the window";

    // 1000 -> 1001 wide: same 1008 x 704 encoder, no notification.
    window.resize(1001, 700);
    window.draw(2);
    ASSERT_TRUE(waitForFrame([&](const ReceivedFrame& f) { return showsPadded(f, window, 2, 1001, 700); }));
    EXPECT_EQ(world.encoderCount(), 1u);
    EXPECT_EQ(changeCount(), 0u);

    // 1001 -> 1020 wide: a 1024 x 704 encoder and one notification.
    window.resize(1020, 700);
    window.draw(3);
    ASSERT_TRUE(waitForFrame([&](const ReceivedFrame& f) { return showsPadded(f, window, 3, 1020, 700); }));
    EXPECT_EQ(world.encoderCount(), 2u);
    EXPECT_EQ(world.encoder(1)->config.width, 1024u);
    ASSERT_EQ(changeCount(), 1u);
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(changes[0], std::make_pair(1020u, 700u));
    }
    EXPECT_FALSE(world.encoder(1)->wrongSize.load());
    std::uint32_t w = 0, h = 0;
    ASSERT_TRUE(orch->getStreamResolution(7, w, h));
    EXPECT_EQ(w, 1020u);
    EXPECT_EQ(h, 700u);
}

TEST_F(OrchestratorDesktop, ShrinkWithinThePaddedSizeLeavesABlackBorder) {
    X11TestWindow window({.width = 1007, .height = 700});
    window.draw(4);
    ASSERT_TRUE(orch->startCapture(window.id(), 1));
    ASSERT_TRUE(waitForFrame([&](const ReceivedFrame& f) { return showsPadded(f, window, 4, 1007, 700); }));
    window.resize(1000, 690);
    window.draw(5);
    ASSERT_TRUE(waitForFrame([&](const ReceivedFrame& f) { return showsPadded(f, window, 5, 1000, 690); }))
        << "the border after the shrink is not black";
    EXPECT_EQ(world.encoderCount(), 1u);
}

TEST_F(OrchestratorDesktop, ClosingTheWindowDropsTheSessionOnTheNextUpdate) {
    auto window = std::make_unique<X11TestWindow>(X11TestWindow::Options{.width = 320, .height = 240});
    ASSERT_TRUE(orch->startCapture(window->id(), 9));
    ASSERT_TRUE(waitForFrame([](const ReceivedFrame&) { return true; }));
    EXPECT_TRUE(orch->update().empty());
    window->destroy();
    std::vector<std::uint8_t> dropped;
    const auto end = std::chrono::steady_clock::now() + 3s;
    while (dropped.empty() && std::chrono::steady_clock::now() < end) {
        dropped = orch->update();
        std::this_thread::sleep_for(16ms);  // one main-loop turn
    }
    EXPECT_EQ(dropped, std::vector<std::uint8_t>{9});
    std::uint32_t w = 0, h = 0;
    EXPECT_FALSE(orch->getStreamResolution(9, w, h));
    EXPECT_EQ(world.liveEncoders.load(), 0);
}

TEST_F(OrchestratorDesktop, MinimiseAndRestoreKeepTheStream) {
    X11TestWindow window({.width = 640, .height = 360});
    window.draw(6);
    ASSERT_TRUE(orch->startCapture(window.id(), 2));
    ASSERT_TRUE(waitForFrame([&](const ReceivedFrame& f) { return showsPadded(f, window, 6, 640, 360); }));
    window.minimize();
    for (int i = 0; i < 10; ++i) {
        EXPECT_TRUE(orch->update().empty()) << "stream dropped while minimised";
        std::this_thread::sleep_for(20ms);
    }
    window.restore();
    window.draw(8);
    ASSERT_TRUE(waitForFrame([&](const ReceivedFrame& f) { return showsPadded(f, window, 8, 640, 360); }))
        << "no frames after restore";
    EXPECT_TRUE(orch->update().empty());
    EXPECT_EQ(world.encoderCount(), 1u);
}

// A window that does not change by itself (it repaints only when another window
// of the shared desktop exposes part of it) is encoded right after the start.
TEST_F(OrchestratorDesktop, StaticWindowIsEncodedRightAfterTheStart) {
    X11TestWindow window({.width = 500, .height = 300, .x = 1380, .y = 60, .overrideRedirect = true});
    window.raise();
    window.draw(11);
    std::this_thread::sleep_for(100ms);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(orch->startCapture(window.id(), 3));
    ASSERT_TRUE(waitForFrame([](const ReceivedFrame&) { return true; }, 1000ms));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);
    ASSERT_TRUE(waitForFrame([&](const ReceivedFrame& f) { return showsPadded(f, window, 11, 500, 300); }))
        << describeFrames(window, 11, 500, 300);
}
