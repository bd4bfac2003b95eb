#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "common/RateLimiter.h"
#include "input/InputInjector.h"

namespace quillane::host {

class FocusManager;

// (intended window, actual window); actual is 0 when no window lies under the press.
using ClickMismatchCallback = std::function<void(NativeWindow intended, NativeWindow actual)>;
// The window of a running stream; 0 when the stream is not running.
using StreamWindowLookup = std::function<NativeWindow(std::uint8_t streamId)>;

// The connection an input record came on; each is a source of its own for rate-limited warnings.
enum class InputRoad : std::uint8_t { Video = 0, Input = 1 };

// The one place where the client's input records become injector calls, for both connections,
// and where the rules that confine input to the streamed window live:
// - a record acts only on the window of a running stream it names; anything else is dropped;
// - keys and text go in only while that window (or a window of its application) is in front:
//   otherwise the focus steps run, and the record is dropped when it still is not;
// - a press or wheel over a window of another application raises the target first and is
//   dropped (with the matching release) when the target stays covered there;
// - a wait for the desktop (the focus steps, a raised window's restack) is paid once for a
//   condition that lasts: a window that would not come forward, or a cover that stayed above it,
//   is not waited for again for a while; and only a record that arrived moments ago may wait at
//   all, so none is acted on or dropped later than half a second after it arrived;
// - keys that act on the whole machine (sleep, browser, launchers) are never injected;
// - a release of something the injector holds is always delivered.
//
// Threads: it waits on the desktop (a focus attempt may sleep about 160 ms), so only the input
// thread (InputThread) calls it, never a connection's thread; one mutex makes each record whole
// (its target, checks and injection). The mismatch callback runs after it is released; the focus
// manager's failure callback runs under it.
class InputRouter {
public:
    using Clock = std::chrono::steady_clock;

    InputRouter(std::shared_ptr<InputPlatform> platform, std::shared_ptr<InputInjector> injector,
                std::shared_ptr<FocusManager> focus, StreamWindowLookup streamWindow);
    InputRouter(const InputRouter&) = delete;
    InputRouter& operator=(const InputRouter&) = delete;

    // Install before records arrive.
    void setClickMismatchCallback(ClickMismatchCallback callback);

    // A record of the video connection: a Char carries its character in code. `arrived`: when the
    // host received it.
    void routeClientInput(std::uint8_t streamId, const InputPacket& packet, Clock::time_point arrived = Clock::now());
    // A record of the input connection: a Char carries one UTF-16 code unit in x.
    void routeInputEvent(std::uint8_t streamId, const InputPacket& packet, Clock::time_point arrived = Clock::now());

    // A stream ended: what its records pressed is released (the modifiers too when its record
    // set them last), nothing else held is touched, and its window stops being the target.
    void streamEnded(std::uint8_t streamId, NativeWindow window);
    // A connection that carried input ended: everything held is released, and what was learnt
    // about the desktop is tried afresh for the next client.
    void connectionEnded();

    // Keys that act on the machine whatever window is in front.
    static bool isMachineKey(std::uint8_t vk);

private:
    struct Mismatch {
        NativeWindow intended = 0;
        NativeWindow actual = 0;
    };
    // A window that stayed above the target after it was raised.
    struct Cover {
        NativeWindow above = 0;
        Clock::time_point seen{};
    };

    void route(InputRoad road, std::uint8_t streamId, const InputPacket& packet, std::uint16_t character,
               Clock::time_point arrived);
    void routeMouse(InputRoad road, std::uint8_t streamId, NativeWindow window, const InputPacket& packet,
                    std::optional<Mismatch>& mismatch);
    void routeKeyboard(std::uint8_t streamId, NativeWindow window, const InputPacket& packet,
                       std::uint16_t character);
    void releaseButton(std::uint8_t button);
    void releaseHeldFor(std::uint8_t streamId);
    // The point of a press or wheel with the target uncovered there (raised first when needed).
    std::optional<ScreenPoint> reachablePoint(InputRoad road, std::uint8_t streamId, NativeWindow window,
                                              const InputPacket& packet, std::optional<Mismatch>& mismatch);
    bool coveredAt(NativeWindow window, ScreenPoint point, NativeWindow& found);
    // Raising the window may uncover the point that `found` covers: the record may wait, and that
    // cover did not just stay above it.
    bool raiseMayUncover(NativeWindow window, NativeWindow found);
    bool isOwnWindow(NativeWindow window, NativeWindow other);
    // The window, or one of its application, has the keyboard; runs the focus steps when not.
    bool bringToFront(std::uint8_t streamId, NativeWindow window);
    bool isInFront(NativeWindow window);
    bool focusWindow(NativeWindow window);
    void warnUnknownStream(InputRoad road, std::uint8_t streamId);
    bool warnMismatch(InputRoad road, NativeWindow window, NativeWindow found);

    std::shared_ptr<InputPlatform> platform;
    std::shared_ptr<InputInjector> injector;
    std::shared_ptr<FocusManager> focus;
    StreamWindowLookup streamWindow;
    ClickMismatchCallback clickMismatchCallback;

    std::mutex mutex;  // held for a whole record; guards the state below
    // The last answer of the application test for a (target, foreground) pair, so that keys
    // typed into the same windows ask the desktop nothing more than who is in front.
    NativeWindow cachedTarget = 0;
    NativeWindow cachedForeground = 0;
    bool cachedOwn = false;
    // By connection and stream, a bit per MouseButton whose press was dropped: its release is
    // dropped too.
    std::array<std::array<std::uint8_t, 256>, 2> droppedPresses{};
    // The stream whose record last pressed each key and button, and last set the modifiers: what
    // the injector still holds of them is that stream's to release.
    std::array<std::uint8_t, 256> keyStream{};
    std::array<std::uint8_t, 8> buttonStream{};
    std::uint8_t modifierStream = 0;
    // Whether the record in hand arrived recently enough to wait for the desktop.
    bool recordMayWait = true;
    // A window that could not be brought forward, or stayed covered when raised, is not tried
    // again for a moment: a flood of records must not cost a wait each. By window.
    std::map<NativeWindow, Clock::time_point> failedFocus;
    std::map<NativeWindow, Cover> covers;
    PeerLineLimiter unknownStreamLog;
    PeerLineLimiter mismatchLog;
    PeerLineLimiter notInFrontLog;  // by stream
    PeerLineLimiter focusFailedLog;  // by stream
};

}  // namespace quillane::host
