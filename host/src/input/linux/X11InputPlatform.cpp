#include "input/InputPlatform.h"
#include "platform/CrashHandler.h"

#include "input/linux/X11KeyTable.h"
#include "platform/linux/X11ErrorTrap.h"
#include "platform/linux/X11Property.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xrandr.h>
#include <X11/keysym.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <tuple>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace quillane::host {
namespace {

// Window sides travel as 16-bit numbers and positions as signed 16-bit ones;
// larger values would wrap on the wire.
constexpr std::int64_t kMaxSide = 32767;
// A frame thicker than this is a broken property, not a frame.
constexpr long kMaxFrameExtent = 4096;

// A rebound spare key keeps its keysym this long after its last use: a client reads the key map
// when it handles the key event, and a binding undone at once would give it an empty character.
constexpr auto kSpareHold = std::chrono::milliseconds(50);
// Spare key codes used in turn, so that a pasted line of such characters finds one free for each
// (a character that finds them all still held is dropped).
constexpr std::size_t kMaxSpares = 64;
// Every key map change makes each X client on the desktop reload its key map: at most this many
// in any one second. A character that would need one more is dropped.
constexpr std::size_t kMaxKeymapChangesPerSecond = 100;
constexpr auto kDroppedTextWarningInterval = std::chrono::seconds(10);
// Wheel notches sent for one input at most; a larger delta is a broken client.
constexpr std::int32_t kMaxWheelClicks = 100;
constexpr std::int32_t kWheelDelta = 120;
constexpr std::int64_t kAbsoluteRange = 65535;
constexpr long kNetWmStateRemoveOrAdd = 2;
constexpr long kSourcePager = 2;  // asked for on the user's behalf, so no focus-stealing prevention

std::atomic<bool> warnedNoDisplay{false};

// The pixel whose screenToAbsolute is `absolute`: the exact inverse of the injector's mapping
// ((p - origin) * 65535 + extent / 2) / extent, or the nearest pixel for units no pixel maps to.
std::int32_t absoluteToPixel(std::int32_t absolute, std::int32_t origin, std::int32_t extent) {
    if (extent <= 0) return absolute;
    const auto forward = [&](std::int64_t p) { return (p * kAbsoluteRange + extent / 2) / extent; };
    const std::int64_t guess = (std::int64_t{absolute} * extent + kAbsoluteRange / 2) / kAbsoluteRange;
    for (std::int64_t p = std::max<std::int64_t>(0, guess - 1); p <= guess + 1; ++p) {
        if (forward(p) == absolute) return static_cast<std::int32_t>(origin + p);
    }
    return static_cast<std::int32_t>(origin + std::clamp<std::int64_t>(guess, 0, extent - 1));
}

bool isHighSurrogate(std::uint16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool isLowSurrogate(std::uint16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

std::int32_t clampSide(std::int64_t side) {
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(side, 0, kMaxSide));
}

// The key map changes of the last second, bounded to kMaxKeymapChangesPerSecond.
class KeymapChangeBudget {
public:
    using Clock = std::chrono::steady_clock;

    // True, and counted, when a change may be made at `now`.
    bool take(Clock::time_point now) {
        forgetOlderThanASecond(now);
        if (changes.size() >= kMaxKeymapChangesPerSecond) return false;
        changes.push_back(now);
        return true;
    }
    // Counts a change that has to be made anyway (undoing bindings).
    void record(Clock::time_point now) {
        forgetOlderThanASecond(now);
        changes.push_back(now);
    }

private:
    void forgetOlderThanASecond(Clock::time_point now) {
        while (!changes.empty() && now - changes.front() >= std::chrono::seconds(1)) changes.pop_front();
    }

    std::deque<Clock::time_point> changes;
};

// Space around a window's interior: the window manager's frame and the
// window's own border.
struct Frame {
    long left = 0, right = 0, top = 0, bottom = 0;
};

// Its own connection, used under one lock: the signalling and input threads
// call it, while the capture side has connections of its own. Pointer, buttons
// and keys go through XTest; a character without a key on the current layout
// is typed on a spare key code bound to its keysym for a moment.
class X11InputPlatform final : public InputPlatform {
public:
    X11InputPlatform() {
        display = XOpenDisplay(nullptr);
        if (display == nullptr) {
            if (!warnedNoDisplay.exchange(true))
                SPDLOG_WARN("Cannot open the X display; input cannot be injected nor windows resized");
            return;
        }
        trap = std::make_unique<X11ErrorTrap>(display);
        root = DefaultRootWindow(display);
        frameExtents = XInternAtom(display, "_NET_FRAME_EXTENTS", False);
        activeWindow = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
        wmState = XInternAtom(display, "WM_STATE", False);
        netWmState = XInternAtom(display, "_NET_WM_STATE", False);
        netWmStateHidden = XInternAtom(display, "_NET_WM_STATE_HIDDEN", False);
        netWmPid = XInternAtom(display, "_NET_WM_PID", False);
        // The active window is kept from the root's property notifications, not asked per key.
        XSelectInput(display, root, PropertyChangeMask);
        int eventBase = 0, errorBase = 0, major = 0, minor = 0;
        xtest = XTestQueryExtension(display, &eventBase, &errorBase, &major, &minor) != 0;
        if (!xtest) SPDLOG_WARN("The X server has no XTEST extension; input cannot be injected");
        findSpareKeycodes();
        restorer = std::thread([this] {
            prepareThreadForCrashHandling();
            restoreSparesLoop();
        });
    }

    ~X11InputPlatform() override {
        if (display == nullptr) return;
        {
            std::lock_guard lock(mutex);
            stopping = true;
        }
        spareChanged.notify_all();
        restorer.join();
        {
            std::lock_guard lock(mutex);
            for (Spare& spare : spares) {
                if (spare.pressed) XTestFakeKeyEvent(display, spare.code, False, CurrentTime);
                spare.pressed = false;
            }
            unbindIdleSpares();
            XSync(display, False);
        }
        trap.reset();
        XCloseDisplay(display);
    }

    X11InputPlatform(const X11InputPlatform&) = delete;
    X11InputPlatform& operator=(const X11InputPlatform&) = delete;

    bool isWindow(NativeWindow window) override {
        std::lock_guard lock(mutex);
        XWindowAttributes attributes;
        return display != nullptr && window != 0 && readAttributes(window, attributes);
    }

    std::optional<WindowRect> windowRect(NativeWindow window, std::uint32_t& error) override {
        std::lock_guard lock(mutex);
        if (display == nullptr) return std::nullopt;
        const std::size_t errorsBefore = trap->errorCount();
        XWindowAttributes attributes;
        int x = 0, y = 0;
        Window child = 0;
        if (!readAttributes(window, attributes) ||
            !XTranslateCoordinates(display, window, root, 0, 0, &x, &y, &child)) {
            XSync(display, False);
            error = trap->errorCount() != errorsBefore ? trap->lastErrorCode() : BadWindow;
            return std::nullopt;
        }
        const Frame f = frameOf(window, attributes);
        return WindowRect{static_cast<std::int32_t>(x - f.left), static_cast<std::int32_t>(y - f.top),
                          static_cast<std::int32_t>(x + attributes.width + f.right),
                          static_cast<std::int32_t>(y + attributes.height + f.bottom)};
    }

    WindowRect adjustClientRect(NativeWindow window, const WindowRect& client) override {
        std::lock_guard lock(mutex);
        const Frame f = frame(window);
        return WindowRect{static_cast<std::int32_t>(client.left - f.left), static_cast<std::int32_t>(client.top - f.top),
                          static_cast<std::int32_t>(client.right + f.right),
                          static_cast<std::int32_t>(client.bottom + f.bottom)};
    }

    WindowSize minimumTrackingSize(NativeWindow window) override {
        std::lock_guard lock(mutex);
        if (display == nullptr) return {};
        XSizeHints* hints = XAllocSizeHints();
        if (hints == nullptr) return {};
        std::unique_ptr<XSizeHints, int (*)(void*)> owned(hints, XFree);
        long supplied = 0;
        if (!XGetWMNormalHints(display, window, hints, &supplied)) return {};
        std::int64_t width = 0, height = 0;
        if (hints->flags & PMinSize) {
            width = hints->min_width;
            height = hints->min_height;
        } else if (hints->flags & PBaseSize) {  // the minimum when none is given
            width = hints->base_width;
            height = hints->base_height;
        }
        const Frame f = frame(window);
        WindowSize minimum;
        if (width > 0) minimum.width = clampSide(width + f.left + f.right);
        if (height > 0) minimum.height = clampSide(height + f.top + f.bottom);
        return minimum;
    }

    WindowSize primaryScreenSize() override {
        std::lock_guard lock(mutex);
        if (display == nullptr) return {};
        if (const auto primary = primaryOutputSize()) return *primary;
        const int screen = DefaultScreen(display);
        return WindowSize{DisplayWidth(display, screen), DisplayHeight(display, screen)};
    }

    bool setWindowPos(NativeWindow window, std::int32_t x, std::int32_t y, WindowSize outer, bool keepPosition,
                      std::uint32_t& error) override {
        std::lock_guard lock(mutex);
        if (display == nullptr) {
            error = BadWindow;
            return false;
        }
        const std::size_t errorsBefore = trap->errorCount();
        const Frame f = frame(window);
        // X knows no empty windows; a zero-sized client area becomes one pixel.
        const auto width = static_cast<unsigned>(std::max<std::int32_t>(1, clampSide(std::int64_t{outer.width} - f.left - f.right)));
        const auto height = static_cast<unsigned>(std::max<std::int32_t>(1, clampSide(std::int64_t{outer.height} - f.top - f.bottom)));
        if (keepPosition) {
            XResizeWindow(display, window, width, height);
        } else {
            // With the default (north-west) gravity the window manager puts the
            // frame's corner where the client asks its own corner to be.
            XMoveResizeWindow(display, window, std::clamp<int>(x, -kMaxSide, kMaxSide),
                              std::clamp<int>(y, -kMaxSide, kMaxSide), width, height);
        }
        XSync(display, False);
        if (trap->errorCount() != errorsBefore) {
            error = trap->lastErrorCode();
            return false;
        }
        return true;
    }


    // ---- injection ----

    std::uint32_t sendInputs(std::span<const SyntheticInput> inputs) override {
        std::lock_guard lock(mutex);
        if (display == nullptr || !xtest) return 0;
        std::uint32_t inserted = 0;
        bool keys = false;
        for (const SyntheticInput& input : inputs) {
            keys = keys || input.kind == SyntheticInput::Kind::Keyboard;
            const bool ok = input.kind == SyntheticInput::Kind::Mouse ? sendMouse(input) : sendKey(input);
            if (ok) ++inserted;
        }
        if (keys) {
            // A key code the server refuses is an error to collect here, not later on another call.
            XSync(display, False);
        } else {
            XFlush(display);
        }
        drainEvents();
        return inserted;
    }

    VirtualScreen virtualScreen() override {
        std::lock_guard lock(mutex);
        if (display == nullptr) return {};
        return screenLocked();
    }

    std::optional<WindowRect> mappingRect(NativeWindow window) override {
        // The client window itself, as the window list reports it and capture shows it.
        std::lock_guard lock(mutex);
        if (display == nullptr || window == 0) return std::nullopt;
        XWindowAttributes attributes;
        int x = 0, y = 0;
        Window child = 0;
        if (!readAttributes(window, attributes) ||
            !XTranslateCoordinates(display, window, root, 0, 0, &x, &y, &child))
            return std::nullopt;
        return WindowRect{x, y, x + attributes.width, y + attributes.height};
    }

    NativeWindow windowFromPoint(std::int32_t x, std::int32_t y) override {
        std::lock_guard lock(mutex);
        if (display == nullptr) return 0;
        // The server picks the topmost viewable child of the root under the point.
        int childX = 0, childY = 0;
        Window top = 0;
        if (!XTranslateCoordinates(display, root, root, x, y, &childX, &childY, &top) || top == 0) return 0;
        const Window client = clientOf(top, 3);
        return client != 0 ? client : top;
    }

    NativeWindow rootWindow(NativeWindow window) override {
        std::lock_guard lock(mutex);
        return display != nullptr ? topLevelOf(window) : 0;
    }

    bool sameApplication(NativeWindow window, NativeWindow other) override {
        std::lock_guard lock(mutex);
        if (display == nullptr || window == 0 || other == 0) return false;
        const std::uint32_t pid = processOf(window);
        if (pid != 0 && pid == processOf(other)) return true;
        return isTransientFor(other, window) || isTransientFor(window, other);
    }

    std::uint16_t scanCode(std::uint8_t vk) override {
        std::lock_guard lock(mutex);
        const KeySym keysym = keysymForVk(vk);
        if (display == nullptr || keysym == 0) return 0;
        return XKeysymToKeycode(display, keysym);
    }

    // ---- focus ----

    NativeWindow foregroundWindow() override {
        std::lock_guard lock(mutex);
        if (display == nullptr) return 0;
        drainEvents();  // a change of the active window clears the cached one
        if (activeKnown) return activeCached;
        if (const auto p = readX11Property(display, root, activeWindow, XA_WINDOW, 1);
            p && p->format == 32 && !p->values.empty() && p->values[0] != 0) {
            activeCached = p->values[0];
            activeKnown = true;
            return activeCached;
        }
        Window focus = 0;
        int revert = 0;
        XGetInputFocus(display, &focus, &revert);
        return focus > PointerRoot ? focus : 0;
    }

    bool isIconic(NativeWindow window) override {
        std::lock_guard lock(mutex);
        if (display == nullptr) return false;
        constexpr std::uint32_t kIconicState = 3;
        if (const auto p = readX11Property(display, window, wmState, wmState, 2);
            p && p->format == 32 && !p->values.empty() && p->values[0] == kIconicState)
            return true;
        if (const auto p = readX11Property(display, window, netWmState, XA_ATOM, 32); p && p->format == 32)
            return std::find(p->values.begin(), p->values.end(), netWmStateHidden) != p->values.end();
        return false;
    }

    bool isVisible(NativeWindow window) override {
        std::lock_guard lock(mutex);
        XWindowAttributes attributes;
        return display != nullptr && readAttributes(window, attributes) && attributes.map_state == IsViewable;
    }

    void showWindow(NativeWindow window, bool restore) override {
        std::lock_guard lock(mutex);
        if (display == nullptr) return;
        // Mapping an iconic window asks the window manager to restore it.
        XMapWindow(display, window);
        if (restore) sendActivate(window);
        XSync(display, False);
    }

    void bringToTop(NativeWindow window) override {
        std::lock_guard lock(mutex);
        if (display == nullptr) return;
        XRaiseWindow(display, window);
        XSync(display, False);
    }

    bool setForeground(NativeWindow window) override {
        std::lock_guard lock(mutex);
        if (display == nullptr) return false;
        const std::size_t errorsBefore = trap->errorCount();
        sendActivate(window);
        XSync(display, False);
        return trap->errorCount() == errorsBefore;
    }

    std::uint32_t lastError() override {
        std::lock_guard lock(mutex);
        return trap ? trap->lastErrorCode() : 0;
    }

    // X has no input-queue threads: the "attach" step only sets the keyboard focus directly.
    std::uint32_t windowThread(NativeWindow) override { return 0; }
    std::uint32_t currentThread() override { return 0; }
    bool attachThreadInput(std::uint32_t, std::uint32_t, bool) override { return false; }

    void setFocus(NativeWindow window) override {
        std::lock_guard lock(mutex);
        if (display == nullptr) return;
        XWindowAttributes attributes;
        // Focusing an unviewable window is an error.
        if (readAttributes(window, attributes) && attributes.map_state == IsViewable)
            XSetInputFocus(display, window, RevertToParent, CurrentTime);
        XSync(display, False);
    }

    void setActiveWindow(NativeWindow window) override { setForeground(window); }

    void sleepMs(std::int32_t milliseconds) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }

private:
    struct Spare {
        KeyCode code = 0;
        KeySym keysym = NoSymbol;
        std::chrono::steady_clock::time_point lastUse{};
        bool pressed = false;
    };

    // ---- injection helpers; callers hold mutex ----

    VirtualScreen screenLocked() {
        const int screen = DefaultScreen(display);
        return VirtualScreen{0, 0, DisplayWidth(display, screen), DisplayHeight(display, screen)};
    }

    bool sendMouse(const SyntheticInput& input) {
        using namespace mouse_flags;
        bool ok = true;
        if (input.flags & kMove) {
            if (input.flags & kAbsolute) {
                const VirtualScreen vs = screenLocked();
                ok = XTestFakeMotionEvent(display, -1, absoluteToPixel(input.dx, vs.left, vs.width),
                                          absoluteToPixel(input.dy, vs.top, vs.height), CurrentTime) != 0;
            } else {
                ok = XTestFakeRelativeMotionEvent(display, input.dx, input.dy, CurrentTime) != 0;
            }
        }
        const unsigned xButton = input.data == kXButton2 ? 9 : 8;
        const std::array<std::tuple<std::uint32_t, unsigned, bool>, 8> buttons{{{kLeftDown, 1, true},
                                                                                {kLeftUp, 1, false},
                                                                                {kRightDown, 3, true},
                                                                                {kRightUp, 3, false},
                                                                                {kMiddleDown, 2, true},
                                                                                {kMiddleUp, 2, false},
                                                                                {kXDown, xButton, true},
                                                                                {kXUp, xButton, false}}};
        for (const auto& [flag, button, press] : buttons) {
            if (input.flags & flag) ok = XTestFakeButtonEvent(display, button, press, CurrentTime) != 0 && ok;
        }
        if (input.flags & kWheel) ok = clickWheel(wheelRemainder, input.data, 4, 5) && ok;
        if (input.flags & kHWheel) ok = clickWheel(hwheelRemainder, input.data, 7, 6) && ok;
        return ok;
    }

    // Whole notches as clicks of the positive or negative button; the rest waits for more.
    bool clickWheel(std::int32_t& remainder, std::int32_t delta, unsigned positive, unsigned negative) {
        remainder = std::clamp(remainder + delta, -kMaxWheelClicks * kWheelDelta, kMaxWheelClicks * kWheelDelta);
        const std::int32_t notches = remainder / kWheelDelta;
        remainder -= notches * kWheelDelta;
        const unsigned button = notches > 0 ? positive : negative;
        bool ok = true;
        for (std::int32_t i = 0; i < std::abs(notches); ++i) {
            ok = XTestFakeButtonEvent(display, button, True, CurrentTime) != 0 && ok;
            ok = XTestFakeButtonEvent(display, button, False, CurrentTime) != 0 && ok;
        }
        return ok;
    }

    bool sendKey(const SyntheticInput& input) {
        const bool release = (input.flags & key_flags::kKeyUp) != 0;
        if (input.flags & key_flags::kUnicode) {
            // The character is typed whole on its press.
            if (release) return true;
            return typeUnit(input.scan);
        }
        if (release) {
            const KeyCode held = heldKeycodes[input.vk];
            heldKeycodes[input.vk] = 0;
            // Not down (released already, or pressed before a reconnect): nothing to do.
            if (held == 0) return true;
            releaseSpare(held);
            return XTestFakeKeyEvent(display, held, False, CurrentTime) != 0;
        }
        const KeySym keysym = keysymForVk(static_cast<std::uint8_t>(input.vk));
        if (keysym == 0) return false;
        KeyCode code = keycodeAtLevel(keysym, 0);
        if (code == 0) {
            bool dropped = false;
            Spare* spare = spareFor(keysym, dropped);
            if (dropped) return true;  // counted and reported where it was dropped
            if (spare == nullptr) return false;
            spare->pressed = true;
            code = spare->code;
        }
        heldKeycodes[input.vk] = code;
        return XTestFakeKeyEvent(display, code, True, CurrentTime) != 0;
    }

    bool typeUnit(std::uint16_t unit) {
        std::uint32_t codepoint = unit;
        if (isHighSurrogate(unit)) {
            pendingHighSurrogate = unit;
            return true;
        }
        if (isLowSurrogate(unit)) {
            if (pendingHighSurrogate == 0) return false;
            codepoint = 0x10000 + ((std::uint32_t{pendingHighSurrogate} - 0xD800) << 10) + (unit - 0xDC00);
        }
        pendingHighSurrogate = 0;
        const KeySym keysym = keysymForCodepoint(codepoint);
        if (keysym == 0) return false;
        const bool shiftHeld = isShiftHeld();
        if (const KeyCode plain = keycodeAtLevel(keysym, 0); plain != 0 && !shiftHeld) return tap(plain, 0);
        if (const KeyCode shifted = keycodeAtLevel(keysym, 1); shifted != 0) {
            return tap(shifted, shiftHeld ? 0 : XKeysymToKeycode(display, XK_Shift_L));
        }
        bool dropped = false;
        Spare* spare = spareFor(keysym, dropped);
        if (dropped) return true;  // counted and reported where it was dropped
        return spare != nullptr && tap(spare->code, 0);
    }

    // Press and release, with `modifier` held around them when it is not 0.
    bool tap(KeyCode code, KeyCode modifier) {
        bool ok = true;
        if (modifier != 0) ok = XTestFakeKeyEvent(display, modifier, True, CurrentTime) != 0;
        ok = XTestFakeKeyEvent(display, code, True, CurrentTime) != 0 && ok;
        ok = XTestFakeKeyEvent(display, code, False, CurrentTime) != 0 && ok;
        if (modifier != 0) ok = XTestFakeKeyEvent(display, modifier, False, CurrentTime) != 0 && ok;
        return ok;
    }

    bool isShiftHeld() {
        char keys[32] = {};
        XQueryKeymap(display, keys);
        for (const KeySym shift : {XK_Shift_L, XK_Shift_R}) {
            const KeyCode code = XKeysymToKeycode(display, shift);
            if (code != 0 && (keys[code / 8] & (1 << (code % 8)))) return true;
        }
        return false;
    }

    // A key code that types keysym at the level (0 plain, 1 shifted), not one of the spares.
    KeyCode keycodeAtLevel(KeySym keysym, int level) {
        const KeyCode code = XKeysymToKeycode(display, keysym);
        if (code == 0 || isSpare(code)) return 0;
        return XkbKeycodeToKeysym(display, code, 0, level) == keysym ? code : 0;
    }

    bool isSpare(KeyCode code) const {
        return std::any_of(spares.begin(), spares.end(), [code](const Spare& s) { return s.code == code; });
    }

    // A spare key code bound to keysym: one that already is, else the one unused longest. None, and
    // `dropped` set, while that one's last character may still be unread or when the key map has
    // changed too often in the last second: waiting here would hold up every input.
    Spare* spareFor(KeySym keysym, bool& dropped) {
        const auto now = std::chrono::steady_clock::now();
        Spare* chosen = nullptr;
        for (Spare& spare : spares) {
            if (spare.keysym == keysym) {
                spare.lastUse = now;
                return &spare;
            }
            if (!spare.pressed && (chosen == nullptr || spare.lastUse < chosen->lastUse)) chosen = &spare;
        }
        if (chosen == nullptr) {
            if (!warnedNoSpare) SPDLOG_WARN("No spare key code left to type keysym {:#x}", keysym);
            warnedNoSpare = true;
            return nullptr;
        }
        const bool stillHeld = chosen->keysym != NoSymbol && chosen->lastUse + kSpareHold > now;
        if (stillHeld || !keymapBudget.take(now)) {
            dropped = true;
            dropCharacter(now);
            return nullptr;
        }
        bind(*chosen, keysym);
        chosen->lastUse = now;
        spareChanged.notify_all();
        return chosen;
    }

    void dropCharacter(std::chrono::steady_clock::time_point now) {
        ++droppedCharacters;
        if (lastDropWarning && now - *lastDropWarning < kDroppedTextWarningInterval) return;
        SPDLOG_WARN("Dropping typed characters without a key on the layout: the key map changes at most {} times a "
                    "second ({} dropped since the last report)",
                    kMaxKeymapChangesPerSecond, droppedCharacters);
        droppedCharacters = 0;
        lastDropWarning = now;
    }

    void releaseSpare(KeyCode code) {
        for (Spare& spare : spares) {
            if (spare.code == code) {
                spare.pressed = false;
                spare.lastUse = std::chrono::steady_clock::now();
                spareChanged.notify_all();
            }
        }
    }

    void bind(Spare& spare, KeySym keysym) {
        KeySym syms[2] = {keysym, keysym};
        XChangeKeyboardMapping(display, spare.code, 2, syms, 1);
        spare.keysym = keysym;
    }

    // Clears the bound spares that are not held down, one change per run of adjacent key codes
    // (the spares are taken from the top of the range, so usually one change for all).
    void unbindIdleSpares() {
        std::vector<KeyCode> codes;
        for (Spare& spare : spares) {
            if (spare.keysym != NoSymbol && !spare.pressed) {
                codes.push_back(spare.code);
                spare.keysym = NoSymbol;
            }
        }
        std::sort(codes.begin(), codes.end());
        const std::vector<KeySym> none(2 * codes.size(), NoSymbol);
        for (std::size_t first = 0; first < codes.size();) {
            std::size_t end = first + 1;
            while (end < codes.size() && codes[end] == codes[end - 1] + 1) ++end;
            XChangeKeyboardMapping(display, codes[first], 2, const_cast<KeySym*>(none.data()),
                                   static_cast<int>(end - first));
            keymapBudget.record(std::chrono::steady_clock::now());
            first = end;
        }
    }

    void findSpareKeycodes() {
        int minCode = 0, maxCode = 0, perCode = 0;
        XDisplayKeycodes(display, &minCode, &maxCode);
        KeySym* map = XGetKeyboardMapping(display, static_cast<KeyCode>(minCode), maxCode - minCode + 1, &perCode);
        if (map == nullptr) return;
        // From the top, where layouts leave codes unused.
        for (int code = maxCode; code >= minCode && spares.size() < kMaxSpares; --code) {
            const KeySym* syms = map + (code - minCode) * perCode;
            if (std::all_of(syms, syms + perCode, [](KeySym k) { return k == NoSymbol; }))
                spares.push_back(Spare{static_cast<KeyCode>(code)});
        }
        XFree(map);
        if (spares.empty()) SPDLOG_WARN("No unused key code; characters without a key cannot be typed");
    }

    // Bindings are undone together once no spare was used for kSpareHold, so a client that
    // falls behind during a burst of text still reads every character of it.
    void restoreSparesLoop() {
        std::unique_lock lock(mutex);
        while (!stopping) {
            std::optional<std::chrono::steady_clock::time_point> lastUse;
            for (const Spare& spare : spares) {
                if (spare.keysym != NoSymbol && !spare.pressed && (!lastUse || spare.lastUse > *lastUse))
                    lastUse = spare.lastUse;
            }
            if (!lastUse) {
                spareChanged.wait(lock);
                continue;
            }
            if (*lastUse + kSpareHold > std::chrono::steady_clock::now()) {
                spareChanged.wait_until(lock, *lastUse + kSpareHold);
                continue;
            }
            unbindIdleSpares();
            XSync(display, False);
            drainEvents();
        }
    }

    // The connection reads no events, but the server sends every client the key map changes.
    void drainEvents() {
        while (XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type == MappingNotify) XRefreshKeyboardMapping(&event.xmapping);
            if (event.type == PropertyNotify && event.xproperty.atom == activeWindow) activeKnown = false;
        }
    }

