#include "input/InputInjector.h"

#include <spdlog/spdlog.h>

#include "common/LineSource.h"

#include <algorithm>
#include <array>
#include <utility>

namespace quillane::host {
namespace {

// Largest client side passed on: X11 sizes are 16 bits on the wire and would
// silently wrap, and Win32 coordinates stop at 32767 in practice.
constexpr std::uint32_t kMaxClientSide = 32767;
constexpr std::int64_t kAbsoluteRange = 65535;

constexpr std::uint8_t kVkShift = 0x10;
constexpr std::uint8_t kVkControl = 0x11;
constexpr std::uint8_t kVkMenu = 0x12;
constexpr std::uint8_t kVkLWin = 0x5B;

bool isExtendedKey(std::uint8_t vk) {
    switch (vk) {
    case 0x21: case 0x22: case 0x23: case 0x24:  // Page Up, Page Down, End, Home
    case 0x25: case 0x26: case 0x27: case 0x28:  // arrows
    case 0x2D: case 0x2E:                        // Insert, Delete
    case 0x6F:                                   // numeric-pad Divide
    case 0x90:                                   // Num Lock
    case 0xA3: case 0xA5:                        // right Ctrl, right Alt
        return true;
    default:
        return false;
    }
}

struct ButtonFlags {
    std::uint32_t down = 0;
    std::uint32_t up = 0;
    std::int32_t data = 0;
};

// Flags 0 for buttons that do not exist: only the move is sent.
ButtonFlags buttonFlags(std::uint8_t button) {
    using namespace mouse_flags;
    switch (static_cast<MouseButton>(button)) {
    case MouseButton::Left: return {kLeftDown, kLeftUp, 0};
    case MouseButton::Right: return {kRightDown, kRightUp, 0};
    case MouseButton::Middle: return {kMiddleDown, kMiddleUp, 0};
    case MouseButton::X1: return {kXDown, kXUp, kXButton1};
    case MouseButton::X2: return {kXDown, kXUp, kXButton2};
    }
    return {};
}

// (w * n + w/2) / 65535, in 64 bits, truncated toward zero.
std::int32_t scaleNormalized(std::int32_t origin, std::int64_t extent, std::uint16_t n) {
    return static_cast<std::int32_t>(origin + (extent * n + extent / 2) / kAbsoluteRange);
}

}  // namespace

InputInjector::InputInjector(std::shared_ptr<InputPlatform> platform) : platform(std::move(platform)) {}

bool InputInjector::initialize(const InputInjectorConfig& newConfig) {
    std::lock_guard lock(mutex);
    config = newConfig;
    readMetrics();
    SPDLOG_INFO("Input injector initialized (absolute mode: {}, verify clicks: {})", config.absoluteMode,
                config.verifyClicks);
    SPDLOG_INFO("Virtual screen: {}x{} at ({},{})", vsWidth, vsHeight, vsLeft, vsTop);
    return true;
}

void InputInjector::setTargetWindow(NativeWindow window) {
    std::lock_guard lock(mutex);
    targetWindow = window;
}

NativeWindow InputInjector::getTargetWindow() const {
    std::lock_guard lock(mutex);
    return targetWindow;
}

void InputInjector::updateScreenMetrics() {
    std::lock_guard lock(mutex);
    readMetrics();
}

bool InputInjector::verifiesClicks() const {
    std::lock_guard lock(mutex);
    return config.verifyClicks;
}

std::optional<ScreenPoint> InputInjector::windowPoint(std::uint16_t x, std::uint16_t y) {
    std::lock_guard lock(mutex);
    return normalizedToWindow(x, y);
}

void InputInjector::readMetrics() {
    const VirtualScreen screen = platform ? platform->virtualScreen() : VirtualScreen{};
    vsWidth = screen.width;
    vsHeight = screen.height;
    vsLeft = screen.left;
    vsTop = screen.top;
    vsValid = vsWidth >= 1 && vsHeight >= 1;
}

std::optional<InputInjector::Point> InputInjector::normalizedToWindow(std::uint16_t x, std::uint16_t y) {
    // Without a live target the point would have to be guessed on the whole desktop.
    if (targetWindow == 0 || !platform) return std::nullopt;
    const std::optional<WindowRect> rect = platform->mappingRect(targetWindow);
    if (!rect) return std::nullopt;
    const std::int64_t w = std::int64_t{rect->right} - rect->left;
    const std::int64_t h = std::int64_t{rect->bottom} - rect->top;
    const Point p{scaleNormalized(rect->left, w, x), scaleNormalized(rect->top, h, y)};
    lastX = p.x;
    lastY = p.y;
    return p;
}

InputInjector::Point InputInjector::screenToAbsolute(std::int32_t px, std::int32_t py) const {
    if (!vsValid) return Point{px, py};
    const auto toAbsolute = [](std::int64_t p, std::int64_t origin, std::int64_t extent) {
        const std::int64_t a = ((p - origin) * kAbsoluteRange + extent / 2) / extent;
        return static_cast<std::int32_t>(std::clamp<std::int64_t>(a, 0, kAbsoluteRange));
    };
    return Point{toAbsolute(px, vsLeft, vsWidth), toAbsolute(py, vsTop, vsHeight)};
}

std::uint32_t InputInjector::sendInputs(std::span<const SyntheticInput> inputs) {
    if (inputs.empty() || !platform) return 0;
    const std::uint32_t inserted = platform->sendInputs(inputs);
    std::size_t suppressed = 0;
    if (inserted < inputs.size() && shortSendLog.allow(suppressed)) {
        if (suppressed > 0) {
            SPDLOG_WARN("SendInput: sent {} of {} inputs ({} more not logged)", inserted, inputs.size(), suppressed);
        } else {
            SPDLOG_WARN("SendInput: sent {} of {} inputs", inserted, inputs.size());
        }
    }
    return inserted;
}

void InputInjector::moveLocked(std::uint16_t x, std::uint16_t y) {
    SyntheticInput move;
    if (!config.absoluteMode) {
        move = SyntheticInput::mouse(mouse_flags::kMove, static_cast<std::int32_t>(x * config.mouseSensitivity),
                                     static_cast<std::int32_t>(y * config.mouseSensitivity), 0);
    } else if (const auto screen = normalizedToWindow(x, y)) {
        const Point absolute = screenToAbsolute(screen->x, screen->y);
        move = SyntheticInput::mouse(mouse_flags::kAbsoluteMove, absolute.x, absolute.y, 0);
    } else {
        return;
    }
    sendInputs(std::span(&move, 1));
}

void InputInjector::buttonAtLocked(Point screen, std::uint8_t button, bool down) {
    const Point absolute = screenToAbsolute(screen.x, screen.y);
    const ButtonFlags flags = buttonFlags(button);
    const std::array inputs{SyntheticInput::mouse(mouse_flags::kAbsoluteMove, absolute.x, absolute.y, 0),
                            SyntheticInput::mouse(down ? flags.down : flags.up, 0, 0, flags.data)};
    sendInputs(std::span(inputs.data(), flags.down != 0 ? 2 : 1));
    if (flags.down != 0) {
        const auto bit = static_cast<std::uint8_t>(1u << button);
        buttonsDown = down ? (buttonsDown | bit) : (buttonsDown & ~bit);
    }
    lastX = screen.x;
    lastY = screen.y;
}

void InputInjector::wheelLocked(std::int16_t delta) {
    const SyntheticInput wheel = SyntheticInput::mouse(mouse_flags::kWheel, 0, 0, delta);
    sendInputs(std::span(&wheel, 1));
}

void InputInjector::syncModifiers(std::uint8_t modifiers, bool releaseOnly) {
    const std::array<std::pair<std::uint8_t, bool*>, 4> table{{{kVkShift, &shiftDown},
                                                               {kVkControl, &ctrlDown},
                                                               {kVkMenu, &altDown},
                                                               {kVkLWin, &winDown}}};
    for (std::size_t i = 0; i < table.size(); ++i) {
        const bool wanted = (modifiers & (1u << i)) != 0;
        if (wanted == *table[i].second || (wanted && releaseOnly)) continue;
        const SyntheticInput key = SyntheticInput::key(table[i].first, 0, wanted ? 0 : key_flags::kKeyUp);
        sendInputs(std::span(&key, 1));
        *table[i].second = wanted;
    }
}

void InputInjector::keyLocked(std::uint8_t vk, bool down, std::uint8_t modifiers) {
    syncModifiers(modifiers);
    std::uint32_t flags = down ? 0 : key_flags::kKeyUp;
    if (isExtendedKey(vk)) flags |= key_flags::kExtendedKey;
    const std::uint16_t scan = platform ? platform->scanCode(vk) : 0;
    const SyntheticInput key = SyntheticInput::key(vk, scan, flags);
    // A press that never went in has nothing to release later.
    const bool inserted = sendInputs(std::span(&key, 1)) == 1;
    keysDown[vk] = down && inserted;
}

void InputInjector::releaseKeyLocked(std::uint8_t vk) {
    std::uint32_t flags = key_flags::kKeyUp;
    if (isExtendedKey(vk)) flags |= key_flags::kExtendedKey;
    const SyntheticInput key = SyntheticInput::key(vk, platform ? platform->scanCode(vk) : 0, flags);
    sendInputs(std::span(&key, 1));
    keysDown[vk] = false;
}

void InputInjector::unicodeLocked(std::uint16_t character) {
    const SyntheticInput press = SyntheticInput::key(0, character, key_flags::kUnicode);
    sendInputs(std::span(&press, 1));
    const SyntheticInput release = SyntheticInput::key(0, character, key_flags::kUnicode | key_flags::kKeyUp);
    sendInputs(std::span(&release, 1));
}

void InputInjector::injectMouseMove(std::uint16_t x, std::uint16_t y) {
    std::lock_guard lock(mutex);
    moveLocked(x, y);
}

void InputInjector::injectMouseButtonAt(std::int32_t screenX, std::int32_t screenY, std::uint8_t button, bool down) {
    std::lock_guard lock(mutex);
    buttonAtLocked(Point{screenX, screenY}, button, down);
}

void InputInjector::injectMouseButton(std::uint8_t button, bool down) {
    std::lock_guard lock(mutex);
    buttonAtLocked(Point{lastX, lastY}, button, down);
}

void InputInjector::injectMouseWheel(std::int16_t delta) {
    std::lock_guard lock(mutex);
    wheelLocked(delta);
}

void InputInjector::injectKey(std::uint8_t vk, bool down, std::uint8_t modifiers) {
    std::lock_guard lock(mutex);
    keyLocked(vk, down, modifiers);
}

void InputInjector::injectUnicodeChar(std::uint16_t character) {
    std::lock_guard lock(mutex);
    unicodeLocked(character);
}

bool InputInjector::holdsKey(std::uint8_t vk) const {
    std::lock_guard lock(mutex);
    return keysDown[vk];
}

bool InputInjector::holdsButton(std::uint8_t button) const {
    std::lock_guard lock(mutex);
    return button < 8 && (buttonsDown & (1u << button)) != 0;
}

void InputInjector::releaseKey(std::uint8_t vk, std::uint8_t modifiers) {
    std::lock_guard lock(mutex);
    if (keysDown[vk]) releaseKeyLocked(vk);
    syncModifiers(modifiers, true);
}

void InputInjector::releaseAll() { releaseHeld(KeySet().set(), 0xFF, true); }

void InputInjector::releaseHeld(const KeySet& keys, std::uint8_t buttons, bool modifiers) {
    std::lock_guard lock(mutex);
    const KeySet release = keysDown & keys;
    for (std::size_t vk = 0; vk < release.size(); ++vk) {
        if (release[vk]) releaseKeyLocked(static_cast<std::uint8_t>(vk));
    }
    if (modifiers) syncModifiers(0);
    for (std::uint8_t button = 0; button < 5; ++button) {
        if ((buttonsDown & buttons & (1u << button)) == 0) continue;
        const SyntheticInput up = SyntheticInput::mouse(buttonFlags(button).up, 0, 0, buttonFlags(button).data);
        sendInputs(std::span(&up, 1));
    }
    buttonsDown &= static_cast<std::uint8_t>(~buttons);
}

bool InputInjector::resizeWindow(NativeWindow window, std::uint32_t clientWidth, std::uint32_t clientHeight,
                                 bool keepPosition) {
    const std::uint64_t source = ClientLineScope::current();
    std::size_t held = 0;
    if (window == 0 || !platform || !platform->isWindow(window)) {
        if (resizeFailedLog.allow(source, held)) SPDLOG_ERROR("Invalid window handle for resize{}", heldNote(held));
        return false;
    }
    if (clientWidth > kMaxClientSide || clientHeight > kMaxClientSide) {
        if (resizeFailedLog.allow(source, held)) {
            SPDLOG_ERROR("Client size {}x{} is too large for a window{}", clientWidth, clientHeight, heldNote(held));
        }
        return false;
    }

    std::uint32_t error = 0;
    const auto current = platform->windowRect(window, error);
    if (!current) {
        if (resizeFailedLog.allow(source, held)) SPDLOG_ERROR("Failed to get window rect: {}{}", error, heldNote(held));
        return false;
    }

    const WindowRect outerRect = platform->adjustClientRect(
        window, WindowRect{0, 0, static_cast<std::int32_t>(clientWidth), static_cast<std::int32_t>(clientHeight)});
    WindowSize outer{outerRect.right - outerRect.left, outerRect.bottom - outerRect.top};

    const WindowSize minimum = platform->minimumTrackingSize(window);
    if (minimum.width > 0) outer.width = std::max(outer.width, minimum.width);
    if (minimum.height > 0) outer.height = std::max(outer.height, minimum.height);

    std::int32_t x = current->left;
    std::int32_t y = current->top;
    if (!keepPosition) {
        const WindowSize screen = platform->primaryScreenSize();
        x = static_cast<std::int32_t>((std::int64_t{screen.width} - outer.width) / 2);
        y = static_cast<std::int32_t>((std::int64_t{screen.height} - outer.height) / 2);
    }

    if (!platform->setWindowPos(window, x, y, outer, keepPosition, error)) {
        if (resizeFailedLog.allow(source, held)) SPDLOG_ERROR("SetWindowPos failed: {}{}", error, heldNote(held));
        return false;
    }
    if (resizedLog.allow(source, held)) {
        SPDLOG_INFO("Window resized to {}x{} (client: {}x{}){}", outer.width, outer.height, clientWidth, clientHeight,
                    heldNote(held));
    }
    return true;
}

}  // namespace quillane::host
