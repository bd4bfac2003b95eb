// A window for the end-to-end tests: draws a moving pattern, carries a known
// title, class and icon, and obeys commands read from stdin, one per line:
//   resize W H   set the client size
//   hold         keep repainting the current picture unchanged
//   freeze       stop painting: the window's picture stays as it is
//   run          animate again
//   refuse focus / accept focus   tell the window manager not to (or again to) give it the keyboard
//   close        destroy the window and exit
// On start it prints "window 0x<id>" once the window is mapped; after each
// command it prints "ok <command>", and for each key press that types text
// "key <text>".
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "TestWindowPattern.h"

namespace quillane::host::test {
namespace {

struct Options {
    int width = 640;
    int height = 480;
    int fps = 30;
    std::string title = "Quillane Test Window";
};

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        if (key == "--width") o.width = std::atoi(argv[i + 1]);
        else if (key == "--height") o.height = std::atoi(argv[i + 1]);
        else if (key == "--fps") o.fps = std::atoi(argv[i + 1]);
        else if (key == "--title") o.title = argv[i + 1];
    }
    return o;
}

// The input hint: a window that says it takes no keyboard input is never made the active window.
void setAcceptsFocus(Display* display, Window window, bool accepts) {
    XWMHints hints{};
    hints.flags = InputHint;
    hints.input = accepts ? True : False;
    XSetWMHints(display, window, &hints);
    XSync(display, False);
}

void setIcon(Display* display, Window window) {
    std::vector<unsigned long> data;
    data.push_back(kIconSize);
    data.push_back(kIconSize);
    for (int y = 0; y < kIconSize; ++y)
        for (int x = 0; x < kIconSize; ++x) data.push_back(iconPixel(x, y));
    XChangeProperty(display, window, XInternAtom(display, "_NET_WM_ICON", False), XA_CARDINAL, 32,
                    PropModeReplace, reinterpret_cast<unsigned char*>(data.data()),
                    static_cast<int>(data.size()));
}

}  // namespace

int runTestWindow(int argc, char** argv) {
    const Options opt = parse(argc, argv);
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "cannot open display\n");
        return 1;
    }
    const int screen = DefaultScreen(display);
    Window window = XCreateSimpleWindow(display, RootWindow(display, screen), 40, 40, opt.width, opt.height, 0,
                                        BlackPixel(display, screen), BlackPixel(display, screen));
    XStoreName(display, window, opt.title.c_str());
    XChangeProperty(display, window, XInternAtom(display, "_NET_WM_NAME", False),
                    XInternAtom(display, "UTF8_STRING", False), 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(opt.title.data()), static_cast<int>(opt.title.size()));
    XClassHint classHint;
    classHint.res_name = const_cast<char*>("qhtestwindow");
    classHint.res_class = const_cast<char*>(kWindowClass);
    XSetClassHint(display, window, &classHint);
    const long pid = getpid();
    XChangeProperty(display, window, XInternAtom(display, "_NET_WM_PID", False), XA_CARDINAL, 32,
                    PropModeReplace, reinterpret_cast<const unsigned char*>(&pid), 1);
    setIcon(display, window);
    Atom deleteAtom = XInternAtom(display, "WM_DELETE_WINDOW", False);
    XSetWMProtocols(display, window, &deleteAtom, 1);
    XSelectInput(display, window, StructureNotifyMask | ExposureMask | KeyPressMask);
    XMapWindow(display, window);

    int width = opt.width;
    int height = opt.height;
    for (;;) {
        XEvent ev;
        XNextEvent(display, &ev);
        if (ev.type == MapNotify) break;
    }
    std::printf("window 0x%lx\n", window);
    std::fflush(stdout);

    GC gc = DefaultGC(display, screen);
    Visual* visual = DefaultVisual(display, screen);
    const int depth = DefaultDepth(display, screen);
    std::vector<std::uint32_t> pixels;
    std::uint32_t frame = 0;
    bool hold = false;
    bool frozen = false;
    const auto period = std::chrono::microseconds(1'000'000 / (opt.fps > 0 ? opt.fps : 30));
    auto next = std::chrono::steady_clock::now();
    std::string line;
    for (;;) {
        while (XPending(display)) {
            XEvent ev;
            XNextEvent(display, &ev);
            if (ev.type == ConfigureNotify) {
                width = ev.xconfigure.width;
                height = ev.xconfigure.height;
            } else if (ev.type == KeyPress) {
                char text[8] = {};
                KeySym keysym = NoSymbol;
                const int length = XLookupString(&ev.xkey, text, sizeof text, &keysym, nullptr);
                if (length > 0) {
                    std::printf("key %.*s\n", length, text);
                    std::fflush(stdout);
                }
            } else if (ev.type == ClientMessage && static_cast<Atom>(ev.xclient.data.l[0]) == deleteAtom) {
                XDestroyWindow(display, window);
                XCloseDisplay(display);
                return 0;
            }
        }
        pollfd pfd{STDIN_FILENO, POLLIN, 0};
        if (poll(&pfd, 1, 0) > 0) {
            char buf[256];
            const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
            if (n <= 0) {  // the test went away
                XDestroyWindow(display, window);
                XCloseDisplay(display);
                return 0;
            }
            line.append(buf, static_cast<std::size_t>(n));
            std::size_t pos;
            while ((pos = line.find('\n')) != std::string::npos) {
                const std::string cmd = line.substr(0, pos);
                line.erase(0, pos + 1);
                int w = 0, h = 0;
                if (std::sscanf(cmd.c_str(), "resize %d %d", &w, &h) == 2) {
                    XResizeWindow(display, window, static_cast<unsigned>(w), static_cast<unsigned>(h));
                    XSync(display, False);
                } else if (cmd == "hold") {
                    hold = true;
                } else if (cmd == "freeze") {
                    frozen = true;
                } else if (cmd == "run") {
                    hold = frozen = false;
                } else if (cmd == "refuse focus" || cmd == "accept focus") {
                    setAcceptsFocus(display, window, cmd == "accept focus");
                } else if (cmd == "close") {
                    XDestroyWindow(display, window);
                    XSync(display, False);
                    std::printf("ok close\n");
                    std::fflush(stdout);
                    XCloseDisplay(display);
                    return 0;
                }
                std::printf("ok %s\n", cmd.c_str());
                std::fflush(stdout);
            }
        }
        if (frozen) {
            std::this_thread::sleep_for(period);
            continue;
        }
        if (!hold) ++frame;
        pixels.resize(static_cast<std::size_t>(width) * height);
        drawPattern(pixels.data(), width, height, frame);
        XImage* image = XCreateImage(display, visual, static_cast<unsigned>(depth), ZPixmap, 0,
                                     reinterpret_cast<char*>(pixels.data()), static_cast<unsigned>(width),
                                     static_cast<unsigned>(height), 32, 0);
        XPutImage(display, window, gc, image, 0, 0, 0, 0, static_cast<unsigned>(width),
                  static_cast<unsigned>(height));
        image->data = nullptr;  // owned by the vector
        XDestroyImage(image);
        XFlush(display);
        // Ticks missed on a busy machine are skipped, not drawn in a burst: the frame rate never
        // rises above the one asked for.
        const auto now = std::chrono::steady_clock::now();
        do next += period;
        while (next <= now);
        std::this_thread::sleep_until(next);
    }
}

}  // namespace quillane::host::test

int main(int argc, char** argv) { return quillane::host::test::runTestWindow(argc, argv); }
