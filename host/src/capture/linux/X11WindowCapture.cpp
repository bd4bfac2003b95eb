#include "capture/CaptureSource.h"
#include "platform/CrashHandler.h"

#include <spdlog/spdlog.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xcomposite.h>
#include <X11/extensions/Xdamage.h>

#include "common/LineSource.h"
#include "encode/VideoLimits.h"
#include "platform/linux/X11ErrorTrap.h"

namespace quillane::host {
namespace {

// Frames delivered by every capture of the process; the first one is logged.
std::atomic<std::uint64_t> deliveredFrames{0};

// One capture's connection, window and thread; the capture thread holds its own
// reference, so it may end after the capture object is gone.
struct CaptureState {
    Display* display = nullptr;
    std::unique_ptr<X11ErrorTrap> trap;  // errors of this connection are expected, never fatal
    Window window = 0;
    int damageEventBase = 0;
    bool haveShm = false;

    std::atomic<bool> capturing{false};
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> repeatRequested{false};
    std::atomic<std::uint32_t> width{0};
    std::atomic<std::uint32_t> height{0};
    int wakeRead = -1;
    int wakeWrite = -1;
    // Assigned under threadMutex, which the thread takes once before its first
    // frame: a stop or destruction from inside a frame then sees it complete.
    std::mutex threadMutex;
    std::thread thread;

    // Set up by startCapture, then used only on the capture thread until it ends.
    Damage damage = 0;
    Visual* visual = nullptr;
    int depth = 0;
    XImage* image = nullptr;
    XShmSegmentInfo shm{};
    bool shmAttached = false;
    bool holdsFrame = false;  // the image holds the last delivered frame

    ~CaptureState();
    // Waits for the server and says whether any request since `mark` failed.
    bool failedSince(std::size_t mark) {
        XSync(display, False);
        return trap->errorCount() != mark;
    }
    bool createImage(std::uint32_t w, std::uint32_t h);
    void destroyImage();
    void wake() const;
    void run(CaptureFrameCallback callback);

