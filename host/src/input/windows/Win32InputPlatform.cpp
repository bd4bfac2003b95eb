#include "input/InputPlatform.h"

#include <windows.h>

namespace quillane::host {
namespace {

// A window that does not answer within this time has no minimum as far as a
// resize is concerned; the signalling thread must not hang on it.
constexpr UINT kMinMaxInfoTimeoutMs = 500;

HWND toHwnd(NativeWindow window) {
    return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(window));
}

class Win32InputPlatform final : public InputPlatform {
public:
    bool isWindow(NativeWindow window) override { return IsWindow(toHwnd(window)) != FALSE; }

    std::optional<WindowRect> windowRect(NativeWindow window, std::uint32_t& error) override {
        RECT r{};
        if (!GetWindowRect(toHwnd(window), &r)) {
            error = GetLastError();
            return std::nullopt;
        }
        return WindowRect{r.left, r.top, r.right, r.bottom};
    }

    WindowRect adjustClientRect(NativeWindow window, const WindowRect& client) override {
        const HWND hwnd = toHwnd(window);
        RECT r{client.left, client.top, client.right, client.bottom};
        const auto style = static_cast<DWORD>(GetWindowLongW(hwnd, GWL_STYLE));
        const auto exStyle = static_cast<DWORD>(GetWindowLongW(hwnd, GWL_EXSTYLE));
        AdjustWindowRectEx(&r, style, FALSE, exStyle);
        return WindowRect{r.left, r.top, r.right, r.bottom};
    }

    WindowSize minimumTrackingSize(NativeWindow window) override {
        MINMAXINFO info{};
        DWORD_PTR result = 0;
        // The system marshals this message's structure across processes.
        if (!SendMessageTimeoutW(toHwnd(window), WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&info),
                                 SMTO_ABORTIFHUNG, kMinMaxInfoTimeoutMs, &result))
            return {};
        return WindowSize{info.ptMinTrackSize.x, info.ptMinTrackSize.y};
    }

    WindowSize primaryScreenSize() override {
        return WindowSize{GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    }

    bool setWindowPos(NativeWindow window, std::int32_t x, std::int32_t y, WindowSize outer, bool keepPosition,
                      std::uint32_t& error) override {
        UINT flags = SWP_NOZORDER | SWP_NOACTIVATE;
        if (keepPosition) flags |= SWP_NOMOVE;
        if (!SetWindowPos(toHwnd(window), nullptr, x, y, outer.width, outer.height, flags)) {
            error = GetLastError();
            return false;
        }
        return true;
    }
};

}  // namespace

std::shared_ptr<InputPlatform> createInputPlatform() {
    return std::make_shared<Win32InputPlatform>();
}

}  // namespace quillane::host
