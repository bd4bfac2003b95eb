#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
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
// - keys that act on the whole machine (sleep, browser, launchers) are never injected;
// - a release of something the injector holds is always delivered.
//
// Threads: the video connection's thread (or the main thread) and the input connection's thread
// route at once; one mutex makes each record whole (its target, checks and injection) and
// serialises the focus attempts, which may sleep about 160 ms. The mismatch callback runs after
// it is released; the focus manager's failure callback runs under it.
class InputRouter {
public:
    InputRouter(std::shared_ptr<InputPlatform> platform, std::shared_ptr<InputInjector> injector,
                std::shared_ptr<FocusManager> focus, StreamWindowLookup streamWindow);
    InputRouter(const InputRouter&) = delete;
    InputRouter& operator=(const InputRouter&) = delete;

    // Install before records arrive.
    void setClickMismatchCallback(ClickMismatchCallback callback);

    // A record of the video connection: a Char carries its character in code.
    void routeClientInput(std::uint8_t streamId, const InputPacket& packet);
    // A record of the input connection: a Char carries one UTF-16 code unit in x.
    void routeInputEvent(std::uint8_t streamId, const InputPacket& packet);

    // A stream ended: what its records pressed is released (the modifiers too when its record
    // set them last), nothing else held is touched, and its window stops being the target.
    void streamEnded(std::uint8_t streamId, NativeWindow window);
    // A connection that carried input ended: everything held is released.
    void connectionEnded();

    // Keys that act on the machine whatever window is in front.
    static bool isMachineKey(std::uint8_t vk);

private:
    struct Mismatch {
        NativeWindow intended = 0;
        NativeWindow actual = 0;
    };

    void route(InputRoad road, std::uint8_t streamId, const InputPacket& packet, std::uint16_t character);
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
    // Per connection, a bit per MouseButton whose press was dropped: its release is dropped too.
    std::array<std::uint8_t, 2> droppedPresses{};
    // The stream whose record last pressed each key and button, and last set the modifiers: what
    // the injector still holds of them is that stream's to release.
    std::array<std::uint8_t, 256> keyStream{};
    std::array<std::uint8_t, 8> buttonStream{};
    std::uint8_t modifierStream = 0;
    // A window that could not be brought forward is not tried again for a moment: a flood of
    // records must not cost a focus attempt each.
    NativeWindow failedFocusWindow = 0;
    std::chrono::steady_clock::time_point failedFocusAt{};
    PeerLineLimiter unknownStreamLog;
    PeerLineLimiter mismatchLog;
    PeerLineLimiter notInFrontLog;  // by stream
    PeerLineLimiter focusFailedLog;  // by stream
};

}  // namespace quillane::host