    // What the capture thread knows of the window between two passes of its loop.
    struct WindowState {
        bool viewable = true;
        bool dirty = true;  // a first frame right away, also for a window that never repaints
        bool closed = false;
        std::uint32_t curW = 0;
        std::uint32_t curH = 0;
        // A new size asks for a new picture.
        void resize(std::uint32_t w, std::uint32_t h);
    };
    enum class GrabResult { Taken, Retry, Stop };
    void handlePendingEvents(WindowState& state);
    // Logs and records a size no encoder could take; true then.
    bool outgrewVideoLimits(const WindowState& state);
    // Reads the damaged window into the image, sized anew when the window was
    // resized. Retry after a failed read, the window's state read again; Stop
    // when the window is gone or no image could be made.
    GrabResult grabChangedPicture(WindowState& state);
    void deliverFrame(const CaptureFrameCallback& callback);
    // Sleeps until X events or a wake-up arrive; false when waiting failed.
    bool waitForEvents(int xfd);
    // Reads the window's current image; false when it is not viewable or gone.
    bool grab();
    void releaseCaptureResources();
};

CaptureState::~CaptureState() {
    destroyImage();
    if (display) {
        trap.reset();
        XCloseDisplay(display);
    }
    if (wakeRead >= 0) close(wakeRead);
    if (wakeWrite >= 0) close(wakeWrite);
}

bool CaptureState::createImage(std::uint32_t w, std::uint32_t h) {
    destroyImage();
    if (haveShm) {
        image = XShmCreateImage(display, visual, static_cast<unsigned>(depth), ZPixmap, nullptr, &shm, w, h);
        if (image) {
            shm.shmid = shmget(IPC_PRIVATE, std::size_t(image->bytes_per_line) * image->height, IPC_CREAT | 0600);
            if (shm.shmid >= 0) {
                shm.shmaddr = image->data = static_cast<char*>(shmat(shm.shmid, nullptr, 0));
                shm.readOnly = False;
                if (shm.shmaddr != reinterpret_cast<char*>(-1)) {
                    const auto mark = trap->errorCount();
                    XShmAttach(display, &shm);
                    const bool failed = failedSince(mark);
                    // Marked for removal now: it goes away once both sides detach.
                    shmctl(shm.shmid, IPC_RMID, nullptr);
                    if (!failed) {
                        shmAttached = true;
                    } else {
                        shmdt(shm.shmaddr);
                        image->data = nullptr;
                    }
                } else {
                    image->data = nullptr;
                    shmctl(shm.shmid, IPC_RMID, nullptr);
                }
            }
            if (!shmAttached) {
                XDestroyImage(image);
                image = nullptr;
            }
        }
        if (!shmAttached) {
            SPDLOG_WARN("X shared memory unavailable, reading window images through the socket");
            haveShm = false;
        }
    }
    if (!image) {
        image = XCreateImage(display, visual, static_cast<unsigned>(depth), ZPixmap, 0, nullptr, w, h, 32, 0);
        if (image) image->data = static_cast<char*>(std::calloc(std::size_t(image->bytes_per_line), h));
        if (!image || !image->data) {
            destroyImage();
            return false;
        }
    }
    if (image->bits_per_pixel != 32) {
        SPDLOG_ERROR("Window depth {} is not supported for capture", depth);
        destroyImage();
        return false;
    }
    return true;
}

void CaptureState::destroyImage() {
    holdsFrame = false;
    if (!image) return;
    if (shmAttached) {
        XShmDetach(display, &shm);
        XSync(display, False);
        shmdt(shm.shmaddr);
        shmAttached = false;
        image->data = nullptr;
    }
    XDestroyImage(image);  // frees the data of a socket-read image
    image = nullptr;
}

void CaptureState::wake() const {
    const char byte = 1;
    [[maybe_unused]] auto n = write(wakeWrite, &byte, 1);
}

bool CaptureState::grab() {
    // A fresh name for every grab: the window gets a new pixmap whenever it is
    // resized or mapped again, and naming costs no round trip.
    const Pixmap pixmap = XCompositeNameWindowPixmap(display, window);
    Bool ok;
    if (haveShm) {
        ok = XShmGetImage(display, pixmap, image, 0, 0, AllPlanes);
    } else {
        ok = XGetSubImage(display, pixmap, 0, 0, image->width, image->height, AllPlanes, ZPixmap, image, 0, 0) !=
             nullptr;
    }
    XFreePixmap(display, pixmap);
    return ok;
}

void CaptureState::releaseCaptureResources() {
    if (damage) XDamageDestroy(display, damage);
    damage = 0;
    XCompositeUnredirectWindow(display, window, CompositeRedirectAutomatic);
    XSelectInput(display, window, NoEventMask);
    destroyImage();
    XSync(display, False);  // the window may be gone: those errors are expected and trapped
    // Drop events still queued for this capture.
    XEvent ev;
    while (XPending(display)) XNextEvent(display, &ev);
}

void CaptureState::run(CaptureFrameCallback callback) {
    prepareThreadForCrashHandling();
    { std::lock_guard lock(threadMutex); }
    const int xfd = ConnectionNumber(display);
    WindowState state;
    state.curW = image ? static_cast<std::uint32_t>(image->width) : 0;
    state.curH = image ? static_cast<std::uint32_t>(image->height) : 0;

    while (!stopRequested.load()) {
        handlePendingEvents(state);
        if (state.closed || stopRequested.load()) break;
        if (outgrewVideoLimits(state)) break;
        // The picture in hand, once more; a frame that is coming serves as well.
        const bool repeat = repeatRequested.exchange(false) && !(state.viewable && state.dirty) && holdsFrame;

        if ((state.viewable && state.dirty) || repeat) {
            if (!repeat) {
                const GrabResult grabbed = grabChangedPicture(state);
                if (grabbed == GrabResult::Stop) break;
                if (grabbed == GrabResult::Retry) continue;
            }
            deliverFrame(callback);
            continue;  // look at events that arrived meanwhile before sleeping
        }
        if (!waitForEvents(xfd)) break;
    }

    releaseCaptureResources();
    if (state.closed) SPDLOG_INFO("Captured window was closed");
    // A stop that was asked for is logged by the thread that asked, among that work's lines.
    if (!stopRequested.load() && capturing.exchange(false)) SPDLOG_INFO("Capture stopped");
}

void CaptureState::WindowState::resize(std::uint32_t w, std::uint32_t h) {
    if (w != curW || h != curH) {
        curW = w, curH = h;
        dirty = true;
    }
}

void CaptureState::handlePendingEvents(WindowState& state) {
    while (XPending(display)) {
        XEvent ev;
        XNextEvent(display, &ev);
        if (ev.type == damageEventBase + XDamageNotify) {
            state.dirty = true;
        } else if (ev.type == ConfigureNotify && ev.xconfigure.window == window) {
            state.resize(static_cast<std::uint32_t>(ev.xconfigure.width),
                         static_cast<std::uint32_t>(ev.xconfigure.height));
        } else if (ev.type == MapNotify && ev.xmap.window == window) {
            state.viewable = true;
            state.dirty = true;
        } else if (ev.type == UnmapNotify && ev.xunmap.window == window) {
            state.viewable = false;
        } else if (ev.type == DestroyNotify && ev.xdestroywindow.window == window) {
            state.closed = true;
        }
    }
}

bool CaptureState::outgrewVideoLimits(const WindowState& state) {
    if (fitsVideoLimits(state.curW, state.curH)) return false;
    // No image of that size: no encoder could take it.
    SPDLOG_ERROR("Captured window grew to {}x{}, larger than H.264 can carry", state.curW, state.curH);
    width.store(state.curW);
    height.store(state.curH);
    return true;
}

CaptureState::GrabResult CaptureState::grabChangedPicture(WindowState& state) {
    state.dirty = false;
    // Subtract first: damage that arrives during the grab asks for another one.
    XDamageSubtract(display, damage, None, None);
    if (!image || static_cast<std::uint32_t>(image->width) != state.curW ||
        static_cast<std::uint32_t>(image->height) != state.curH) {
        if (!createImage(state.curW, state.curH)) {
            SPDLOG_ERROR("Failed to create a {}x{} capture image", state.curW, state.curH);
            return GrabResult::Stop;
        }
    }
    holdsFrame = grab();
    if (holdsFrame) return GrabResult::Taken;
    // Find out why: the window is gone, no longer viewable, or of another size.
    XWindowAttributes attrs;
    if (!XGetWindowAttributes(display, window, &attrs)) {
        state.closed = true;
        return GrabResult::Stop;
    }
    state.viewable = attrs.map_state == IsViewable;
    if (state.viewable) {
        state.resize(static_cast<std::uint32_t>(attrs.width), static_cast<std::uint32_t>(attrs.height));
    }
    return GrabResult::Retry;
}

void CaptureState::deliverFrame(const CaptureFrameCallback& callback) {
    const BgraFrame frame{reinterpret_cast<const std::uint8_t*>(image->data),
                          static_cast<std::uint32_t>(image->bytes_per_line),
                          static_cast<std::uint32_t>(image->width), static_cast<std::uint32_t>(image->height)};
    width.store(frame.width);
    height.store(frame.height);
    if (deliveredFrames.fetch_add(1) == 0) {
        SPDLOG_INFO("First capture frame: {}x{}, format={}", frame.width, frame.height,
                     depth == 32 ? "B8G8R8A8" : "B8G8R8X8");
    }
    if (capturing.load()) {
        try {
            callback(&frame, frame.width, frame.height);
        } catch (const std::exception& e) {
            SPDLOG_ERROR("Error processing frame: {}", e.what());
        }
    }
}

bool CaptureState::waitForEvents(int xfd) {
    pollfd fds[2] = {{xfd, POLLIN, 0}, {wakeRead, POLLIN, 0}};
    XFlush(display);
    if (XPending(display)) return true;
    if (poll(fds, 2, -1) < 0 && errno != EINTR) {
        SPDLOG_ERROR("Capture wait failed: {}", std::strerror(errno));
        return false;
    }
    if (fds[1].revents & POLLIN) {
        char buf[64];
        [[maybe_unused]] auto n = read(wakeRead, buf, sizeof buf);
    }
    return true;
}

// Captures one X11 window for one stream, on its own X connection and thread:
// the window is redirected off-screen (Composite, automatic), its pixmap is read
// through shared memory whenever XDamage reports a change, and each frame (BGRX)
// goes to the callback on the capture thread. A covered window is captured all
// the same; an unmapped (minimised) one delivers nothing until it is mapped again;
// when the window is destroyed the capture ends by itself.
class X11WindowCapture final : public CaptureSource {
public:
    X11WindowCapture() = default;
    X11WindowCapture(const X11WindowCapture&) = delete;
    X11WindowCapture& operator=(const X11WindowCapture&) = delete;

