#include "capture/linux/WindowCapture.h"
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

#include "encode/VideoLimits.h"
#include "platform/linux/X11ErrorTrap.h"

namespace quillane::host {
namespace {

// Frames delivered by every capture of the process; the first one is logged.
std::atomic<std::uint64_t> deliveredFrames{0};

}  // namespace

struct WindowCapture::Impl {
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

    ~Impl();
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

WindowCapture::Impl::~Impl() {
    destroyImage();
    if (display) {
        trap.reset();
        XCloseDisplay(display);
    }
    if (wakeRead >= 0) close(wakeRead);
    if (wakeWrite >= 0) close(wakeWrite);
}

bool WindowCapture::Impl::createImage(std::uint32_t w, std::uint32_t h) {
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

void WindowCapture::Impl::destroyImage() {
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

void WindowCapture::Impl::wake() const {
    const char byte = 1;
    [[maybe_unused]] auto n = write(wakeWrite, &byte, 1);
}

bool WindowCapture::Impl::grab() {
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

void WindowCapture::Impl::releaseCaptureResources() {
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

void WindowCapture::Impl::run(CaptureFrameCallback callback) {
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
    if (capturing.exchange(false)) SPDLOG_INFO("Capture stopped");
}

void WindowCapture::Impl::WindowState::resize(std::uint32_t w, std::uint32_t h) {
    if (w != curW || h != curH) {
        curW = w, curH = h;
        dirty = true;
    }
}

void WindowCapture::Impl::handlePendingEvents(WindowState& state) {
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

bool WindowCapture::Impl::outgrewVideoLimits(const WindowState& state) {
    if (fitsVideoLimits(state.curW, state.curH)) return false;
    // No image of that size: no encoder could take it.
    SPDLOG_ERROR("Captured window grew to {}x{}, larger than H.264 can carry", state.curW, state.curH);
    width.store(state.curW);
    height.store(state.curH);
    return true;
}

WindowCapture::Impl::GrabResult WindowCapture::Impl::grabChangedPicture(WindowState& state) {
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

void WindowCapture::Impl::deliverFrame(const CaptureFrameCallback& callback) {
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

bool WindowCapture::Impl::waitForEvents(int xfd) {
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

WindowCapture::WindowCapture() : impl(std::make_shared<Impl>()) {}

WindowCapture::~WindowCapture() {
    stopCapture();
    // Destroyed from inside its own frame callback: the thread still runs that
    // frame and ends right after it, holding its own reference to the state.
    if (impl->thread.joinable()) impl->thread.detach();
}

bool WindowCapture::initialize(std::uint32_t windowId, EncoderDevice) {
    if (!impl->display) {
        impl->display = XOpenDisplay(nullptr);
        if (!impl->display) {
            SPDLOG_ERROR("Failed to open X display");
            return false;
        }
        impl->trap = std::make_unique<X11ErrorTrap>(impl->display);
        int eventBase = 0, errorBase = 0, major = 0, minor = 2;
        if (!XCompositeQueryExtension(impl->display, &eventBase, &errorBase) ||
            !XCompositeQueryVersion(impl->display, &major, &minor) || (major == 0 && minor < 2) ||
            !XDamageQueryExtension(impl->display, &impl->damageEventBase, &errorBase)) {
            SPDLOG_ERROR("Window capture needs the X Composite (0.2) and Damage extensions");
            return false;
        }
        impl->haveShm = XShmQueryExtension(impl->display);
    }
    XWindowAttributes attrs;
    if (windowId == 0 || !XGetWindowAttributes(impl->display, windowId, &attrs)) {
        SPDLOG_ERROR("Invalid window handle");
        return false;
    }
    impl->window = windowId;
    impl->visual = attrs.visual;
    impl->depth = attrs.depth;
    impl->width.store(static_cast<std::uint32_t>(attrs.width));
    impl->height.store(static_cast<std::uint32_t>(attrs.height));
    if (attrs.width <= 0 || attrs.height <= 0) {
        SPDLOG_ERROR("Window has zero size");
        return false;
    }
    SPDLOG_INFO("WindowCapture initialized for window {:x}, size {}x{}", windowId, attrs.width, attrs.height);
    return true;
}

void WindowCapture::getSize(std::uint32_t& width, std::uint32_t& height) const {
    width = impl->width.load();
    height = impl->height.load();
}

bool WindowCapture::startCapture(CaptureFrameCallback callback) {
    if (impl->capturing.load()) {
        SPDLOG_WARN("Capture already started");
        return true;
    }
    if (!impl->display || !impl->window) {
        SPDLOG_ERROR("WindowCapture not initialized");
        return false;
    }
    if (impl->thread.joinable()) impl->thread.join();  // an earlier capture that ended by itself
    Display* dpy = impl->display;
    const Window win = impl->window;

    const auto mark = impl->trap->errorCount();
    XSelectInput(dpy, win, StructureNotifyMask);
    XCompositeRedirectWindow(dpy, win, CompositeRedirectAutomatic);
    impl->damage = XDamageCreate(dpy, win, XDamageReportNonEmpty);
    XWindowAttributes attrs;
    const bool alive = XGetWindowAttributes(dpy, win, &attrs);
    if (impl->failedSince(mark) || !alive) {
        SPDLOG_ERROR("Failed to start capture: X error {} for window {:x}", impl->trap->lastErrorCode(), win);
        impl->releaseCaptureResources();
        return false;
    }
    impl->visual = attrs.visual;
    impl->depth = attrs.depth;
    if (!fitsVideoLimits(static_cast<std::uint32_t>(attrs.width), static_cast<std::uint32_t>(attrs.height))) {
        SPDLOG_ERROR("Failed to start capture: window {:x} is {}x{}, larger than H.264 can carry", win, attrs.width,
                      attrs.height);
        impl->releaseCaptureResources();
        return false;
    }
    if (!impl->createImage(static_cast<std::uint32_t>(attrs.width), static_cast<std::uint32_t>(attrs.height))) {
        SPDLOG_ERROR("Failed to start capture: no {}x{} image for window {:x}", attrs.width, attrs.height, win);
        impl->releaseCaptureResources();
        return false;
    }
    impl->width.store(static_cast<std::uint32_t>(attrs.width));
    impl->height.store(static_cast<std::uint32_t>(attrs.height));

    if (impl->wakeRead < 0) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
            SPDLOG_ERROR("Failed to start capture: {}", std::strerror(errno));
            impl->releaseCaptureResources();
            return false;
        }
        impl->wakeRead = fds[0];
        impl->wakeWrite = fds[1];
    }
    impl->stopRequested.store(false);
    impl->capturing.store(true);
    {
        std::lock_guard lock(impl->threadMutex);
        impl->thread = std::thread([state = impl, cb = std::move(callback)]() mutable { state->run(std::move(cb)); });
    }
    SPDLOG_INFO("Capture started for window {:x}", win);
    return true;
}

void WindowCapture::stopCapture() {
    if (!impl->thread.joinable()) {
        impl->capturing.store(false);
        return;
    }
    impl->stopRequested.store(true);
    impl->wake();
    if (std::this_thread::get_id() == impl->thread.get_id()) {
        // Inside the frame callback: the loop ends once this frame returns.
        if (impl->capturing.exchange(false)) SPDLOG_INFO("Capture stopped");
        return;
    }
    impl->thread.join();
}

bool WindowCapture::isCapturing() const { return impl->capturing.load(); }

void WindowCapture::repeatLastFrame() {
    if (!impl->capturing.load()) return;
    impl->repeatRequested.store(true);
    impl->wake();
}

bool WindowCapture::windowExists(std::uint32_t windowId) {
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

std::unique_ptr<CaptureSource> createWindowCapture() { return std::make_unique<WindowCapture>(); }

bool windowCaptureTargetExists(std::uint32_t windowId) { return WindowCapture::windowExists(windowId); }

}  // namespace quillane::host
