#include "capture/WindowEnumerator.h"

#include "common/Base64.h"
#include "common/Utf8.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <mutex>

namespace quillane::host {

const std::array<std::wstring_view, 7> WindowEnumerator::excludedWindowClasses = {
    L"Progman",
    L"Shell_TrayWnd",
    L"Shell_SecondaryTrayWnd",
    L"NotifyIconOverflowWindow",
    L"Windows.UI.Core.CoreWindow",
    L"ApplicationFrameWindow",
    L"Xaml_WindowedPopupClass",
};

const std::array<std::wstring_view, 2> WindowEnumerator::excludedWindowTitles = {
    L"Program Manager",
    L"Microsoft Text Input Application",
};

namespace {

std::mutex ownWindowsMutex;
std::vector<std::uint32_t> ownWindows;

template <std::size_t N>
bool listed(const std::array<std::wstring_view, N>& table, std::wstring_view text) {
    return std::find(table.begin(), table.end(), text) != table.end();
}

}  // namespace

std::vector<protocol::WindowInfo> WindowEnumerator::enumerateWindows() {
    auto system = createWindowSystem();
    if (!system) return {};
    return enumerateWindows(*system);
}

std::vector<protocol::WindowInfo> WindowEnumerator::enumerateWindows(WindowSystem& system) {
    std::vector<protocol::WindowInfo> list;
    system.forEachTopLevelWindow(
        [&](NativeWindow window) { return enumWindowsProc(system, window, &list); });
    std::sort(list.begin(), list.end(),
              [](const protocol::WindowInfo& a, const protocol::WindowInfo& b) { return a.title < b.title; });
    return list;
}

void WindowEnumerator::setOwnWindowIds(std::vector<std::uint32_t> ids) {
    std::lock_guard lock(ownWindowsMutex);
    ownWindows = std::move(ids);
}

bool WindowEnumerator::isOwnWindow(NativeWindow window) {
    std::lock_guard lock(ownWindowsMutex);
    return std::find(ownWindows.begin(), ownWindows.end(), static_cast<std::uint32_t>(window)) !=
           ownWindows.end();
}

bool WindowEnumerator::enumWindowsProc(WindowSystem& system, NativeWindow window,
                                       std::vector<protocol::WindowInfo>* list) {
    if (!isCapturableWindow(system, window)) return true;
    if (auto info = getWindowInfo(system, window)) list->push_back(std::move(*info));
    return true;
}

bool WindowEnumerator::isCapturableWindow(WindowSystem& system, NativeWindow window) {
    if (isOwnWindow(window)) return false;
    if (!system.isVisible(window)) return false;
    if (system.titleLength(window) == 0) return false;
    const WindowStyle style = system.style(window);
    if (style.toolWindow) return false;
    if (!style.caption && !style.appWindow) return false;
    if (system.isCloaked(window)) return false;
    if (listed(excludedWindowClasses, getClassName(system, window))) return false;
    if (listed(excludedWindowTitles, getWindowTitle(system, window))) return false;
    const auto rect = system.rect(window);
    if (!rect) return false;
    // Widened so that extreme coordinates cannot overflow the difference.
    if (std::int64_t{rect->right} - rect->left <= 0 || std::int64_t{rect->bottom} - rect->top <= 0)
        return false;
    return true;
}

std::optional<protocol::WindowInfo> WindowEnumerator::getWindowInfo(WindowSystem& system, NativeWindow window) {
    protocol::WindowInfo info;
    info.id = static_cast<std::uint32_t>(window);
    info.title = wideToUtf8(getWindowTitle(system, window));
    info.className = wideToUtf8(getClassName(system, window));
    info.processName = wideToUtf8(getProcessName(system, window));
    // A window destroyed since the filter keeps the zero rectangle.
    if (const auto rect = system.rect(window)) {
        info.x = rect->left;
        info.y = rect->top;
        info.width = static_cast<std::int32_t>(std::int64_t{rect->right} - rect->left);
        info.height = static_cast<std::int32_t>(std::int64_t{rect->bottom} - rect->top);
    }
    info.isMinimized = system.isMinimized(window);
    info.isMaximized = system.isMaximized(window);
    info.isVisible = system.isVisible(window);
    info.iconBase64 = getWindowIconBase64(system, window);
    return info;
}

std::wstring WindowEnumerator::getWindowTitle(WindowSystem& system, NativeWindow window) {
    return system.title(window);
}

std::wstring WindowEnumerator::getClassName(WindowSystem& system, NativeWindow window) {
    return system.className(window);
}

std::wstring WindowEnumerator::getProcessName(WindowSystem& system, NativeWindow window) {
    std::wstring path = system.processImagePath(window);
    const auto slash = path.find_last_of(L"\\/");
    if (slash != std::wstring::npos) path.erase(0, slash + 1);
    return path;
}

std::string WindowEnumerator::getWindowIconBase64(WindowSystem& system, NativeWindow window) {
    const WindowIconPng icon = system.iconPng(window);
    if (icon.outcome != WindowIconPng::Outcome::Encoded) return {};
    if (icon.png.empty()) {
        SPDLOG_WARN("getWindowIconBase64: PNG data is empty after encoding for hwnd {:x}", window);
        return {};
    }
    return base64Encode(icon.png);
}

std::string WindowEnumerator::wideToUtf8(std::wstring_view text) {
    return host::wideToUtf8(text);
}

}  // namespace quillane::host
