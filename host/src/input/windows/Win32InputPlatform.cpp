#include "input/InputPlatform.h"

#include <windows.h>

#include <dwmapi.h>

#include <array>
#include <vector>

namespace quillane::host {
namespace {

// A window that does not answer within this time has no minimum as far as a
// resize is concerned; the signalling thread must not hang on it.
constexpr UINT kMinMaxInfoTimeoutMs = 500;

HWND toHwnd(NativeWindow window) {
    return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(window));
}

NativeWindow fromHwnd(HWND window) {
    return static_cast<NativeWindow>(reinterpret_cast<std::uintptr_t>(window));
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

    std::uint32_t sendInputs(std::span<const SyntheticInput> inputs) override {
        // The injector sends at most a few at a time; larger batches take the heap.
        std::array<INPUT, 8> local{};
        std::vector<INPUT> heap;
        INPUT* records = local.data();
        if (inputs.size() > local.size()) {
            heap.resize(inputs.size());
            records = heap.data();
        }
        for (std::size_t i = 0; i < inputs.size(); ++i) records[i] = toInput(inputs[i]);
        return SendInput(static_cast<UINT>(inputs.size()), records, sizeof(INPUT));
    }

    VirtualScreen virtualScreen() override {
        return VirtualScreen{GetSystemMetrics(SM_XVIRTUALSCREEN), GetSystemMetrics(SM_YVIRTUALSCREEN),
                             GetSystemMetrics(SM_CXVIRTUALSCREEN), GetSystemMetrics(SM_CYVIRTUALSCREEN)};
    }

    std::optional<WindowRect> mappingRect(NativeWindow window) override {
        // What window capture shows: the frame without the invisible resize borders that
        // GetWindowRect includes.
        RECT r{};
        if (SUCCEEDED(DwmGetWindowAttribute(toHwnd(window), DWMWA_EXTENDED_FRAME_BOUNDS, &r, sizeof(r))) &&
            r.right > r.left && r.bottom > r.top)
            return WindowRect{r.left, r.top, r.right, r.bottom};
        if (!GetWindowRect(toHwnd(window), &r)) return std::nullopt;
        return WindowRect{r.left, r.top, r.right, r.bottom};
    }

    NativeWindow windowFromPoint(std::int32_t x, std::int32_t y) override {
        return fromHwnd(WindowFromPoint(POINT{x, y}));
    }

    NativeWindow rootWindow(NativeWindow window) override { return fromHwnd(GetAncestor(toHwnd(window), GA_ROOT)); }

    bool sameApplication(NativeWindow window, NativeWindow other) override {
        DWORD process = 0, otherProcess = 0;
        if (GetWindowThreadProcessId(toHwnd(window), &process) == 0) return false;
        if (GetWindowThreadProcessId(toHwnd(other), &otherProcess) == 0) return false;
        return process != 0 && process == otherProcess;
    }

    std::uint16_t scanCode(std::uint8_t vk) override {
        return static_cast<std::uint16_t>(MapVirtualKeyW(vk, MAPVK_VK_TO_VSC));
    }

    NativeWindow foregroundWindow() override { return fromHwnd(GetForegroundWindow()); }
    bool isIconic(NativeWindow window) override { return IsIconic(toHwnd(window)) != FALSE; }
    bool isVisible(NativeWindow window) override { return IsWindowVisible(toHwnd(window)) != FALSE; }
    void showWindow(NativeWindow window, bool restore) override {
        ShowWindow(toHwnd(window), restore ? SW_RESTORE : SW_SHOW);
    }
    void bringToTop(NativeWindow window) override { BringWindowToTop(toHwnd(window)); }
    bool setForeground(NativeWindow window) override { return SetForegroundWindow(toHwnd(window)) != FALSE; }
    std::uint32_t lastError() override { return GetLastError(); }
    std::uint32_t windowThread(NativeWindow window) override {
        return GetWindowThreadProcessId(toHwnd(window), nullptr);
    }
    std::uint32_t currentThread() override { return GetCurrentThreadId(); }
    bool attachThreadInput(std::uint32_t from, std::uint32_t to, bool attach) override {
        return AttachThreadInput(from, to, attach ? TRUE : FALSE) != FALSE;
    }
    void setFocus(NativeWindow window) override { SetFocus(toHwnd(window)); }
    void setActiveWindow(NativeWindow window) override { SetActiveWindow(toHwnd(window)); }
    void sleepMs(std::int32_t milliseconds) override { Sleep(static_cast<DWORD>(milliseconds)); }

private:
    static INPUT toInput(const SyntheticInput& in) {
        INPUT out{};
        if (in.kind == SyntheticInput::Kind::Mouse) {
            out.type = INPUT_MOUSE;
            out.mi.dx = in.dx;
            out.mi.dy = in.dy;
            out.mi.mouseData = static_cast<DWORD>(in.data);  // a negative wheel delta stays sign-extended
            out.mi.dwFlags = in.flags;
        } else {
            out.type = INPUT_KEYBOARD;
            out.ki.wVk = in.vk;
            out.ki.wScan = in.scan;
            out.ki.dwFlags = in.flags;
        }
        return out;
    }
};

}  // namespace

std::shared_ptr<InputPlatform> createInputPlatform() {
    return std::make_shared<Win32InputPlatform>();
}

}  // namespace quillane::host
