#include <gtest/gtest.h>

#include "capture/CaptureOrchestrator.h"
#include "capture/CaptureSource.h"
#include "Eventually.h"
#include "OrchestratorFakes.h"
#include "X11TestWindow.h"

#include <chrono>
#include <cstring>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace quillane::host::test {

namespace {

struct Frame {
    std::uint32_t width = 0, height = 0, pitch = 0;
    std::vector<std::uint8_t> bytes;
    std::chrono::steady_clock::time_point at;
};

// Copies every delivered frame so the test can look at it later.
class FrameLog {
public:
    CaptureFrameCallback callback() {
        return [this](EncoderInput frame, std::uint32_t w, std::uint32_t h) {
            Frame f;
            f.width = w, f.height = h, f.pitch = w * 4;
            f.at = std::chrono::steady_clock::now();
            f.bytes.resize(std::size_t(f.pitch) * h);
            EXPECT_EQ(frame->width, w);
            EXPECT_EQ(frame->height, h);
            for (std::uint32_t y = 0; y < h; ++y)
                std::memcpy(&f.bytes[std::size_t(y) * f.pitch], frame->data + std::size_t(y) * frame->rowPitch, f.pitch);
            std::lock_guard lock(mutex);
            frames.push_back(std::move(f));
            changed.notify_all();
        };
    }
    // Waits for a frame after index `from` that satisfies pred; returns its index or -1.
    template <class Pred> int waitFor(std::size_t from, Pred pred, std::chrono::milliseconds timeout = 3000ms) {
        std::unique_lock lock(mutex);
        const auto end = std::chrono::steady_clock::now() + timeout;
        for (std::size_t i = from;; ) {
            for (; i < frames.size(); ++i)
                if (pred(frames[i])) return static_cast<int>(i);
            if (changed.wait_until(lock, end) == std::cv_status::timeout && i == frames.size()) return -1;
        }
    }
    std::size_t count() {
        std::lock_guard lock(mutex);
        return frames.size();
    }
    Frame at(std::size_t i) {
        std::lock_guard lock(mutex);
        return frames.at(i);
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Frame> frames;
};

bool matches(const X11TestWindow& window, const Frame& f, std::uint32_t seed, std::string* why = nullptr) {
    return window.frameMatches(f.bytes.data(), f.pitch, f.width, f.height, seed, why);
}

// A frame from index `from` on shows the window's pattern for the seed; else why the last one does not.
::testing::AssertionResult shows(FrameLog& log, const X11TestWindow& window, std::uint32_t seed, std::size_t from = 0) {
    if (log.waitFor(from, [&](const Frame& f) { return matches(window, f, seed); }) >= 0)
        return ::testing::AssertionSuccess();
    std::string why = "no frames";
    if (log.count() > from) matches(window, log.at(log.count() - 1), seed, &why);
    return ::testing::AssertionFailure() << "no frame shows seed " << seed << ": last " << why;
}

// The orchestrator with these captures and fake encoders; resizing through it is covered by the
// fake captures' tests and the end-to-end stream.
class OrchestratorDesktop : public ::testing::Test {
protected:
    void SetUp() override {
        CaptureServices services = platformCaptureServices();
        const CaptureServices fakes = world.services();
        services.getAvailableEncoders = fakes.getAvailableEncoders;
        services.createBestEncoder = fakes.createBestEncoder;
        orch = std::make_unique<CaptureOrchestrator>(services);
        ASSERT_TRUE(orch->initialize());
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
    FakeWorld world;
    std::unique_ptr<CaptureOrchestrator> orch;
};

}  // namespace

// First, so that the thread of the capture destroyed from its own callback ends before the process does.
TEST(WindowCapture, StopWaitsForTheFrameInFlightAndWorksFromInsideTheCallback) {
    X11TestWindow window({.width = 128, .height = 64});
    {
        std::atomic<bool> inside{false}, finished{false};
        auto capture = createWindowCapture();
        ASSERT_TRUE(capture->initialize(window.id(), nullptr));
        ASSERT_TRUE(capture->startCapture([&](EncoderInput, std::uint32_t, std::uint32_t) {
            inside = true;
            std::this_thread::sleep_for(300ms);
            finished = true;
        }));
        ASSERT_TRUE(eventually([&] { return inside.load(); }));
        capture->stopCapture();
        EXPECT_TRUE(finished.load()) << "stopCapture returned while a frame was being delivered";
    }

    std::mutex m;
    std::atomic<int> calls{0};
    std::atomic<bool> done{false};
    auto capture = createWindowCapture();
    ASSERT_TRUE(capture->initialize(window.id(), nullptr));
    ASSERT_TRUE(capture->startCapture([&](EncoderInput, std::uint32_t, std::uint32_t) {
        ++calls;
        std::lock_guard lock(m);
        if (capture) {
            capture->stopCapture();  // must not wait for its own thread
            capture.reset();          // nor when destroyed there
        }
        done = true;
    }));
    ASSERT_TRUE(eventually([&] { return done.load(); }));
    window.draw(3);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(calls.load(), 1);
    std::lock_guard lock(m);
    EXPECT_EQ(capture, nullptr);
}

TEST(WindowCapture, FramesFollowTheWindowsPixelsSizeAndState) {
    X11TestWindow window({.width = 333, .height = 211});
    window.draw(1);
    FrameLog log, second;  // outlives the capture, whose thread writes to it
    auto capture = createWindowCapture();
    ASSERT_TRUE(capture->initialize(window.id(), nullptr));
    std::uint32_t w = 0, h = 0;
    capture->getSize(w, h);
    EXPECT_EQ(w, 333u);
    EXPECT_EQ(h, 211u);

    ASSERT_TRUE(capture->startCapture(log.callback()));
    EXPECT_TRUE(capture->isCapturing());
    EXPECT_TRUE(capture->startCapture(second.callback())) << "a second start keeps the first callback";
    // Parts that other windows of the shared desktop covered show once the window has repainted them.
    ASSERT_TRUE(shows(log, window, 1));
    for (std::uint32_t seed = 2; seed < 4; ++seed) {
        const auto before = log.count();
        window.draw(seed);
        ASSERT_TRUE(shows(log, window, seed, before));
    }
    EXPECT_EQ(second.count(), 0u);

    for (auto [rw, rh] : {std::pair{401, 203}, {160, 120}, {640, 480}}) {
        const auto before = log.count();
        window.resize(rw, rh);
        const auto seed = static_cast<std::uint32_t>(rw);
        window.draw(seed);
        ASSERT_TRUE(shows(log, window, seed, before)) << rw << "x" << rh;
        capture->getSize(w, h);
        EXPECT_EQ(w, static_cast<std::uint32_t>(rw));
        EXPECT_EQ(h, static_cast<std::uint32_t>(rh));
    }

    window.minimize();
    window.draw(12);  // drawn while minimised
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(capture->isCapturing()) << "minimising ended the capture";
    auto before = log.count();
    window.restore();
    window.draw(13);
    ASSERT_TRUE(shows(log, window, 13, before)) << "after restore";

    capture->stopCapture();
    EXPECT_FALSE(capture->isCapturing());
    before = log.count();
    window.draw(9);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(log.count(), before) << "frames after stopCapture";
}

// A window that does not change by itself: its first frame comes from the start,
// not from any change. It repaints only when exposed, which happens only when
// another window of the shared desktop covered part of it.
TEST(WindowCapture, StaticWindowGivesItsFirstFrameWithinOneSecond) {
    X11TestWindow window({.width = 300, .height = 200, .x = 1580, .y = 840, .overrideRedirect = true});
    window.raise();
    window.draw(7);
    std::this_thread::sleep_for(100ms);  // nothing changes from here on
    const int exposuresBefore = window.exposures.load();
    FrameLog log;
    auto capture = createWindowCapture();
    ASSERT_TRUE(capture->initialize(window.id(), nullptr));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(capture->startCapture(log.callback()));
    const int i = log.waitFor(0, [](const Frame&) { return true; }, 1000ms);
    ASSERT_EQ(i, 0) << "no frame within a second of the start";
    const Frame f = log.at(0);
    EXPECT_LT(f.at - start, 1000ms);
    std::this_thread::sleep_for(100ms);
    if (window.exposures.load() == exposuresBefore) {
        std::string why;
        EXPECT_TRUE(matches(window, f, 7, &why)) << why;
        EXPECT_EQ(log.count(), 1u) << "frames although the window did not change";
    } else {
        EXPECT_TRUE(shows(log, window, 7));
    }
    // Asked for, the last picture comes again at once.
    const auto frames = log.count();
    const auto asked = std::chrono::steady_clock::now();
    capture->repeatLastFrame();
    ASSERT_EQ(log.waitFor(frames, [](const Frame&) { return true; }, 1000ms), static_cast<int>(frames));
    const Frame again = log.at(frames);
    EXPECT_LT(again.at - asked, 50ms);
    std::string why;
    EXPECT_TRUE(matches(window, again, 7, &why)) << why;
}

// Drawing while covered reaches the capture too; the window on top is captured at the same time.
TEST(WindowCapture, CoveredWindowAndTheOneOnTopAtOnce) {
    X11TestWindow window({.width = 320, .height = 240, .x = 100, .y = 100});
    window.draw(3);
    int x = 0, y = 0;
    window.rootPosition(x, y);
    X11TestWindow cover({.width = 250, .height = 180, .x = x + 30, .y = y + 20, .overrideRedirect = true,
                         .solidColour = 0x123456});
    cover.raise();
    std::this_thread::sleep_for(100ms);

    FrameLog log, coverLog;
    auto capture = createWindowCapture();
    auto coverCapture = createWindowCapture();
    ASSERT_TRUE(capture->initialize(window.id(), nullptr));
    ASSERT_TRUE(coverCapture->initialize(cover.id(), nullptr));
    ASSERT_TRUE(capture->startCapture(log.callback()));
    ASSERT_TRUE(coverCapture->startCapture(coverLog.callback()));
    ASSERT_TRUE(shows(log, window, 3)) << "covered window";
    const auto before = log.count();
    window.draw(4);
    ASSERT_TRUE(shows(log, window, 4, before));
    cover.draw(0);
    EXPECT_TRUE(shows(coverLog, cover, 0));
}

TEST(WindowCapture, InvalidOrClosedWindowsAreRefusedOrEndTheCapture) {
    auto capture = createWindowCapture();
    EXPECT_FALSE(capture->initialize(0, nullptr));
    EXPECT_FALSE(capture->initialize(0x3ffffff0u, nullptr));  // no such window: BadWindow, trapped
    EXPECT_FALSE(capture->startCapture([](EncoderInput, std::uint32_t, std::uint32_t) {}));

    X11TestWindow vanishing({.width = 64, .height = 64});
    EXPECT_TRUE(capture->initialize(vanishing.id(), nullptr));
    vanishing.destroy();
    EXPECT_FALSE(capture->startCapture([](EncoderInput, std::uint32_t, std::uint32_t) {}))
        << "window gone before start";
    EXPECT_FALSE(capture->isCapturing());

    X11TestWindow closing({.width = 200, .height = 100});
    FrameLog log;
    auto running = createWindowCapture();
    ASSERT_TRUE(running->initialize(closing.id(), nullptr));
    ASSERT_TRUE(running->startCapture(log.callback()));
    ASSERT_GE(log.waitFor(0, [](const Frame&) { return true; }), 0);
    closing.destroy();
    EXPECT_TRUE(eventually([&] { return !running->isCapturing(); }))
        << "capture still running after the window closed";
    running->stopCapture();  // nothing left to stop
    EXPECT_FALSE(running->isCapturing());

    // Wider than H.264 carries: refused at the start, and ending a capture it grows into.
    X11TestWindow wide({.width = 8200, .height = 16, .overrideRedirect = true});
    auto refused = createWindowCapture();
    ASSERT_TRUE(refused->initialize(wide.id(), nullptr));
    EXPECT_FALSE(refused->startCapture([](EncoderInput, std::uint32_t, std::uint32_t) {}));
    X11TestWindow growing({.width = 64, .height = 16, .overrideRedirect = true});
    FrameLog grown;
    auto growingCapture = createWindowCapture();
    ASSERT_TRUE(growingCapture->initialize(growing.id(), nullptr));
    ASSERT_TRUE(growingCapture->startCapture(grown.callback()));
    ASSERT_GE(grown.waitFor(0, [](const Frame&) { return true; }), 0);
    growing.resize(8200, 16);
    EXPECT_TRUE(eventually([&] { return !growingCapture->isCapturing(); })) << "capture goes on at 8200x16";
    std::uint32_t w = 0, h = 0;
    growingCapture->getSize(w, h);
    EXPECT_EQ(w, 8200u);
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

}  // namespace quillane::host::test
