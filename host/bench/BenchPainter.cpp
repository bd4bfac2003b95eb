// A window for the pipeline benchmark: repaints at a fixed rate through
// MIT-SHM, stamps each picture with its frame number (32 black or white
// 16 x 16 blocks along the top-left edge) and prints "drawn <frame> <ns>" with
// the steady-clock time at which the X server had the picture.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "BenchStamp.h"

int main(int argc, char** argv) {
    int width = 1920;
    int height = 1080;
    int fps = 72;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        if (key == "--width") width = std::atoi(argv[i + 1]);
        else if (key == "--height") height = std::atoi(argv[i + 1]);
        else if (key == "--fps") fps = std::atoi(argv[i + 1]);
    }
    Display* display = XOpenDisplay(nullptr);
    if (!display || !XShmQueryExtension(display)) {
        std::fprintf(stderr, "no display with MIT-SHM\n");
        return 1;
    }
    const int screen = DefaultScreen(display);
    const Window window = XCreateSimpleWindow(display, RootWindow(display, screen), 0, 0, width, height, 0, 0, 0);
    XStoreName(display, window, "Quillane Pipeline Bench");
    XSelectInput(display, window, StructureNotifyMask);
    XMapWindow(display, window);
    for (XEvent ev;;) {
        XNextEvent(display, &ev);
        if (ev.type == MapNotify) break;
    }

    XShmSegmentInfo shm{};
    XImage* image = XShmCreateImage(display, DefaultVisual(display, screen), DefaultDepth(display, screen), ZPixmap,
                                    nullptr, &shm, width, height);
    shm.shmid = shmget(IPC_PRIVATE, static_cast<std::size_t>(image->bytes_per_line) * height, IPC_CREAT | 0600);
    shm.shmaddr = image->data = static_cast<char*>(shmat(shm.shmid, nullptr, 0));
    shm.readOnly = False;
    XShmAttach(display, &shm);
    XSync(display, False);
    shmctl(shm.shmid, IPC_RMID, nullptr);

    // A background twice as wide as the window, scrolled by copying rows.
    const int span = width * 2;
    std::vector<std::uint32_t> background(static_cast<std::size_t>(span) * height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < span; ++x) {
            const auto r = static_cast<std::uint32_t>((x * 255) / span);
            const auto g = static_cast<std::uint32_t>((y * 255) / height);
            const auto b = static_cast<std::uint32_t>(((x + y) / 3) % 256);
            background[static_cast<std::size_t>(y) * span + x] = (r << 16) | (g << 8) | b;
        }

    std::printf("window 0x%lx\n", window);
    std::fflush(stdout);
    const auto period = std::chrono::nanoseconds(1'000'000'000 / fps);
    auto next = std::chrono::steady_clock::now();
    for (std::uint32_t frame = 0;; ++frame) {
        const int shift = static_cast<int>((frame * 8) % static_cast<std::uint32_t>(width));
        auto* pixels = reinterpret_cast<std::uint32_t*>(image->data);
        const int stride = image->bytes_per_line / 4;
        for (int y = 0; y < height; ++y)
            std::memcpy(pixels + static_cast<std::size_t>(y) * stride,
                        background.data() + static_cast<std::size_t>(y) * span + shift, width * 4u);
        qhbench::stampFrameNumber(pixels, stride, frame);
        XShmPutImage(display, window, DefaultGC(display, screen), image, 0, 0, 0, 0, width, height, False);
        XSync(display, False);
        const auto drawn = std::chrono::steady_clock::now().time_since_epoch();
        std::printf("drawn %u %lld\n", frame,
                    static_cast<long long>(std::chrono::duration_cast<std::chrono::nanoseconds>(drawn).count()));
        std::fflush(stdout);
        next += period;
        const auto now = std::chrono::steady_clock::now();
        if (now < next) std::this_thread::sleep_until(next);
        else if (now > next + period * 4) next = now;  // fell behind: do not burst
    }
}
