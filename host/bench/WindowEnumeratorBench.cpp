// The window list with 50 windows that carry icons, as a client's window-list
// request or the host window's refresh builds it. Needs an X display (run it
// with scripts/with-desktop.sh or on a desktop).
#include "capture/PngEncoder.h"
#include "capture/WindowEnumerator.h"

#include <benchmark/benchmark.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using quillane::host::WindowEnumerator;

constexpr int kWindows = 50;

// Icons as applications ship them: several sizes in one property.
std::vector<long> iconProperty(int seed) {
    std::vector<long> p;
    for (const long side : {16L, 32L, 48L, 128L}) {
        p.push_back(side);
        p.push_back(side);
        for (long i = 0; i < side * side; ++i)
            p.push_back(static_cast<long>((0xFFu << 24) | static_cast<unsigned>((i * 2654435761u + seed) & 0xFFFFFF)));
    }
    return p;
}

class Desktop {
public:
    Desktop() : display_(XOpenDisplay(nullptr)) {
        if (display_ == nullptr) return;
        const Window root = DefaultRootWindow(display_);
        const Atom utf8 = XInternAtom(display_, "UTF8_STRING", False);
        const Atom name = XInternAtom(display_, "_NET_WM_NAME", False);
        const Atom icon = XInternAtom(display_, "_NET_WM_ICON", False);
        const Atom pid = XInternAtom(display_, "_NET_WM_PID", False);
        for (int i = 0; i < kWindows; ++i) {
            const Window w = XCreateSimpleWindow(display_, root, 10 * i, 10 * i, 200, 150, 0, 0, 0x404040);
            const std::string title = "Benchmark window " + std::to_string(i);
            XChangeProperty(display_, w, name, utf8, 8, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(title.data()), static_cast<int>(title.size()));
            XChangeProperty(display_, w, XA_WM_CLASS, XA_STRING, 8, PropModeReplace,
                            reinterpret_cast<const unsigned char*>("bench\0Bench\0"), 12);
            const long self = getpid();
            XChangeProperty(display_, w, pid, XA_CARDINAL, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(&self), 1);
            const auto pixels = iconProperty(i);
            XChangeProperty(display_, w, icon, XA_CARDINAL, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(pixels.data()), static_cast<int>(pixels.size()));
            XMapWindow(display_, w);
            windows_.push_back(w);
        }
        XSync(display_, False);
        // Let the window manager take them all.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (listed() < kWindows && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ~Desktop() {
        if (display_ == nullptr) return;
        for (const Window w : windows_) XDestroyWindow(display_, w);
        XCloseDisplay(display_);
    }
    bool ready() const { return display_ != nullptr; }
    static int listed() {
        int n = 0;
        for (const auto& info : WindowEnumerator::enumerateWindows())
            n += info.title.starts_with("Benchmark window ") && !info.iconBase64.empty();
        return n;
    }

private:
    Display* display_;
    std::vector<Window> windows_;
};

void BM_EnumerateFiftyWindowsWithIcons(benchmark::State& state) {
    Desktop desktop;
    if (!desktop.ready()) {
        state.SkipWithError("no X display");
        return;
    }
    if (Desktop::listed() < kWindows) {
        state.SkipWithError("the test windows were not all listed");
        return;
    }
    std::size_t windows = 0;
    for (auto _ : state) {
        auto list = WindowEnumerator::enumerateWindows();
        windows = list.size();
        benchmark::DoNotOptimize(list);
    }
    state.counters["windows"] = static_cast<double>(windows);
}
BENCHMARK(BM_EnumerateFiftyWindowsWithIcons)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_EncodeOneIcon(benchmark::State& state) {
    quillane::host::RgbaImage image{48, 48, {}};
    for (int i = 0; i < 48 * 48 * 4; ++i) image.pixels.push_back(static_cast<std::uint8_t>(i * 2654435761u >> 24));
    for (auto _ : state) benchmark::DoNotOptimize(quillane::host::encodePng(image));
}
BENCHMARK(BM_EncodeOneIcon)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
