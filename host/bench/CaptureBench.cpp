// Window capture speed on the virtual desktop: reading a window's image through
// MIT-SHM at 1080p and 2160p (the raw grab, and damage-to-frame through
// X11WindowCapture), sharpening and padding a 1080p frame on the CPU, and the
// latency from a window's draw to its encoded frame at 1080p (median and 95th
// percentile), through the orchestrator with the software encoder.
// Needs an X display; run it in the virtual desktop:
//   scripts/virtual-desktop.sh start build/bench-desktop
//   scripts/with-desktop.sh build/bench-desktop build/linux/host/bench/bench_capture
//   scripts/virtual-desktop.sh stop build/bench-desktop

#include <benchmark/benchmark.h>
#include <spdlog/spdlog.h>

#include "capture/CaptureOrchestrator.h"
#include "capture/CasCpu.h"
#include "capture/CaptureSource.h"
#include "capture/PixelWorkers.h"
#include "X11TestWindow.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include <sys/ipc.h>
#include <sys/shm.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xcomposite.h>

namespace quillane::host {
namespace {

using Clock = std::chrono::steady_clock;
using test::X11TestWindow;

double msSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

// The capture's core step alone: name the redirected window's pixmap and read it
// into shared memory, exactly as the capture thread does per frame.
void BM_ShmGrab(benchmark::State& state) {
    const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
    X11TestWindow window({.width = w, .height = h, .x = 0, .y = 0, .overrideRedirect = true});
    Display* display = XOpenDisplay(nullptr);
    XCompositeRedirectWindow(display, window.id(), CompositeRedirectAutomatic);
    XWindowAttributes attrs;
    XGetWindowAttributes(display, window.id(), &attrs);
    XShmSegmentInfo shm{};
    XImage* image = XShmCreateImage(display, attrs.visual, attrs.depth, ZPixmap, nullptr, &shm, w, h);
    shm.shmid = shmget(IPC_PRIVATE, std::size_t(image->bytes_per_line) * h, IPC_CREAT | 0600);
    shm.shmaddr = image->data = static_cast<char*>(shmat(shm.shmid, nullptr, 0));
    XShmAttach(display, &shm);
    XSync(display, False);
    shmctl(shm.shmid, IPC_RMID, nullptr);
    window.draw(1);
    for (auto _ : state) {
        const Pixmap pixmap = XCompositeNameWindowPixmap(display, window.id());
        if (!XShmGetImage(display, pixmap, image, 0, 0, AllPlanes)) state.SkipWithError("grab failed");
        XFreePixmap(display, pixmap);
        benchmark::DoNotOptimize(image->data[0]);
    }
    state.SetBytesProcessed(state.iterations() * std::int64_t(image->bytes_per_line) * h);
    XShmDetach(display, &shm);
    XDestroyImage(image);
    shmdt(shm.shmaddr);
    XCloseDisplay(display);
}
BENCHMARK(BM_ShmGrab)->Args({1920, 1080})->Args({3840, 2160})->Unit(benchmark::kMillisecond)->UseRealTime();

// From a small change drawn in the window to its whole frame at the capture's
// callback: damage event, subtract, grab, delivery.
void BM_DamageToFrame(benchmark::State& state) {
    spdlog::set_level(spdlog::level::warn);
    const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
    X11TestWindow window({.width = w, .height = h, .x = 0, .y = 0, .overrideRedirect = true});
    auto capture = createWindowCapture();
    capture->initialize(window.id(), nullptr);
    std::mutex mutex;
    std::condition_variable arrived;
    std::uint64_t frames = 0;
    capture->startCapture([&](EncoderInput, std::uint32_t, std::uint32_t) {
        std::lock_guard lock(mutex);
        ++frames;
        arrived.notify_all();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::uint32_t colour = 0x102030;
    for (auto _ : state) {
        std::unique_lock lock(mutex);
        const auto before = frames;
        lock.unlock();
        const auto t0 = Clock::now();
        window.fillRect(10, 10, 64, 64, colour += 0x010101);
        lock.lock();
        if (!arrived.wait_for(lock, std::chrono::seconds(2), [&] { return frames > before; }))
            state.SkipWithError("no frame");
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - t0).count());
    }
    capture->stopCapture();
}
BENCHMARK(BM_DamageToFrame)->Args({1920, 1080})->Args({3840, 2160})->Unit(benchmark::kMillisecond)->UseManualTime();

std::vector<std::uint8_t> noise(std::uint32_t w, std::uint32_t h) {
    std::vector<std::uint8_t> bytes(std::size_t(w) * h * 4);
    std::mt19937 rng(1);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
    return bytes;
}

// One 1080p frame sharpened straight into the 1920 x 1088 padded buffer.
void BM_CasSharpen1080p(benchmark::State& state) {
    const auto threads = static_cast<unsigned>(state.range(0));
    const auto src = noise(1920, 1080);
    std::vector<std::uint8_t> padded(1920u * 1088u * 4);
    PixelWorkers workers(threads - 1);
    for (auto _ : state) {
        casSharpen({src.data(), 1920 * 4, 1920, 1080}, padded.data(), 1920 * 4, 0.7f, &workers);
        benchmark::DoNotOptimize(padded.data());
    }
}
BENCHMARK(BM_CasSharpen1080p)->Arg(1)->Arg(2)->Arg(4)->Unit(benchmark::kMillisecond)->UseRealTime();

// From a change drawn in a 1080p window to its encoded access unit at the
// orchestrator's callback: capture, padding to 1920 x 1088, software encoding.
void BM_DrawToEncoded1080p(benchmark::State& state) {
    spdlog::set_level(spdlog::level::warn);
    X11TestWindow window({.width = 1920, .height = 1080, .x = 0, .y = 0, .overrideRedirect = true});
    window.draw(3);
    CaptureOrchestrator orch;
    orch.initialize();
    std::mutex mutex;
    std::condition_variable arrived;
    std::uint64_t encoded = 0;
    orch.setEncodedFrameCallback([&](std::uint8_t, const std::uint8_t*, std::uint64_t, bool) {
        std::lock_guard lock(mutex);
        ++encoded;
        arrived.notify_all();
    });
    if (!orch.startCapture(window.id(), 1)) {
        state.SkipWithError("capture did not start");
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::vector<double> latencies;
    std::uint32_t colour = 0x204060;
    int step = 0;
    for (auto _ : state) {
        std::unique_lock lock(mutex);
        const auto before = encoded;
        lock.unlock();
        const auto t0 = Clock::now();
        window.fillRect(40 + (step % 100) * 16, 40 + (step / 100 % 50) * 16, 128, 128, colour += 0x030201);
        ++step;
        lock.lock();
        if (!arrived.wait_for(lock, std::chrono::seconds(2), [&] { return encoded > before; })) {
            state.SkipWithError("no encoded frame");
            break;
        }
        const double ms = msSince(t0);
        latencies.push_back(ms);
        state.SetIterationTime(ms / 1e3);
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(14));  // about one 72 fps frame apart
    }
    orch.shutdown();
    if (!latencies.empty()) {
        std::sort(latencies.begin(), latencies.end());
        state.counters["median_ms"] = latencies[latencies.size() / 2];
        state.counters["p95_ms"] = latencies[std::min(latencies.size() - 1, latencies.size() * 95 / 100)];
    }
}
BENCHMARK(BM_DrawToEncoded1080p)->Iterations(300)->Unit(benchmark::kMillisecond)->UseManualTime();

}  // namespace
}  // namespace quillane::host

BENCHMARK_MAIN();