    ~X11WindowCapture() override {
        stopCapture();
        // Destroyed from inside its own frame callback: the thread still runs that
        // frame and ends right after it, holding its own reference to the state.
        if (state->thread.joinable()) state->thread.detach();
    }

    bool initialize(std::uint32_t windowId, EncoderDevice) override {
        if (!state->display) {
            state->display = XOpenDisplay(nullptr);
            if (!state->display) {
                SPDLOG_ERROR("Failed to open X display");
                return false;
            }
            state->trap = std::make_unique<X11ErrorTrap>(state->display);
            int eventBase = 0, errorBase = 0, major = 0, minor = 2;
            if (!XCompositeQueryExtension(state->display, &eventBase, &errorBase) ||
                !XCompositeQueryVersion(state->display, &major, &minor) || (major == 0 && minor < 2) ||
                !XDamageQueryExtension(state->display, &state->damageEventBase, &errorBase)) {
                SPDLOG_ERROR("Window capture needs the X Composite (0.2) and Damage extensions");
                return false;
            }
            state->haveShm = XShmQueryExtension(state->display);
        }
        XWindowAttributes attrs;
        if (windowId == 0 || !XGetWindowAttributes(state->display, windowId, &attrs)) {
            SPDLOG_ERROR("Invalid window handle");
            return false;
        }
        state->window = windowId;
        state->visual = attrs.visual;
        state->depth = attrs.depth;
        state->width.store(static_cast<std::uint32_t>(attrs.width));
        state->height.store(static_cast<std::uint32_t>(attrs.height));
        if (attrs.width <= 0 || attrs.height <= 0) {
            SPDLOG_ERROR("Window has zero size");
            return false;
        }
        if (std::size_t held = 0; StreamLineScope::allow(held)) {
            SPDLOG_INFO("WindowCapture initialized for window {:x}, size {}x{}{}", windowId, attrs.width, attrs.height,
                        heldNote(held));
        }
        return true;
    }

