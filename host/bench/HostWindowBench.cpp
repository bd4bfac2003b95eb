// What the host window costs: the host binary streams one 1920 x 1080 window
// repainting at 72 fps to a local client while its own window shows the
// dashboard, then while it is minimised; then, with no stream, it idles with
// the window shown. Reports host CPU per streamed frame in both states, the
// visible window's share of it, and the idle host's share of one core.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "E2eHost.h"
#include "E2eMedia.h"
#include "SignalingTestClient.h"

// Last: its macros clash with the test client's headers.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kMeasure = 15s;

struct Phase {
    double cpuMsPerFrame = 0;
    double fps = 0;
};

// Host CPU per frame of `streamId` received over `kMeasure`, after a settling second.
Phase measureStream(quillane::host::test::PipedChildProcess& host, quillane::host::test::VideoReceiver& video, std::uint8_t streamId) {
    std::this_thread::sleep_for(1s);
    video.clear();
    const double cpu0 = host.cpuSeconds();
    const auto t0 = Clock::now();
    std::size_t frames = 0;
    while (Clock::now() - t0 < kMeasure) {
        auto p = video.next(200ms);
        if (p && p->streamId() == streamId) ++frames;
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
    const double cpu = host.cpuSeconds() - cpu0;
    return {frames ? cpu * 1000.0 / static_cast<double>(frames) : 0, static_cast<double>(frames) / elapsed};
}

// The host's top-level window, found by its process id.
Window findWindowOf(Display* d, pid_t pid) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        Atom type;
        int format = 0;
        unsigned long count = 0, rest = 0;
        unsigned char* data = nullptr;
        XGetWindowProperty(d, DefaultRootWindow(d), XInternAtom(d, "_NET_CLIENT_LIST", False), 0, 1024, False,
                           XA_WINDOW, &type, &format, &count, &rest, &data);
        auto* windows = reinterpret_cast<Window*>(data);
        for (unsigned long i = 0; windows && i < count; ++i) {
            unsigned char* pidData = nullptr;
            unsigned long n = 0;
            XGetWindowProperty(d, windows[i], XInternAtom(d, "_NET_WM_PID", False), 0, 1, False, XA_CARDINAL, &type,
                               &format, &n, &rest, &pidData);
            const bool match = pidData && n == 1 && static_cast<pid_t>(*reinterpret_cast<unsigned long*>(pidData)) == pid;
            if (pidData) XFree(pidData);
            if (match) {
                const Window found = windows[i];
                XFree(data);
                return found;
            }
        }
        if (data) XFree(data);
        std::this_thread::sleep_for(100ms);
    }
    return 0;
}

void BM_HostWindowCost(benchmark::State& state) {
    for (auto _ : state) {
        Display* display = XOpenDisplay(nullptr);
        quillane::host::test::TestWindowProcess painter("bench-painter", 1920, 1080, 72);
        quillane::host::test::HostUnderTest host;
        if (!display || !painter.ok() || !host.start()) {
            state.SkipWithError("desktop, painter or host did not start");
            return;
        }
        const Window window = findWindowOf(display, host.process()->pid());
        quillane::host::test::VideoReceiver video(host.ports().video);
        quillane::host::test::SignalingClient client;
        if (!window || !video.connected() || !client.connect(host.ports().signaling) ||
            !client.request({{"type", "hello"}}, "welcome")) {
            state.SkipWithError("cannot connect");
            return;
        }
        // Beside the painted window, not over it.
        XMoveWindow(display, window, 1940, 0);
        XRaiseWindow(display, window);
        XSync(display, False);
        auto started = client.request({{"type", "stream_subscribe"}, {"windowId", painter.windowId()}},
                                      "stream_started", 10s);
        if (!started) {
            state.SkipWithError("stream did not start");
            return;
        }
        const auto streamId = (*started)["streamId"].get<std::uint8_t>();
        const Phase visible = measureStream(*host.process(), video, streamId);

        XIconifyWindow(display, window, DefaultScreen(display));
        XSync(display, False);
        const Phase minimised = measureStream(*host.process(), video, streamId);

        client.request({{"type", "stream_unsubscribe"}, {"streamId", streamId}}, "stream_stopped", 10s);
        XMapRaised(display, window);
        XSync(display, False);
        std::this_thread::sleep_for(2s);
        const double cpu0 = host.process()->cpuSeconds();
        std::this_thread::sleep_for(kMeasure);
        const double idle = (host.process()->cpuSeconds() - cpu0) / std::chrono::duration<double>(kMeasure).count();

        state.SetIterationTime(3 * std::chrono::duration<double>(kMeasure).count());
        state.counters["visible_cpu_ms_per_frame"] = visible.cpuMsPerFrame;
        state.counters["minimised_cpu_ms_per_frame"] = minimised.cpuMsPerFrame;
        state.counters["visible_ui_overhead_pct"] =
            minimised.cpuMsPerFrame > 0 ? 100.0 * (visible.cpuMsPerFrame / minimised.cpuMsPerFrame - 1.0) : 0;
        state.counters["visible_fps"] = visible.fps;
        state.counters["minimised_fps"] = minimised.fps;
        state.counters["idle_visible_core_pct"] = 100.0 * idle;
        XCloseDisplay(display);
    }
}
BENCHMARK(BM_HostWindowCost)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
