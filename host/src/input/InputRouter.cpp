#include "input/InputRouter.h"

#include "input/FocusManager.h"

#include <spdlog/spdlog.h>

#include <utility>

namespace quillane::host {
namespace {

// After a focus attempt failed, records for that window are dropped without a new attempt
// for this long.
constexpr auto kFocusRetryDelay = std::chrono::seconds(1);
// After a raise left the target covered, records over the same cover are dropped without a new
// raise for this long (a window kept above stays there; one that was not may have moved).
constexpr auto kCoverRetryDelay = std::chrono::seconds(5);
// A record may start waiting for the desktop only this soon after it arrived: the longest wait
// (focus steps and a restack, about 0.3 s) then still ends within half a second of its arrival,
// and the records that queued up behind it do not wait again.
constexpr auto kWaitStartsWithin = std::chrono::milliseconds(150);
// After raising a covered window, how long the desktop may take to restack it.
constexpr std::int32_t kRestackPolls = 10;
constexpr std::int32_t kRestackPollMs = 10;

constexpr std::uint8_t buttonBit(std::uint8_t button) {
    return button < 8 ? static_cast<std::uint8_t>(1u << button) : 0;
}

}  // namespace

InputRouter::InputRouter(std::shared_ptr<InputPlatform> platform, std::shared_ptr<InputInjector> injector,
                         std::shared_ptr<FocusManager> focus, StreamWindowLookup streamWindow)
    : platform(std::move(platform)),
      injector(std::move(injector)),
      focus(std::move(focus)),
      streamWindow(std::move(streamWindow)) {}

void InputRouter::setClickMismatchCallback(ClickMismatchCallback callback) {
    std::lock_guard lock(mutex);
    clickMismatchCallback = std::move(callback);
}

bool InputRouter::isMachineKey(std::uint8_t vk) {
    // Sleep; browser keys (back, forward, refresh, stop, search, favourites, home); mail,
    // media select and the two application launchers.
    return vk == 0x5F || (vk >= 0xA6 && vk <= 0xAC) || (vk >= 0xB4 && vk <= 0xB7);
}

void InputRouter::routeClientInput(std::uint8_t streamId, const InputPacket& packet, Clock::time_point arrived) {
    route(InputRoad::Video, streamId, packet, packet.code, arrived);
}

void InputRouter::routeInputEvent(std::uint8_t streamId, const InputPacket& packet, Clock::time_point arrived) {
    route(InputRoad::Input, streamId, packet, packet.x, arrived);
}

void InputRouter::route(InputRoad road, std::uint8_t streamId, const InputPacket& packet, std::uint16_t character,
                        Clock::time_point arrived) {
    if (!injector || !platform) return;
    std::optional<Mismatch> mismatch;
    ClickMismatchCallback callback;
    {
        std::lock_guard lock(mutex);
        recordMayWait = Clock::now() - arrived <= kWaitStartsWithin;
        const NativeWindow window = streamWindow ? streamWindow(streamId) : 0;
        if (window == 0) {
            // Whatever it meant, no window is the client's to act on; what the injector holds
            // was released when the stream ended.
            if (road == InputRoad::Video) warnUnknownStream(road, streamId);
            return;
        }
        injector->setTargetWindow(window);
        if (packet.deviceType == static_cast<std::uint8_t>(InputDeviceType::Mouse)) {
            routeMouse(road, streamId, window, packet, mismatch);
        } else if (packet.deviceType == static_cast<std::uint8_t>(InputDeviceType::Keyboard)) {
            routeKeyboard(streamId, window, packet, character);
        }
        if (mismatch) callback = clickMismatchCallback;
    }
    if (callback) callback(mismatch->intended, mismatch->actual);
}

void InputRouter::routeMouse(InputRoad road, std::uint8_t streamId, NativeWindow window, const InputPacket& packet,
                             std::optional<Mismatch>& mismatch) {
    const std::uint8_t bit = buttonBit(packet.code);
    std::uint8_t& dropped = droppedPresses[static_cast<std::size_t>(road)][streamId];
    switch (static_cast<MouseAction>(packet.action)) {
    case MouseAction::Move:
        injector->injectMouseMove(packet.x, packet.y);
        break;
    case MouseAction::ButtonDown:
        if (const auto point = reachablePoint(road, streamId, window, packet, mismatch)) {
            dropped &= static_cast<std::uint8_t>(~bit);
            injector->injectMouseButtonAt(point->x, point->y, packet.code, true);
            if (packet.code < buttonStream.size()) buttonStream[packet.code] = streamId;
        } else {
            dropped |= bit;
        }
        break;
    case MouseAction::ButtonUp:
        if ((dropped & bit) != 0) {
            dropped &= static_cast<std::uint8_t>(~bit);
        } else if (const auto point = injector->windowPoint(packet.x, packet.y)) {
            injector->injectMouseButtonAt(point->x, point->y, packet.code, false);
        } else {
            releaseButton(packet.code);
        }
        break;
    case MouseAction::Wheel:
        if (reachablePoint(road, streamId, window, packet, mismatch)) {
            injector->injectMouseMove(packet.x, packet.y);
            injector->injectMouseWheel(packet.wheelDelta);
        }
        break;
    }
}

void InputRouter::releaseButton(std::uint8_t button) {
    // The window went away under a held button: let go where the pointer is.
    if (injector->holdsButton(button)) injector->injectMouseButton(button, false);
}

void InputRouter::routeKeyboard(std::uint8_t streamId, NativeWindow window, const InputPacket& packet,
                                std::uint16_t character) {
    switch (static_cast<KeyAction>(packet.action)) {
    case KeyAction::KeyDown:
        if (isMachineKey(packet.code) || !bringToFront(streamId, window)) return;
        injector->injectKey(packet.code, true, packet.modifiers);
        keyStream[packet.code] = modifierStream = streamId;
        break;
    case KeyAction::KeyUp:
        // A release never needs the focus steps: delivered to the window in front when it is
        // the stream's, else only what the injector holds is let go.
        if (!isMachineKey(packet.code) && isInFront(window)) {
            injector->injectKey(packet.code, false, packet.modifiers);
            modifierStream = streamId;
        } else {
            injector->releaseKey(packet.code, packet.modifiers);
        }
        break;
    case KeyAction::Char:
        if (!bringToFront(streamId, window)) return;
        injector->injectUnicodeChar(character);
        break;
    }
}

std::optional<ScreenPoint> InputRouter::reachablePoint(InputRoad road, std::uint8_t streamId, NativeWindow window,
                                                       const InputPacket& packet, std::optional<Mismatch>& mismatch) {
    auto point = injector->windowPoint(packet.x, packet.y);
    if (!point) return std::nullopt;  // the window is gone
    if (!injector->verifiesClicks()) return point;
    NativeWindow found = 0;
    const bool press = packet.action == static_cast<std::uint8_t>(MouseAction::ButtonDown);
    const bool covered = coveredAt(window, *point, found);
    if (!covered && (!press || isInFront(window))) return point;
    if (covered && !raiseMayUncover(window, found)) {
        if (warnMismatch(road, window, found)) mismatch = Mismatch{window, found};
        return std::nullopt;
    }

    if (covered) {
        // Already in front yet covered (a window kept above, say): ask for the raise anyway.
        platform->bringToTop(window);
        platform->setForeground(window);
    }
    if (!focusWindow(window) && press) {
        std::size_t held = 0;
        if (focusFailedLog.allow(streamId, held)) {
            SPDLOG_WARN("Failed to bring window {:x} to foreground, click may go to wrong window", window);
        }
    }
    for (std::int32_t poll = 0;; ++poll) {
        point = injector->windowPoint(packet.x, packet.y);  // raising may have moved it
        if (!point) return std::nullopt;
        if (!coveredAt(window, *point, found)) {
            covers.erase(window);
            return point;
        }
        if (poll == kRestackPolls) break;
        platform->sleepMs(kRestackPollMs);
    }
    covers[window] = Cover{found, Clock::now()};
    if (warnMismatch(road, window, found)) mismatch = Mismatch{window, found};
    return std::nullopt;
}

bool InputRouter::raiseMayUncover(NativeWindow window, NativeWindow found) {
    if (!recordMayWait) return false;
    const auto it = covers.find(window);
    return it == covers.end() || it->second.above != found || Clock::now() - it->second.seen >= kCoverRetryDelay;
}

bool InputRouter::coveredAt(NativeWindow window, ScreenPoint point, NativeWindow& found) {
    found = platform->windowFromPoint(point.x, point.y);
    return !isOwnWindow(window, found);
}

bool InputRouter::isOwnWindow(NativeWindow window, NativeWindow other) {
    if (other == 0) return false;
    if (other == window) return true;
    const NativeWindow root = platform->rootWindow(window);
    return (root != 0 && platform->rootWindow(other) == root) || platform->sameApplication(window, other);
}

bool InputRouter::isInFront(NativeWindow window) {
    const NativeWindow foreground = platform->foregroundWindow();
    if (foreground == 0) return false;
    if (foreground == window) return true;
    if (cachedTarget != window || cachedForeground != foreground) {
        cachedOwn = isOwnWindow(window, foreground);
        cachedTarget = window;
        cachedForeground = foreground;
    }
    return cachedOwn;
}

bool InputRouter::focusWindow(NativeWindow window) {
    if (!focus || !recordMayWait) return false;
    const auto now = Clock::now();
    if (const auto it = failedFocus.find(window); it != failedFocus.end() && now - it->second < kFocusRetryDelay) {
        return false;
    }
    if (focus->focusWindow(window).success) {
        failedFocus.erase(window);
        return true;
    }
    failedFocus[window] = now;
    return false;
}

bool InputRouter::bringToFront(std::uint8_t streamId, NativeWindow window) {
    if (isInFront(window)) return true;
    focusWindow(window);
    if (isInFront(window)) return true;
    std::size_t held = 0;
    if (notInFrontLog.allow(streamId, held)) {
        SPDLOG_WARN("Keyboard input for stream {} dropped: its window {:x} is not in front ({} more not logged)",
                    streamId, window, held);
    }
    return false;
}

void InputRouter::warnUnknownStream(InputRoad road, std::uint8_t streamId) {
    std::size_t held = 0;
    if (!unknownStreamLog.allow(static_cast<std::uint64_t>(road), held)) return;
    if (held > 0) {
        SPDLOG_WARN("Input received for unknown stream {} ({} more not logged)", streamId, held);
    } else {
        SPDLOG_WARN("Input received for unknown stream {}", streamId);
    }
}

bool InputRouter::warnMismatch(InputRoad road, NativeWindow window, NativeWindow found) {
    std::size_t held = 0;
    if (!mismatchLog.allow(static_cast<std::uint64_t>(road), held)) return false;
    if (held > 0) {
        SPDLOG_WARN("Click target mismatch: intended {:x}, actual {:x} ({} more not logged)", window, found, held);
    } else {
        SPDLOG_WARN("Click target mismatch: intended {:x}, actual {:x}", window, found);
    }
    return true;
}

void InputRouter::streamEnded(std::uint8_t streamId, NativeWindow window) {
    if (!injector) return;
    std::lock_guard lock(mutex);
    // The other streams' keys, buttons and dropped presses stay as they are: their records
    // still come.
    releaseHeldFor(streamId);
    // Its releases will not come: a later stream of the same id starts afresh.
    for (auto& dropped : droppedPresses) dropped[streamId] = 0;
    if (injector->getTargetWindow() == window) injector->setTargetWindow(0);
    cachedTarget = cachedForeground = 0;
    failedFocus.erase(window);
    covers.erase(window);
}

void InputRouter::releaseHeldFor(std::uint8_t streamId) {
    KeySet keys;
    for (std::size_t vk = 0; vk < keyStream.size(); ++vk) keys[vk] = keyStream[vk] == streamId;
    std::uint8_t buttons = 0;
    for (std::size_t button = 0; button < buttonStream.size(); ++button) {
        if (buttonStream[button] == streamId) buttons |= buttonBit(static_cast<std::uint8_t>(button));
    }
    injector->releaseHeld(keys, buttons, modifierStream == streamId);
}

void InputRouter::connectionEnded() {
    if (!injector) return;
    std::lock_guard lock(mutex);
    injector->releaseAll();
    droppedPresses = {};
    failedFocus.clear();
    covers.clear();
}

}  // namespace quillane::host