    void getSize(std::uint32_t& width, std::uint32_t& height) const override {
        width = state->width.load();
        height = state->height.load();
    }

    bool startCapture(CaptureFrameCallback callback) override {
        if (state->capturing.load()) {
            SPDLOG_WARN("Capture already started");
            return true;
        }
        if (!state->display || !state->window) {
            SPDLOG_ERROR("WindowCapture not initialized");
            return false;
        }
        if (state->thread.joinable()) state->thread.join();  // an earlier capture that ended by itself
        Display* dpy = state->display;
        const Window win = state->window;

        const auto mark = state->trap->errorCount();
        XSelectInput(dpy, win, StructureNotifyMask);
        XCompositeRedirectWindow(dpy, win, CompositeRedirectAutomatic);
        state->damage = XDamageCreate(dpy, win, XDamageReportNonEmpty);
        XWindowAttributes attrs;
        const bool alive = XGetWindowAttributes(dpy, win, &attrs);
        if (state->failedSince(mark) || !alive) {
            SPDLOG_ERROR("Failed to start capture: X error {} for window {:x}", state->trap->lastErrorCode(), win);
            state->releaseCaptureResources();
            return false;
        }
        state->visual = attrs.visual;
        state->depth = attrs.depth;
        if (!fitsVideoLimits(static_cast<std::uint32_t>(attrs.width), static_cast<std::uint32_t>(attrs.height))) {
            SPDLOG_ERROR("Failed to start capture: window {:x} is {}x{}, larger than H.264 can carry", win, attrs.width,
                          attrs.height);
            state->releaseCaptureResources();
            return false;
        }
        if (!state->createImage(static_cast<std::uint32_t>(attrs.width), static_cast<std::uint32_t>(attrs.height))) {
            SPDLOG_ERROR("Failed to start capture: no {}x{} image for window {:x}", attrs.width, attrs.height, win);
            state->releaseCaptureResources();
            return false;
        }
        state->width.store(static_cast<std::uint32_t>(attrs.width));
        state->height.store(static_cast<std::uint32_t>(attrs.height));

        if (state->wakeRead < 0) {
            int fds[2];
            if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
                SPDLOG_ERROR("Failed to start capture: {}", std::strerror(errno));
                state->releaseCaptureResources();
                return false;
            }
            state->wakeRead = fds[0];
            state->wakeWrite = fds[1];
        }
        state->stopRequested.store(false);
        state->capturing.store(true);
        {
            std::lock_guard lock(state->threadMutex);
            state->thread =
                std::thread([shared = state, cb = std::move(callback)]() mutable { shared->run(std::move(cb)); });
        }
        if (std::size_t held = 0; StreamLineScope::allow(held)) {
            SPDLOG_INFO("Capture started for window {:x}{}", win, heldNote(held));
        }
        return true;
    }