    void sendActivate(NativeWindow window) {
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = window;
        event.xclient.message_type = activeWindow;
        event.xclient.format = 32;
        event.xclient.data.l[0] = kSourcePager;
        event.xclient.data.l[1] = CurrentTime;
        XSendEvent(display, root, False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
    }

    // The child of the root that holds the window (the window manager's frame, or the window).
    Window topLevelOf(NativeWindow window) {
        Window current = window;
        for (int depth = 0; depth < 64 && current != 0; ++depth) {
            Window rootReturn = 0, parent = 0;
            Window* children = nullptr;
            unsigned count = 0;
            if (!XQueryTree(display, current, &rootReturn, &parent, &children, &count)) return 0;
            if (children != nullptr) XFree(children);
            if (parent == root || parent == 0) return current;
            current = parent;
        }
        return 0;
    }

    // The window below top (or top) that carries WM_STATE: the application's own window.
    Window clientOf(Window top, int depth) {
        if (readX11Property(display, top, wmState, AnyPropertyType, 1)) return top;
        if (depth == 0) return 0;
        Window rootReturn = 0, parent = 0;
        Window* children = nullptr;
        unsigned count = 0;
        if (!XQueryTree(display, top, &rootReturn, &parent, &children, &count)) return 0;
        Window found = 0;
        for (unsigned i = count; i-- > 0 && found == 0;) found = clientOf(children[i], depth - 1);
        if (children != nullptr) XFree(children);
        return found;
    }

    // The _NET_WM_PID of a client window; 0 when it has none.
    std::uint32_t processOf(Window window) {
        const auto p = readX11Property(display, window, netWmPid, XA_CARDINAL, 1);
        return p && p->format == 32 && !p->values.empty() ? p->values[0] : 0;
    }

    // The window's WM_TRANSIENT_FOR chain leads to owner.
    bool isTransientFor(Window window, Window owner) {
        constexpr int kMaxChain = 8;
        Window current = window;
        for (int depth = 0; depth < kMaxChain; ++depth) {
            Window next = 0;
            if (!XGetTransientForHint(display, current, &next) || next == 0 || next == root) return false;
            if (next == owner) return true;
            current = next;
        }
        return false;
    }

    // Caller holds mutex.
    bool readAttributes(NativeWindow window, XWindowAttributes& attributes) {
        return XGetWindowAttributes(display, window, &attributes) != 0;
    }

    Frame frame(NativeWindow window) {
        if (display == nullptr) return {};
        XWindowAttributes attributes;
        if (!readAttributes(window, attributes)) return {};
        return frameOf(window, attributes);
    }

    Frame frameOf(NativeWindow window, const XWindowAttributes& attributes) {
        Frame f;
        if (const auto p = readX11Property(display, window, frameExtents, XA_CARDINAL, 4);
            p && p->format == 32 && p->values.size() == 4) {
            const auto extent = [](std::uint32_t e) { return std::min<long>(e, kMaxFrameExtent); };
            f = Frame{extent(p->values[0]), extent(p->values[1]), extent(p->values[2]), extent(p->values[3])};
        }
        const long border = std::clamp(static_cast<long>(attributes.border_width), 0L, kMaxFrameExtent);
        f.left += border;
        f.right += border;
        f.top += border;
        f.bottom += border;
        return f;
    }

    // The RandR primary output's mode size, when the server names one.
    std::optional<WindowSize> primaryOutputSize() {
        int eventBase = 0, errorBase = 0;
        if (!XRRQueryExtension(display, &eventBase, &errorBase)) return std::nullopt;
        const RROutput output = XRRGetOutputPrimary(display, root);
        if (output == None) return std::nullopt;
        XRRScreenResources* resources = XRRGetScreenResourcesCurrent(display, root);
        if (resources == nullptr) return std::nullopt;
        std::optional<WindowSize> size;
        if (XRROutputInfo* info = XRRGetOutputInfo(display, resources, output)) {
            if (info->crtc != None) {
                if (XRRCrtcInfo* crtc = XRRGetCrtcInfo(display, resources, info->crtc)) {
                    if (crtc->width > 0 && crtc->height > 0)
                        size = WindowSize{static_cast<std::int32_t>(crtc->width),
                                          static_cast<std::int32_t>(crtc->height)};
                    XRRFreeCrtcInfo(crtc);
                }
            }
            XRRFreeOutputInfo(info);
        }
        XRRFreeScreenResources(resources);
        return size;
    }

    std::mutex mutex;
    Display* display = nullptr;
    std::unique_ptr<X11ErrorTrap> trap;
    Window root = 0;
    Atom frameExtents = None;
    Atom activeWindow = None;
    Atom wmState = None;
    Atom netWmState = None;
    Atom netWmStateHidden = None;
    Atom netWmPid = None;
    bool activeKnown = false;  // activeCached is the root's _NET_ACTIVE_WINDOW
    Window activeCached = 0;
    bool xtest = false;
    std::int32_t wheelRemainder = 0;
    std::int32_t hwheelRemainder = 0;
    std::uint16_t pendingHighSurrogate = 0;
    std::array<KeyCode, 256> heldKeycodes{};  // by virtual key, the code its press went to
    std::vector<Spare> spares;
    bool warnedNoSpare = false;
    KeymapChangeBudget keymapBudget;
    std::size_t droppedCharacters = 0;  // since the last warning
    std::optional<std::chrono::steady_clock::time_point> lastDropWarning;
    bool stopping = false;
    std::condition_variable spareChanged;
    std::thread restorer;  // last: started once everything above exists
};

}  // namespace

std::shared_ptr<InputPlatform> createInputPlatform() {
    return std::make_shared<X11InputPlatform>();
}

}  // namespace quillane::host
