#include "input/InputInjector.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <utility>

namespace quillane::host {
namespace {

// Largest client side passed on: X11 sizes are 16 bits on the wire and would
// silently wrap, and Win32 coordinates stop at 32767 in practice.
constexpr std::uint32_t kMaxClientSide = 32767;

}  // namespace

InputInjector::InputInjector(std::shared_ptr<InputPlatform> platform) : platform(std::move(platform)) {}

bool InputInjector::resizeWindow(NativeWindow window, std::uint32_t clientWidth, std::uint32_t clientHeight,
                                 bool keepPosition) {
    if (window == 0 || !platform || !platform->isWindow(window)) {
        SPDLOG_ERROR("Invalid window handle for resize");
        return false;
    }
    if (clientWidth > kMaxClientSide || clientHeight > kMaxClientSide) {
        SPDLOG_ERROR("Client size {}x{} is too large for a window", clientWidth, clientHeight);
        return false;
    }

    std::uint32_t error = 0;
    const auto current = platform->windowRect(window, error);
    if (!current) {
        SPDLOG_ERROR("Failed to get window rect: {}", error);
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
        SPDLOG_ERROR("SetWindowPos failed: {}", error);
        return false;
    }
    SPDLOG_INFO("Window resized to {}x{} (client: {}x{})", outer.width, outer.height, clientWidth, clientHeight);
    return true;
}

}  // namespace quillane::host