    void stopCapture() override {
        if (!state->thread.joinable()) {
            state->capturing.store(false);
            return;
        }
        state->stopRequested.store(true);
        state->wake();
        // Inside the frame callback the loop ends once this frame returns; elsewhere it has ended.
        if (std::this_thread::get_id() != state->thread.get_id()) state->thread.join();
        if (std::size_t held = 0; state->capturing.exchange(false) && StreamLineScope::allow(held)) {
            SPDLOG_INFO("Capture stopped{}", heldNote(held));
        }
    }

    bool isCapturing() const override { return state->capturing.load(); }

    void repeatLastFrame() override {
        if (!state->capturing.load()) return;
        state->repeatRequested.store(true);
        state->wake();
    }

    static bool windowExists(std::uint32_t windowId) {
        // One connection for the process, kept until it exits (never torn down during
        // static destruction, when the error trap's registry may already be gone).
        static std::mutex mutex;
        static Display* display = nullptr;
        [[maybe_unused]] static X11ErrorTrap* trap = nullptr;
        if (windowId == 0) return false;
        std::lock_guard lock(mutex);
        if (!display) {
            display = XOpenDisplay(nullptr);
            if (!display) return false;
            trap = new X11ErrorTrap(display);
        }
        XWindowAttributes attrs;
        return XGetWindowAttributes(display, windowId, &attrs) != 0;
    }

private:
    // Shared with the capture thread, which may outlive this object when the
    // capture is stopped and destroyed from inside its own frame callback.
    std::shared_ptr<CaptureState> state = std::make_shared<CaptureState>();
};

}  // namespace

std::unique_ptr<CaptureSource> createWindowCapture() { return std::make_unique<X11WindowCapture>(); }

bool windowCaptureTargetExists(std::uint32_t windowId) { return X11WindowCapture::windowExists(windowId); }

}  // namespace quillane::host
