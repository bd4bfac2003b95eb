#pragma once

#include <bitset>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>

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

// A client's input record from the video connection; x and y run 0..65535 across the target window.
struct InputPacket {
    std::uint8_t deviceType = 0;
    std::uint8_t action = 0;
    std::uint16_t x = 0;
    std::uint16_t y = 0;
    std::uint8_t code = 0;       // MouseButton, virtual-key code, or (Char) a Latin-1 character
    std::uint8_t modifiers = 0;  // ModifierFlags wanted while a key event is injected
    std::int16_t wheelDelta = 0;
};

struct InputInjectorConfig {
    bool absoluteMode = true;
    float mouseSensitivity = 1.0f;  // relative motion only
    bool verifyClicks = true;
};

// (intended window, actual window); actual is 0 when no window lies under the press.
using ClickMismatchCallback = std::function<void(NativeWindow intended, NativeWindow actual)>;

// Turns the client's input into desktop input through InputPlatform: mouse moves, buttons and
// wheel in coordinates normalised to the target window, keys with the modifiers brought into the
// wanted state first, text characters; and window resizing. It remembers what it pressed, so
// releaseAll can let go of everything when a client goes away.
//
// Threads: any thread may call any operation. One mutex covers each public operation (so events
// of the two input connections interleave whole); the mismatch callback runs after it is released.
class InputInjector {
public:
    explicit InputInjector(std::shared_ptr<InputPlatform> platform);
    InputInjector(const InputInjector&) = delete;
    InputInjector& operator=(const InputInjector&) = delete;

    bool initialize(const InputInjectorConfig& config);
    void setTargetWindow(NativeWindow window);
    NativeWindow getTargetWindow() const;
    void updateScreenMetrics();
    void setClickMismatchCallback(ClickMismatchCallback callback);

    void processInputPacket(const InputPacket& packet);
    void injectMouseMove(std::uint16_t x, std::uint16_t y);
    void injectMouseButtonAt(std::int32_t screenX, std::int32_t screenY, std::uint8_t button, bool down);
    void injectMouseButton(std::uint8_t button, bool down);
    void injectMouseWheel(std::int16_t delta);
    void injectKey(std::uint8_t vk, bool down, std::uint8_t modifiers);
    void injectUnicodeChar(std::uint16_t character);
    // Releases every key, modifier and button that this injector pressed and still holds.
    void releaseAll();

    // Gives the window a client area of the given size: in place when
    // keepPosition is set, otherwise centred on the primary screen. Never
    // smaller than the window's minimum tracking size. Uses no state of the
    // injector, so any thread may call it.
    bool resizeWindow(NativeWindow window, std::uint32_t clientWidth, std::uint32_t clientHeight,
                      bool keepPosition);

private:
    struct Point {
        std::int32_t x = 0;
        std::int32_t y = 0;
    };

    // Callers hold mutex.
    void readMetrics();
    Point normalizedToWindow(std::uint16_t x, std::uint16_t y);
    Point normalizedToScreen(std::uint16_t x, std::uint16_t y) const;
    Point screenToAbsolute(std::int32_t px, std::int32_t py) const;
    void moveLocked(std::uint16_t x, std::uint16_t y);
    void buttonAtLocked(Point screen, std::uint8_t button, bool down);
    void wheelLocked(std::int16_t delta);
    void keyLocked(std::uint8_t vk, bool down, std::uint8_t modifiers);
    void unicodeLocked(std::uint16_t character);
    void syncModifiers(std::uint8_t modifiers);
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
    std::bitset<256> keysDown;     // virtual keys pressed by injectKey and not yet released
    std::uint8_t buttonsDown = 0;  // bit per MouseButton
    ClickMismatchCallback clickMismatchCallback;
};

}  // namespace quillane::host
