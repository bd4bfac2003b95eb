#include <gtest/gtest.h>

#include "Eventually.h"
#include "WindowCapture.h"
#include "X11TestWindow.h"

#include <chrono>
#include <cstring>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace quillane::host;
using quillane::host::test::eventually;
using quillane::host::test::X11TestWindow;
using namespace std::chrono_literals;

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

auto showing(const X11TestWindow& window, std::uint32_t seed) {
    return [&window, seed](const Frame& f) {
        return window.frameMatches(f.bytes.data(), f.pitch, f.width, f.height, seed);
    };
}

std::string describe(const X11TestWindow& window, const Frame& f, std::uint32_t seed) {
    std::string why;
    window.frameMatches(f.bytes.data(), f.pitch, f.width, f.height, seed, &why);
    return why;
}

}  // namespace

// First, so that the thread of the capture destroyed from its own callback ends before the process does.
TEST(WindowCapture, StopWaitsForTheFrameInFlightAndWorksFromInsideTheCallback) {
    X11TestWindow window({.width = 128, .height = 64});
    {
        std::atomic<bool> inside{false}, finished{false};
        WindowCapture capture;
        ASSERT_TRUE(capture.initialize(window.id(), nullptr));
        ASSERT_TRUE(capture.startCapture([&](EncoderInput, std::uint32_t, std::uint32_t) {
            inside = true;
            std::this_thread::sleep_for(300ms);
            finished = true;
        }));
        ASSERT_TRUE(eventually([&] { return inside.load(); }));
        capture.stopCapture();
        EXPECT_TRUE(finished.load()) << "stopCapture returned while a frame was being delivered";
    }

    std::mutex m;
    std::atomic<int> calls{0};
    std::atomic<bool> done{false};
    auto capture = std::make_unique<WindowCapture>();
    ASSERT_TRUE(capture->initialize(window.id(), nullptr));
    ASSERT_TRUE(capture->startCapture([&](EncoderInput, std::uint32_t, std::uint32_t) {
        ++calls;
        std::lock_guard lock(m);
        if (capture) {
            capture->stopCapture();  // must not wait for its own thread
            capture.reset();         // nor when destroyed there
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
    WindowCapture capture;
    ASSERT_TRUE(capture.initialize(window.id(), nullptr));
    std::uint32_t w = 0, h = 0;
    capture.getSize(w, h);
    EXPECT_EQ(w, 333u);
    EXPECT_EQ(h, 211u);

    ASSERT_TRUE(capture.startCapture(log.callback()));
    EXPECT_TRUE(capture.isCapturing());
    EXPECT_TRUE(capture.startCapture(second.callback())) << "a second start keeps the first callback";
    // Parts that other windows of the shared desktop covered show once the window has repainted them.
    ASSERT_GE(log.waitFor(0, showing(window, 1)), 0) << describe(window, log.at(0), 1);
    for (std::uint32_t seed = 2; seed < 4; ++seed) {
        const auto before = log.count();
        window.draw(seed);
        ASSERT_GE(log.waitFor(before, showing(window, seed)), 0)
            << "no frame showing seed " << seed << ": last was " << describe(window, log.at(log.count() - 1), seed);
    }
    EXPECT_EQ(second.count(), 0u);

    for (auto [rw, rh] : {std::pair{401, 203}, {160, 120}, {640, 480}}) {
        const auto before = log.count();
        window.resize(rw, rh);
        const auto seed = static_cast<std::uint32_t>(rw);
        window.draw(seed);
        ASSERT_GE(log.waitFor(before, showing(window, seed)), 0)
            << "no " << rw << "x" << rh << " frame: last " << describe(window, log.at(log.count() - 1), seed);
        capture.getSize(w, h);
        EXPECT_EQ(w, static_cast<std::uint32_t>(rw));
        EXPECT_EQ(h, static_cast<std::uint32_t>(rh));
    }

    window.minimize();
    window.draw(12);  // drawn while minimised
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(capture.isCapturing()) << "minimising ended the capture";
    auto before = log.count();
    window.restore();
    window.draw(13);
    ASSERT_GE(log.waitFor(before, showing(window, 13)), 0) << "no frames after restore";

    capture.stopCapture();
    EXPECT_FALSE(capture.isCapturing());
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
    WindowCapture capture;
    ASSERT_TRUE(capture.initialize(window.id(), nullptr));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(capture.startCapture(log.callback()));
    const int i = log.waitFor(0, [](const Frame&) { return true; }, 1000ms);
    ASSERT_EQ(i, 0) << "no frame within a second of the start";
    const Frame f = log.at(0);
    EXPECT_LT(f.at - start, 1000ms);
    std::this_thread::sleep_for(100ms);
    if (window.exposures.load() == exposuresBefore) {
        EXPECT_TRUE(showing(window, 7)(f)) << describe(window, f, 7);
        EXPECT_EQ(log.count(), 1u) << "frames although the window did not change";
    } else {
        EXPECT_GE(log.waitFor(0, showing(window, 7)), 0);
    }
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
    WindowCapture capture, coverCapture;
    ASSERT_TRUE(capture.initialize(window.id(), nullptr));
    ASSERT_TRUE(coverCapture.initialize(cover.id(), nullptr));
    ASSERT_TRUE(capture.startCapture(log.callback()));
    ASSERT_TRUE(coverCapture.startCapture(coverLog.callback()));
    ASSERT_GE(log.waitFor(0, showing(window, 3)), 0)
        << "covered window never captured correctly: " << describe(window, log.at(log.count() - 1), 3);
    const auto before = log.count();
    window.draw(4);
    ASSERT_GE(log.waitFor(before, showing(window, 4)), 0);
    cover.draw(0);
    EXPECT_GE(coverLog.waitFor(0, showing(cover, 0)), 0);
}

TEST(WindowCapture, InvalidOrClosedWindowsAreRefusedOrEndTheCapture) {
    WindowCapture capture;
    EXPECT_FALSE(capture.initialize(0, nullptr));
    EXPECT_FALSE(capture.initialize(0x3ffffff0u, nullptr));  // no such window: BadWindow, trapped
    EXPECT_FALSE(capture.startCapture([](EncoderInput, std::uint32_t, std::uint32_t) {}));

    X11TestWindow vanishing({.width = 64, .height = 64});
    EXPECT_TRUE(capture.initialize(vanishing.id(), nullptr));
    vanishing.destroy();
    EXPECT_FALSE(capture.startCapture([](EncoderInput, std::uint32_t, std::uint32_t) {})) << "window gone before start";
    EXPECT_FALSE(capture.isCapturing());

    X11TestWindow closing({.width = 200, .height = 100});
    FrameLog log;
    WindowCapture running;
    ASSERT_TRUE(running.initialize(closing.id(), nullptr));
    ASSERT_TRUE(running.startCapture(log.callback()));
    ASSERT_GE(log.waitFor(0, [](const Frame&) { return true; }), 0);
    closing.destroy();
    EXPECT_TRUE(eventually([&] { return !running.isCapturing(); })) << "capture still running after the window closed";
    running.stopCapture();  // nothing left to stop
    EXPECT_FALSE(running.isCapturing());
}
