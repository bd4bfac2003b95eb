#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <mutex>
#include <thread>
#include <vector>

#include <X11/Xlib.h>

namespace quillane::host::test {

// A top-level window on its own X connection that draws a pattern of position and seed, so a
// frame can be checked pixel by pixel, and repaints it on Expose like any application.
class X11TestWindow {
public:
    struct Options {
        int width = 320;
        int height = 240;
        int x = 40;
        int y = 40;
        bool overrideRedirect = false;  // placed and stacked by us, not the window manager
        std::uint32_t solidColour = 0;  // 0: the pattern; else this 0xRRGGBB everywhere
    };
    explicit X11TestWindow(const Options& options);
    ~X11TestWindow();

    std::uint32_t id() const { return static_cast<std::uint32_t>(window); }

    // Draws the pattern with this seed and waits until the server has it.
    void draw(std::uint32_t seed);
    // Fills a rectangle with a colour (0xRRGGBB) and sends it without waiting.
    void fillRect(int x, int y, int width, int height, std::uint32_t colour);
    // Resizes and waits for the new size, then draws again.
    void resize(int width, int height);
    void minimize();  // iconify through the window manager; waits until unmapped
    void restore();   // maps again; waits until mapped
    void raise();
    void destroy();
    // Screen position of the window's top-left pixel.
    void rootPosition(int& x, int& y);

    // The colour (0x00RRGGBB) the window shows at a pixel for a seed.
    static std::uint32_t patternPixel(int x, int y, std::uint32_t seed);
    // Whether a BGRX frame shows exactly this window's pattern (fourth byte ignored);
    // on failure, describes the first difference.
    bool frameMatches(const std::uint8_t* data, std::uint32_t pitch, std::uint32_t width, std::uint32_t height,
                      std::uint32_t seed, std::string* why = nullptr) const;

    std::atomic<int> exposures{0};

private:
    void paintLocked();
    void eventLoop();
    template <class Pred> bool waitFor(Pred pred, int timeoutMs = 5000);
    template <class Request, class Pred> void change(Request request, Pred done, const char* failure);

    Options options;
    Display* display = nullptr;
    Window window = 0;
    GC gc = nullptr;
    std::mutex mutex;  // the connection is shared by the caller and the event thread
    std::atomic<int> w, h;
    std::atomic<bool> mapped{false};
    std::atomic<bool> stop{false};
    std::atomic<std::uint32_t> seed{0};
    int wakePipe[2] = {-1, -1};
    std::thread events;
};

}  // namespace quillane::host::test
