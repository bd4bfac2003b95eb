#pragma once

#include <bitset>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>

#include "common/RateLimiter.h"
#include "input/InputPlatform.h"

namespace quillane::host {

// The input enumerations of the wire records; values not listed are ignored.
enum class InputDeviceType : std::uint8_t { Mouse = 1, Keyboard = 2 };
enum class MouseAction : std::uint8_t { Move = 1, ButtonDown = 2, ButtonUp = 3, Wheel = 4 };
enum class KeyAction : std::uint8_t { KeyDown = 1, KeyUp = 2, Char = 3 };
enum class MouseButton : std::uint8_t { Left = 0, Right = 1, Middle = 2, X1 = 3, X2 = 4 };
namespace ModifierFlags {
constexpr std::uint8_t Shift = 1;
constexpr std::uint8_t Ctrl = 2;
constexpr std::uint8_t Alt = 4;
constexpr std::uint8_t Win = 8;
}  // namespace ModifierFlags

// A client's input record, as either connection carries it; x and y run 0..65535 across the
// target window.
struct InputPacket {
    std::uint8_t deviceType = 0;
    std::uint8_t action = 0;
    std::uint16_t x = 0;
    std::uint16_t y = 0;
    std::uint8_t code = 0;       // MouseButton, virtual-key code, or (Char on the video connection) a Latin-1 character
    std::uint8_t modifiers = 0;  // ModifierFlags wanted while a key event is injected
    std::int16_t wheelDelta = 0;
};

struct InputInjectorConfig {
    bool absoluteMode = true;
    float mouseSensitivity = 1.0f;  // relative motion only
    bool verifyClicks = true;
};

// A set of virtual keys, a bit per key.
using KeySet = std::bitset<256>;

// A point on the desktop in pixels.
struct ScreenPoint {
    std::int32_t x = 0;
    std::int32_t y = 0;
};

// Turns the client's input into desktop input through InputPlatform: mouse moves, buttons and
// wheel in coordinates normalised to the target window, keys with the modifiers brought into the
// wanted state first, text characters; and window resizing. Pointer input needs a target window
// whose rectangle can be read: without one nothing is injected (never onto the whole desktop).
// It remembers what it pressed, so releaseAll can let go of everything when a client goes away.
//
// Threads: any thread may call any operation. One mutex covers each public operation, so events
// of the two input connections interleave whole.
class InputInjector {
public:
    explicit InputInjector(std::shared_ptr<InputPlatform> platform);
    InputInjector(const InputInjector&) = delete;
    InputInjector& operator=(const InputInjector&) = delete;

    bool initialize(const InputInjectorConfig& config);
    void setTargetWindow(NativeWindow window);
    NativeWindow getTargetWindow() const;
    void updateScreenMetrics();
    bool verifiesClicks() const;

    // Where a normalised point of the target window lies on the screen; none without a target
    // or when its rectangle cannot be read (the window is gone).
    std::optional<ScreenPoint> windowPoint(std::uint16_t x, std::uint16_t y);
    // The move is dropped when windowPoint has no answer (absolute mode).
    void injectMouseMove(std::uint16_t x, std::uint16_t y);
    void injectMouseButtonAt(std::int32_t screenX, std::int32_t screenY, std::uint8_t button, bool down);
    void injectMouseButton(std::uint8_t button, bool down);
    void injectMouseWheel(std::int16_t delta);
    void injectKey(std::uint8_t vk, bool down, std::uint8_t modifiers);
    void injectUnicodeChar(std::uint16_t character);
    // What this injector pressed and has not released yet.
    bool holdsKey(std::uint8_t vk) const;
    bool holdsButton(std::uint8_t button) const;
    // Only lets go, never presses: releases vk if this injector holds it, and the held modifiers
    // that `modifiers` does not ask for.
    void releaseKey(std::uint8_t vk, std::uint8_t modifiers);
    // Releases every key, modifier and button that this injector pressed and still holds.
    void releaseAll();
    // Releases, under one lock, those of the keys and buttons (a bit per MouseButton) that this
    // injector holds, and with `modifiers` every modifier it holds.
    void releaseHeld(const KeySet& keys, std::uint8_t buttons, bool modifiers);

    // Gives the window a client area of the given size: in place when
    // keepPosition is set, otherwise centred on the primary screen. Never
    // smaller than the window's minimum tracking size. Uses no state of the
    // injector but its thread-safe log limiters, so any thread may call it.
    bool resizeWindow(NativeWindow window, std::uint32_t clientWidth, std::uint32_t clientHeight,
                      bool keepPosition);

private:
    using Point = ScreenPoint;

    // Callers hold mutex.
    void readMetrics();
    std::optional<Point> normalizedToWindow(std::uint16_t x, std::uint16_t y);
    Point screenToAbsolute(std::int32_t px, std::int32_t py) const;
    void moveLocked(std::uint16_t x, std::uint16_t y);
    void buttonAtLocked(Point screen, std::uint8_t button, bool down);
    void wheelLocked(std::int16_t delta);
    void keyLocked(std::uint8_t vk, bool down, std::uint8_t modifiers);
    void releaseKeyLocked(std::uint8_t vk);
    void unicodeLocked(std::uint16_t character);
    // Brings the modifiers to the wanted state; with releaseOnly, presses none.
    void syncModifiers(std::uint8_t modifiers, bool releaseOnly = false);
    std::uint32_t sendInputs(std::span<const SyntheticInput> inputs);  // how many went in

    std::shared_ptr<InputPlatform> platform;
    mutable std::mutex mutex;
    InputInjectorConfig config;
    NativeWindow targetWindow = 0;
    std::int32_t vsWidth = 0, vsHeight = 0;
    std::int32_t vsLeft = 0, vsTop = 0;
    bool vsValid = false;
    std::int32_t lastX = 0, lastY = 0;
    bool shiftDown = false, ctrlDown = false, altDown = false, winDown = false;
    KeySet keysDown;               // virtual keys pressed by injectKey and not yet released
    std::uint8_t buttonsDown = 0;  // bit per MouseButton
    LogRateLimiter shortSendLog{std::chrono::seconds(10)};
    // A client asks for resizes as often as it likes: the first lines, then one per 10 s.
    PeerLineLimiter resizedLog{std::chrono::seconds(10), 2};
    PeerLineLimiter resizeFailedLog{std::chrono::seconds(10), 4};
};

}  // namespace quillane::host
