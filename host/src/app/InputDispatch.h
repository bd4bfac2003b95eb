#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/Held.h"
#include "common/RateLimiter.h"
#include "input/InputRouter.h"
#include "input/InputThread.h"

namespace quillane::host {

class FocusManager;
class InputInjector;
class InputPlatform;
struct ClientInput;
struct InputEvent;

// The clients' input on its way to the desktop: the injector, the focus manager, the router
// that confines each record to its stream's window, and the input thread that runs the router.
// Threads: start, stop and updateScreenMetrics run on the main thread; onClientInput on the
// video connection's thread, onInputEvent and roomForInput on the input connection's;
// streamStarted and streamEnded on whichever thread starts or stops a stream; resizeWindow on the
// signalling thread.
// The handlers and streamEnded only post to the input thread: none of them waits for a focus
// attempt or an injection.
class InputDispatch {
public:
    InputDispatch(std::shared_ptr<InputPlatform> platform, StreamWindowLookup streamWindow);
    ~InputDispatch();
    InputDispatch(const InputDispatch&) = delete;
    InputDispatch& operator=(const InputDispatch&) = delete;

    // False with one error line when the injector or the focus manager cannot start.
    bool start();
    // Drops the records still waiting, waits for the one in progress (a focus attempt lasts about
    // 160 ms), then lets go of every held key and button. Later records are dropped.
    void stop();

    void onClientInput(const ClientInput& input);
    void onInputEvent(const InputEvent& event);
    // A connection that carried input ended: its records still waiting are dropped, and what it
    // held is let go before any other record acts.
    void onClientGone(InputRoad road);
    // For the input connection's server, after each record: true while there is room for more;
    // else false, and resume is called once there is room again (on the input thread).
    bool roomForInput(const std::function<void()>& resume);

    // The injector aims at the newest stream's window.
    void streamStarted(NativeWindow window);
    // Nothing the stream's input pressed stays held (what other streams hold does), let go before
    // any other record acts; input for it, waiting or to come, goes nowhere.
    void streamEnded(std::uint8_t streamId, NativeWindow window);
    void updateScreenMetrics();
    // True when the window exists on the desktop.
    bool isWindow(NativeWindow window) const;
    // False when the injector is gone or the platform refuses the size.
    bool resizeWindow(NativeWindow window, std::uint32_t width, std::uint32_t height);

private:
    void onClickMismatch(NativeWindow intended, NativeWindow actual);
    void onFocusFailed(NativeWindow window, const std::string& hint);

    std::shared_ptr<InputPlatform> platform;
    StreamWindowLookup streamWindow;
    Held<InputInjector> injector;
    Held<FocusManager> focus;
    Held<InputThread> thread;
    LogRateLimiter focusFailedLog{std::chrono::seconds(10)};
};

}  // namespace quillane::host
