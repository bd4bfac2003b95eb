#include "X11TestWindow.h"

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>

#include <poll.h>
#include <unistd.h>

#include <X11/Xatom.h>
#include <X11/Xutil.h>

namespace quillane::host::test {

X11TestWindow::X11TestWindow(const Options& opts) : options(opts), w(opts.width), h(opts.height) {
    display = XOpenDisplay(nullptr);
    if (!display) throw std::runtime_error("no X display (run inside the virtual desktop)");
    const int screen = DefaultScreen(display);
    XSetWindowAttributes attrs{};
    attrs.background_pixel = 0xFF00FF;  // magenta: never part of the pattern's checks
    attrs.override_redirect = opts.overrideRedirect;
    attrs.event_mask = ExposureMask | StructureNotifyMask;
    window = XCreateWindow(display, RootWindow(display, screen), opts.x, opts.y, opts.width, opts.height, 0,
                           24, InputOutput, DefaultVisual(display, screen),
                           CWBackPixel | CWOverrideRedirect | CWEventMask, &attrs);
    XSizeHints hints{};
    hints.flags = USPosition | USSize;
    hints.x = opts.x, hints.y = opts.y, hints.width = opts.width, hints.height = opts.height;
    XSetWMNormalHints(display, window, &hints);
    XStoreName(display, window, "Quillane capture test");
    gc = XCreateGC(display, window, 0, nullptr);
    if (pipe(wakePipe) != 0) throw std::runtime_error("pipe");
    XMapRaised(display, window);
    XFlush(display);
    events = std::thread([this] { eventLoop(); });
    if (!waitFor([&] { return mapped.load(); })) throw std::runtime_error("test window was not mapped");
    draw(0);
}

X11TestWindow::~X11TestWindow() {
    stop = true;
    [[maybe_unused]] auto n = write(wakePipe[1], "x", 1);
    events.join();
    {
        std::lock_guard lock(mutex);
        if (window) XDestroyWindow(display, window);
        XFreeGC(display, gc);
        XCloseDisplay(display);
    }
    close(wakePipe[0]);
    close(wakePipe[1]);
}

std::uint32_t X11TestWindow::patternPixel(int x, int y, std::uint32_t seed) {
    const std::uint32_t b = (static_cast<std::uint32_t>(x) + 3 * seed) & 0xFF;
    const std::uint32_t g = (static_cast<std::uint32_t>(y) * 3 + 5 * seed) & 0xFF;
    const std::uint32_t r = ((static_cast<std::uint32_t>(x) >> 8) * 40 + (static_cast<std::uint32_t>(y) >> 8) * 90 +
                             ((x ^ y) & 7) * 4 + 7 * seed) &
                            0xFF;
    return (r << 16) | (g << 8) | b;
}

void X11TestWindow::paintLocked() {
    const int width = w.load(), height = h.load();
    std::vector<std::uint32_t> pixels(std::size_t(width) * height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            pixels[std::size_t(y) * width + x] = options.solidColour ? options.solidColour : patternPixel(x, y, seed.load());
    XImage* img = XCreateImage(display, DefaultVisual(display, DefaultScreen(display)), 24, ZPixmap, 0,
                               reinterpret_cast<char*>(pixels.data()), width, height, 32, 0);
    XPutImage(display, window, gc, img, 0, 0, 0, 0, width, height);
    img->data = nullptr;
    XDestroyImage(img);
}

void X11TestWindow::draw(std::uint32_t s) {
    std::lock_guard lock(mutex);
    seed = s;
    paintLocked();
    XSync(display, False);
}

void X11TestWindow::fillRect(int x, int y, int width, int height, std::uint32_t colour) {
    std::lock_guard lock(mutex);
    XSetForeground(display, gc, colour);
    XFillRectangle(display, window, gc, x, y, static_cast<unsigned>(width), static_cast<unsigned>(height));
    XFlush(display);
}

template <class Pred>
bool X11TestWindow::waitFor(Pred pred, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return pred();
}

template <class Request, class Pred>
void X11TestWindow::change(Request request, Pred done, const char* failure) {
    {
        std::lock_guard lock(mutex);
        request();
        XFlush(display);
    }
    if (!waitFor(done)) throw std::runtime_error(failure);
}

void X11TestWindow::resize(int width, int height) {
    change([&] { XResizeWindow(display, window, static_cast<unsigned>(width), static_cast<unsigned>(height)); },
           [&] { return w.load() == width && h.load() == height; }, "resize not confirmed");
    draw(seed.load());
}

void X11TestWindow::minimize() {
    change([&] { XIconifyWindow(display, window, DefaultScreen(display)); }, [&] { return !mapped.load(); },
           "window was not iconified");
}

void X11TestWindow::restore() {
    change([&] { XMapRaised(display, window); }, [&] { return mapped.load(); }, "window was not mapped again");
}

void X11TestWindow::raise() {
    std::lock_guard lock(mutex);
    XRaiseWindow(display, window);
    XSync(display, False);
}

void X11TestWindow::destroy() {
    std::lock_guard lock(mutex);
    XDestroyWindow(display, window);
    XSync(display, False);
    window = 0;
}

void X11TestWindow::rootPosition(int& x, int& y) {
    std::lock_guard lock(mutex);
    Window child;
    XTranslateCoordinates(display, window, DefaultRootWindow(display), 0, 0, &x, &y, &child);
}

bool X11TestWindow::frameMatches(const std::uint8_t* data, std::uint32_t pitch, std::uint32_t width,
                                 std::uint32_t height, std::uint32_t s, std::string* why) const {
    if (static_cast<int>(width) != w.load() || static_cast<int>(height) != h.load()) {
        if (why) *why = "size " + std::to_string(width) + "x" + std::to_string(height);
        return false;
    }
    for (std::uint32_t y = 0; y < height; ++y) {
        const std::uint8_t* row = data + std::size_t(y) * pitch;
        for (std::uint32_t x = 0; x < width; ++x) {
            const std::uint32_t want = options.solidColour ? options.solidColour : patternPixel(int(x), int(y), s);
            const std::uint32_t got = row[4 * x] | (row[4 * x + 1] << 8) | (row[4 * x + 2] << 16);
            if (got != want) {
                if (why) {
                    char text[96];
                    std::snprintf(text, sizeof text, "pixel %u,%u is %06x, want %06x", x, y, got, want);
                    *why = text;
                }
                return false;
            }
        }
    }
    return true;
}

void X11TestWindow::eventLoop() {
    const int xfd = ConnectionNumber(display);
    while (!stop.load()) {
        {
            std::lock_guard lock(mutex);
            while (XPending(display)) {
                XEvent ev;
                XNextEvent(display, &ev);
                switch (ev.type) {
                case Expose:
                    ++exposures;
                    if (ev.xexpose.count == 0) paintLocked();
                    break;
                case ConfigureNotify:
                    w = ev.xconfigure.width;
                    h = ev.xconfigure.height;
                    break;
                case MapNotify: mapped = true; break;
                case UnmapNotify: mapped = false; break;
                default: break;
                }
            }
            XFlush(display);
        }
        pollfd fds[2] = {{xfd, POLLIN, 0}, {wakePipe[0], POLLIN, 0}};
        poll(fds, 2, 100);
    }
}

}  // namespace quillane::host::test
