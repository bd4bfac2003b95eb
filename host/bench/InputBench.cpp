// Latency of the input road on X: a move record written to the input connection's socket, through
// the input thread's queue, the router and the injector, until the target window receives its
// MotionNotify. Run inside a virtual desktop (see README).
//   InputLatency: one record at a time, 1000 of them; median and 99th percentile.
//   InputSteadyStream: 5000 moves sent at 1000 a second; latency of the last (no backlog builds up).
#include "input/FocusManager.h"
#include "input/InputInjector.h"
#include "input/InputRouter.h"
#include "input/InputThread.h"
#include "network/TcpInputServer.h"

#include <X11/Xlib.h>
#include <benchmark/benchmark.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using namespace quillane::host;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace asio = boost::asio;

// An unmanaged window on its own connection that time-stamps each pointer motion it receives.
class MotionWindow {
public:
    MotionWindow() {
        display = XOpenDisplay(nullptr);
        if (display == nullptr) return;
        XSetWindowAttributes attributes{};
        attributes.override_redirect = True;
        attributes.event_mask = PointerMotionMask | StructureNotifyMask;
        window = XCreateWindow(display, DefaultRootWindow(display), 50, 50, 640, 480, 0, CopyFromParent, InputOutput,
                               CopyFromParent, CWOverrideRedirect | CWEventMask, &attributes);
        XMapRaised(display, window);
        XSync(display, False);
        thread = std::thread([this] { loop(); });
        std::this_thread::sleep_for(200ms);
    }
    ~MotionWindow() {
        if (display == nullptr) return;
        stopping = true;
        XDestroyWindow(display, window);  // wakes the loop with a DestroyNotify
        XFlush(display);
        thread.join();
        XCloseDisplay(display);
    }
    bool ok() const { return display != nullptr; }
    std::uint64_t id() const { return window; }

    // Waits for the motion that reaches (x, y) in window coordinates; its arrival time.
    std::optional<Clock::time_point> waitFor(int x, int y, std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex);
        if (!changed.wait_for(lock, timeout, [&] { return lastX == x && lastY == y; })) return std::nullopt;
        return lastTime;
    }

private:
    void loop() {
        while (!stopping) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type == DestroyNotify) break;
            if (event.type != MotionNotify) continue;
            const auto now = Clock::now();
            {
                std::lock_guard lock(mutex);
                lastX = event.xmotion.x;
                lastY = event.xmotion.y;
                lastTime = now;
            }
            changed.notify_all();
        }
    }

    Display* display = nullptr;
    Window window = 0;
    std::thread thread;
    std::atomic<bool> stopping{false};
    std::mutex mutex;
    std::condition_variable changed;
    int lastX = -1, lastY = -1;
    Clock::time_point lastTime;
};

// The input thread, router and injector behind an input server, as the application wires the input
// road, and a client; stream 1 shows the window under test.
struct InputPath {
    InputPath() {
        injector->initialize(InputInjectorConfig{});
        focus->initialize(FocusManagerConfig{10, 10, false});
        server.setInputEventCallback([this](const InputEvent& e) {
            thread.postRecord(InputRoad::Input, e.streamId,
                              InputPacket{e.deviceType, e.action, e.x, e.y, e.code, e.modifiers, e.wheelDelta});
        });
        server.setInputRoomCallback(
            [this](std::function<void()> resume) { return thread.roomOrCallBack(std::move(resume)); });
        started = thread.start() && server.start();
        if (!started) return;
        socket.connect({asio::ip::make_address("127.0.0.1"), server.port()});
        socket.set_option(asio::ip::tcp::no_delay(true));
    }
    void sendMove(std::uint16_t x, std::uint16_t y) {
        InputEvent e;
        e.streamId = 1;
        e.deviceType = 1;
        e.action = 1;
        e.x = x;
        e.y = y;
        std::array<std::uint8_t, 16> bytes{};
        const std::uint32_t length = sizeof(InputEvent);
        std::memcpy(bytes.data(), &length, 4);
        std::memcpy(bytes.data() + 4, &e, sizeof(e));
        asio::write(socket, asio::buffer(bytes));
    }

    std::shared_ptr<InputPlatform> platform = createInputPlatform();
    std::shared_ptr<InputInjector> injector = std::make_shared<InputInjector>(platform);
    std::shared_ptr<FocusManager> focus = std::make_shared<FocusManager>(platform);
    std::atomic<NativeWindow> streamWindow{0};
    std::shared_ptr<InputRouter> router = std::make_shared<InputRouter>(
        platform, injector, focus, [this](std::uint8_t id) { return id == 1 ? streamWindow.load() : NativeWindow{0}; });
    InputThread thread{router};
    TcpInputServer server{0};
    asio::io_context io;
    asio::ip::tcp::socket socket{io};
    bool started = false;
};

// Window-relative units that land on pixel (px, py) of a 640 x 480 window.
std::pair<std::uint16_t, std::uint16_t> unitsFor(int px, int py) {
    return {static_cast<std::uint16_t>((px * 65535 + 320) / 640), static_cast<std::uint16_t>((py * 65535 + 240) / 480)};
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

// The window and the road aimed at it; false (the benchmark skipped) when either is missing.
bool ready(benchmark::State& state, MotionWindow& window, InputPath& road) {
    if (!window.ok() || !road.started) {
        state.SkipWithError("no X display or no input server");
        return false;
    }
    road.streamWindow = window.id();
    return true;
}

void InputLatency(benchmark::State& state) {
    MotionWindow window;
    InputPath road;
    if (!ready(state, window, road)) return;
    std::vector<double> micros;
    for (auto _ : state) {
        micros.clear();
        for (int i = 0; i < 1000; ++i) {
            const int px = 100 + (i % 2) * 300 + (i % 7);
            const int py = 80 + (i % 3) * 100;
            const auto [x, y] = unitsFor(px, py);
            const auto sent = Clock::now();
            road.sendMove(x, y);
            const auto arrived = window.waitFor(px, py, 2s);
            if (!arrived) {
                state.SkipWithError("a move did not arrive");
                return;
            }
            micros.push_back(std::chrono::duration<double, std::micro>(*arrived - sent).count());
        }
    }
    state.counters["median_us"] = percentile(micros, 0.5);
    state.counters["p99_us"] = percentile(micros, 0.99);
    state.counters["max_us"] = percentile(micros, 1.0);
}
BENCHMARK(InputLatency)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void InputSteadyStream(benchmark::State& state) {
    MotionWindow window;
    InputPath road;
    if (!ready(state, window, road)) return;
    double lastMicros = 0;
    for (auto _ : state) {
        auto next = Clock::now();
        Clock::time_point lastSent;
        int px = 0, py = 0;
        for (int i = 0; i < 5000; ++i) {
            std::this_thread::sleep_until(next);
            next += 1ms;
            px = 20 + i % 600;
            py = 20 + (i / 600) * 40;
            const auto [x, y] = unitsFor(px, py);
            lastSent = Clock::now();
            road.sendMove(x, y);
        }
        const auto arrived = window.waitFor(px, py, 5s);
        if (!arrived) {
            state.SkipWithError("the last move did not arrive");
            return;
        }
        lastMicros = std::chrono::duration<double, std::micro>(*arrived - lastSent).count();
    }
    state.counters["last_move_us"] = lastMicros;
}
BENCHMARK(InputSteadyStream)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
