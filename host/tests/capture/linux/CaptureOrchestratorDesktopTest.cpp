// The orchestrator with real window captures of the virtual desktop and fake encoders.
#include <gtest/gtest.h>

#include "Eventually.h"
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

    // Whether the newest encoder has received a frame showing the window's pattern in the
    // top-left w x h and opaque black elsewhere; on failure, what it received.
    ::testing::AssertionResult showsPadded(std::uint32_t seed, std::uint32_t w, std::uint32_t h,
                                           std::chrono::milliseconds timeout = 3000ms) {
        std::string seen;
        const bool found = eventually(
            [&] {
                auto enc = world.encoder(world.encoderCount() - 1);
                if (!enc) return false;
                seen.clear();
                for (const auto& f : enc->receivedFrames()) {
                    const std::string why = padDifference(f, seed, w, h);
                    if (why.empty()) return true;
                    seen += "; " + why;
                }
                return false;
            },
            timeout);
        if (found) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "no frame shows seed " << seed << " at " << w << "x" << h << seen;
    }
    static std::string padDifference(const ReceivedFrame& f, std::uint32_t seed, std::uint32_t w, std::uint32_t h) {
        if (f.width != ((w + 15) & ~15u) || f.height != ((h + 15) & ~15u))
            return std::to_string(f.width) + "x" + std::to_string(f.height);
        for (std::uint32_t y = 0; y < f.height; ++y)
            for (std::uint32_t x = 0; x < f.width; ++x) {
                const bool inside = x < w && y < h;
                const std::uint32_t want = inside ? X11TestWindow::patternPixel(int(x), int(y), seed) : 0;
                const std::uint32_t got = f.at(x, y, 0) | (f.at(x, y, 1) << 8) | (f.at(x, y, 2) << 16);
                if (got != want || (!inside && f.at(x, y, 3) != 255)) {
                    char text[64];
                    std::snprintf(text, sizeof text, "%u,%u is %06x", x, y, got);
                    return text;
                }
            }
        return {};
    }
    std::size_t changeCount() {
        std::lock_guard lock(mutex);
        return changes.size();
    }

    FakeWorld world;
    std::unique_ptr<CaptureOrchestrator> orch;
    std::mutex mutex;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> changes;
};

}  // namespace

TEST_F(OrchestratorDesktop, ResizingRecreatesTheEncoderOnlyWhenThePaddedSizeChanges) {
    X11TestWindow window({.width = 1007, .height = 700});
    window.draw(1);
    ASSERT_TRUE(orch->startCapture(window.id(), 7));
    ASSERT_EQ(world.encoderCount(), 1u);
    EXPECT_EQ(world.encoder(0)->config.width, 1008u);
    EXPECT_EQ(world.encoder(0)->config.height, 704u);
    ASSERT_TRUE(showsPadded(1, 1007, 700));

    // Within 1008 x 704 the encoder stays, unnotified, and a shrink leaves a black border.
    window.resize(1000, 690);
    window.draw(2);
    ASSERT_TRUE(showsPadded(2, 1000, 690)) << "the border after the shrink is not black";
    window.resize(1001, 700);
    window.draw(3);
    ASSERT_TRUE(showsPadded(3, 1001, 700));
    EXPECT_EQ(world.encoderCount(), 1u);
    EXPECT_EQ(changeCount(), 0u);

    // 1020 wide: a 1024 x 704 encoder and one notification.
    window.resize(1020, 700);
    window.draw(4);
    ASSERT_TRUE(showsPadded(4, 1020, 700));
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
    EXPECT_EQ(std::make_pair(w, h), std::make_pair(1020u, 700u));
}

TEST_F(OrchestratorDesktop, MinimiseAndRestoreKeepTheStreamAndClosingDropsIt) {
    auto window = std::make_unique<X11TestWindow>(X11TestWindow::Options{.width = 640, .height = 360});
    window->draw(6);
    ASSERT_TRUE(orch->startCapture(window->id(), 2));
    ASSERT_TRUE(showsPadded(6, 640, 360));
    window->minimize();
    for (int i = 0; i < 10; ++i) {
        EXPECT_TRUE(orch->update().empty()) << "stream dropped while minimised";
        std::this_thread::sleep_for(20ms);
    }
    window->restore();
    window->draw(8);
    ASSERT_TRUE(showsPadded(8, 640, 360)) << "no frames after restore";
    EXPECT_TRUE(orch->update().empty());
    EXPECT_EQ(world.encoderCount(), 1u);

    window->destroy();
    std::vector<std::uint8_t> dropped;
    EXPECT_TRUE(eventually([&] { return !(dropped = orch->update()).empty(); }, 3000ms));
    EXPECT_EQ(dropped, std::vector<std::uint8_t>{2});
    std::uint32_t w = 0, h = 0;
    EXPECT_FALSE(orch->getStreamResolution(2, w, h));
    EXPECT_EQ(world.liveEncoders.load(), 0);
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
    ASSERT_TRUE(eventually(
        [&] {
            const auto enc = world.encoder(0);
            return enc != nullptr && !enc->receivedFrames().empty();
        },
        1000ms));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);
    EXPECT_TRUE(showsPadded(11, 500, 300));
}
