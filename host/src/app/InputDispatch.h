#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "app/Held.h"
#include "app/InFlightCalls.h"
#include "common/RateLimiter.h"
#include "input/InputRouter.h"

namespace quillane::host {

class FocusManager;
class InputInjector;
class InputPlatform;
struct ClientInput;
struct InputEvent;

// The clients' input on its way to the desktop: the injector, the focus manager, the router
// that confines each record to its stream's window, and the handler calls in flight on them,
// which stop waits for before it releases what the injector holds.
// Threads: start, stop and updateScreenMetrics run on the main thread; onClientInput on the
// video connection's thread, onInputEvent on the input connection's; streamStarted and
// streamEnded on whichever thread starts or stops a stream; resizeWindow on the signalling thread.
class InputDispatch {
public:
    InputDispatch(std::shared_ptr<InputPlatform> platform, StreamWindowLookup streamWindow);
    ~InputDispatch();
    InputDispatch(const InputDispatch&) = delete;
    InputDispatch& operator=(const InputDispatch&) = delete;

    // False with one error line when the injector or the focus manager cannot start.
    bool start();
    // Waits (bounded) for running handlers, then lets go of every held key and button.
    void stop();

    void onClientInput(const ClientInput& input);
    void onInputEvent(const InputEvent& event);
    // A connection that carried input ended.
    void onClientGone();

    // The injector aims at the newest stream's window.
    void streamStarted(NativeWindow window);
    // Nothing the stream's input pressed stays held (what other streams hold does); input for it
    // goes nowhere.
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
    Held<InputRouter> router;
    LogRateLimiter focusFailedLog{std::chrono::seconds(10)};
    InFlightCalls calls;  // handlers using the injector or the focus manager
};

}  // namespace quillane::host
