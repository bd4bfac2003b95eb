#pragma once

#include "capture/WindowInfo.h"
#include "capture/WindowSystem.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillane::host {

// Lists the desktop's top-level windows that a user would want to stream. Keeps
// nothing between calls: every call enumerates the windows again and draws and
// encodes every icon again. All operations may run on any thread at once.
class WindowEnumerator {
public:
    WindowEnumerator() = delete;

    // Matched whole and with case.
    static const std::array<std::wstring_view, 7> excludedWindowClasses;
    static const std::array<std::wstring_view, 2> excludedWindowTitles;

    // Every capturable window of this desktop, sorted by title byte-wise.
    static std::vector<protocol::WindowInfo> enumerateWindows();
    static std::vector<protocol::WindowInfo> enumerateWindows(WindowSystem& system);

    // The host's own windows are never offered for streaming.
    static void setOwnWindowIds(std::vector<std::uint32_t> ids);

    // One step of the enumeration; always true, so the enumeration runs to the end.
    static bool enumWindowsProc(WindowSystem& system, NativeWindow window,
                                std::vector<protocol::WindowInfo>* list);
    static bool isCapturableWindow(WindowSystem& system, NativeWindow window);
    static std::optional<protocol::WindowInfo> getWindowInfo(WindowSystem& system, NativeWindow window);
    static std::wstring getWindowTitle(WindowSystem& system, NativeWindow window);
    static std::wstring getClassName(WindowSystem& system, NativeWindow window);
    static std::wstring getProcessName(WindowSystem& system, NativeWindow window);
    static std::string getWindowIconBase64(WindowSystem& system, NativeWindow window);
    static std::string wideToUtf8(std::wstring_view text);

private:
    static bool isOwnWindow(NativeWindow window);
};

}  // namespace quillane::host
