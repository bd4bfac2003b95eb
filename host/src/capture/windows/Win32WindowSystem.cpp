#include "capture/windows/Win32WindowSystem.h"

#include "capture/WindowSystem.h"
#include "capture/windows/WicPng.h"

#include <dwmapi.h>
#include <shellapi.h>
#include <spdlog/spdlog.h>

#include <exception>
#include <vector>

namespace quillane::host {
namespace {

constexpr UINT kIconMessageTimeoutMs = 100;

HWND toHwnd(NativeWindow window) {
    return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(window));
}

std::wstring imagePathOfProcess(DWORD pid) {
    if (pid == 0) return {};
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == nullptr) return {};
    wchar_t buffer[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    std::wstring path;
    if (QueryFullProcessImageNameW(process, 0, buffer, &size)) path.assign(buffer, size);
    CloseHandle(process);
    return path;
}

DWORD processOf(HWND hwnd) {
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    return pid;
}

// Handle values 0 and 1 mean "no icon" in the answers below.
HICON usableIcon(std::uintptr_t value) {
    return value >= 2 ? reinterpret_cast<HICON>(value) : nullptr;
}

// The window's icon; *owned is set when it was extracted for this call and must be destroyed.
HICON findIcon(HWND hwnd, bool* owned) {
    *owned = false;
    for (const WPARAM size : {WPARAM{ICON_BIG}, WPARAM{ICON_SMALL}}) {
        DWORD_PTR result = 0;
        if (SendMessageTimeoutW(hwnd, WM_GETICON, size, 0, SMTO_ABORTIFHUNG, kIconMessageTimeoutMs, &result)) {
            if (HICON icon = usableIcon(result)) return icon;
        }
    }
    if (HICON icon = usableIcon(GetClassLongPtrW(hwnd, GCLP_HICON))) return icon;
    if (HICON icon = usableIcon(GetClassLongPtrW(hwnd, GCLP_HICONSM))) return icon;
    const std::wstring path = imagePathOfProcess(processOf(hwnd));
    if (path.empty()) return nullptr;
    HICON large = nullptr;
    HICON small = nullptr;
    ExtractIconExW(path.c_str(), 0, &large, &small, 1);
    if (large != nullptr) {
        if (small != nullptr) DestroyIcon(small);
        *owned = true;
        return large;
    }
    if (small != nullptr) {
        *owned = true;
        return small;
    }
    return nullptr;
}

bool haveAlpha(const std::uint8_t* bgra, std::size_t pixelCount) {
    for (std::size_t i = 0; i < pixelCount; ++i) {
        if (bgra[i * 4 + 3] != 0) return true;
    }
    return false;
}

struct GdiObject {
    HGDIOBJ handle = nullptr;
    ~GdiObject() {
        if (handle != nullptr) DeleteObject(handle);
    }
};

struct DeviceContexts {
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    ~DeviceContexts() {
        if (memory != nullptr) DeleteDC(memory);
        if (screen != nullptr) ReleaseDC(nullptr, screen);
    }
};

HBITMAP createTopDownDib(HDC dc, int width, int height, void** bits) {
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    *bits = nullptr;
    return CreateDIBSection(dc, &info, DIB_RGB_COLORS, bits, nullptr, 0);
}

void drawIcon(HDC dc, HBITMAP target, HICON icon, int width, int height, COLORREF background, UINT flags) {
    const HGDIOBJ previous = SelectObject(dc, target);
    const RECT all = {0, 0, width, height};
    HBRUSH brush = CreateSolidBrush(background);
    FillRect(dc, &all, brush);
    DeleteObject(brush);
    DrawIconEx(dc, 0, 0, icon, width, height, 0, nullptr, flags);
    SelectObject(dc, previous);
    GdiFlush();
}

WindowIconPng drawAndEncode(HICON icon) {
    ICONINFO iconInfo = {};
    if (!GetIconInfo(icon, &iconInfo)) {
        SPDLOG_WARN("getWindowIconBase64: GetIconInfo failed, error={}", GetLastError());
        return {WindowIconPng::Outcome::DrawFailed, {}};
    }
    const GdiObject colour{iconInfo.hbmColor};
    const GdiObject mask{iconInfo.hbmMask};
    BITMAP bitmap = {};
    if (!GetObjectW(iconInfo.hbmColor != nullptr ? iconInfo.hbmColor : iconInfo.hbmMask, sizeof bitmap, &bitmap)) {
        SPDLOG_WARN("getWindowIconBase64: GetObject failed, error={}", GetLastError());
        return {WindowIconPng::Outcome::DrawFailed, {}};
    }
    const int width = bitmap.bmWidth;
    // A monochrome icon keeps its AND and XOR masks one above the other in one
    // bitmap of twice the icon's height.
    const int height = iconInfo.hbmColor != nullptr ? bitmap.bmHeight : bitmap.bmHeight / 2;

    const DeviceContexts dcs;
    void* bits = nullptr;
    const GdiObject dib{createTopDownDib(dcs.memory, width, height, &bits)};
    if (dib.handle == nullptr || bits == nullptr) {
        SPDLOG_WARN("getWindowIconBase64: CreateDIBSection failed, error={}", GetLastError());
        return {WindowIconPng::Outcome::DrawFailed, {}};
    }
    drawIcon(dcs.memory, static_cast<HBITMAP>(dib.handle), icon, width, height, RGB(0, 0, 0), DI_NORMAL);

    const std::size_t pixelCount = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    auto* pixels = static_cast<std::uint8_t*>(bits);
    if (haveAlpha(pixels, pixelCount)) {
        finishIconPixels(pixels, pixelCount, nullptr);
    } else {
        void* maskBits = nullptr;
        const GdiObject maskDib{createTopDownDib(dcs.memory, width, height, &maskBits)};
        if (maskDib.handle != nullptr && maskBits != nullptr)
            drawIcon(dcs.memory, static_cast<HBITMAP>(maskDib.handle), icon, width, height, RGB(255, 255, 255),
                     DI_MASK);
        finishIconPixels(pixels, pixelCount,
                         maskDib.handle != nullptr ? static_cast<const std::uint8_t*>(maskBits) : nullptr);
    }

    WindowIconPng result{WindowIconPng::Outcome::Encoded, {}};
    Microsoft::WRL::ComPtr<IWICImagingFactory> factory;
    if (const HRESULT hr = createWicFactory(factory); FAILED(hr)) {
        SPDLOG_WARN("getWindowIconBase64: WIC factory creation failed: 0x{:08x}", static_cast<std::uint32_t>(hr));
        return result;
    }
    Microsoft::WRL::ComPtr<IWICBitmap> source;
    if (FAILED(factory->CreateBitmapFromHBITMAP(static_cast<HBITMAP>(dib.handle), nullptr, WICBitmapUseAlpha,
                                                source.GetAddressOf()))) {
        SPDLOG_WARN("getWindowIconBase64: CreateBitmapFromHBITMAP failed");
        return result;
    }
    WicPngResult png = encodeWicPng(factory.Get(), source.Get(), static_cast<UINT>(width), static_cast<UINT>(height));
    if (png.frameFailed)
        SPDLOG_WARN("getWindowIconBase64: PNG encoding failed at some step: 0x{:08x}",
                    static_cast<std::uint32_t>(png.hr));
    result.png = std::move(png.png);
    return result;
}

// The Win32 desktop: EnumWindows, the window styles, the Desktop Window
// Manager's cloaking, the owning process and the window's icon drawn with GDI
// and encoded with the Windows Imaging Component.
class Win32WindowSystem final : public WindowSystem {
public:
    void forEachTopLevelWindow(const std::function<bool(NativeWindow)>& visit) override {
        struct Walk {
            const std::function<bool(NativeWindow)>* visit;
            std::exception_ptr error;
        } walk{&visit, nullptr};
        EnumWindows(
            [](HWND hwnd, LPARAM param) -> BOOL {
                auto* w = reinterpret_cast<Walk*>(param);
                try {
                    return (*w->visit)(reinterpret_cast<std::uintptr_t>(hwnd)) ? TRUE : FALSE;
                } catch (...) {
                    // Exceptions must not cross the system's frames.
                    w->error = std::current_exception();
                    return FALSE;
                }
            },
            reinterpret_cast<LPARAM>(&walk));
        if (walk.error) std::rethrow_exception(walk.error);
    }

    bool isVisible(NativeWindow window) override {
        return IsWindowVisible(toHwnd(window)) != FALSE;
    }

    std::size_t titleLength(NativeWindow window) override {
        const int n = GetWindowTextLengthW(toHwnd(window));
        return n > 0 ? static_cast<std::size_t>(n) : 0;
    }

    std::wstring title(NativeWindow window) override {
        const HWND hwnd = toHwnd(window);
        const int n = GetWindowTextLengthW(hwnd);
        if (n <= 0) return {};
        std::wstring text(static_cast<std::size_t>(n) + 1, L'\0');
        const int copied = GetWindowTextW(hwnd, text.data(), n + 1);
        // The reported length may exceed the text (it can count a conversion's worst
        // case, and the title may shrink in between): keep only what was copied.
        text.resize(copied > 0 ? static_cast<std::size_t>(copied < n ? copied : n) : 0);
        return text;
    }

    std::wstring className(NativeWindow window) override {
        wchar_t buffer[256] = {};
        const int n = GetClassNameW(toHwnd(window), buffer, 256);
        return std::wstring(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
    }

    WindowStyle style(NativeWindow window) override {
        const HWND hwnd = toHwnd(window);
        const auto style = static_cast<DWORD>(GetWindowLongW(hwnd, GWL_STYLE));
        const auto exStyle = static_cast<DWORD>(GetWindowLongW(hwnd, GWL_EXSTYLE));
        WindowStyle result;
        result.toolWindow = (exStyle & WS_EX_TOOLWINDOW) != 0;
        result.caption = (style & WS_CAPTION) != 0;
        result.appWindow = (exStyle & WS_EX_APPWINDOW) != 0;
        return result;
    }

    bool isCloaked(NativeWindow window) override {
        DWORD cloaked = 0;
        // A failing call leaves 0: not cloaked.
        DwmGetWindowAttribute(toHwnd(window), DWMWA_CLOAKED, &cloaked, sizeof cloaked);
        return cloaked != 0;
    }

    std::optional<WindowRect> rect(NativeWindow window) override {
        RECT r = {};
        if (!GetWindowRect(toHwnd(window), &r)) return std::nullopt;
        return WindowRect{r.left, r.top, r.right, r.bottom};
    }

    bool isMinimized(NativeWindow window) override {
        return IsIconic(toHwnd(window)) != FALSE;
    }

    bool isMaximized(NativeWindow window) override {
        return IsZoomed(toHwnd(window)) != FALSE;
    }

    std::wstring processImagePath(NativeWindow window) override {
        return imagePathOfProcess(processOf(toHwnd(window)));
    }

    WindowIconPng iconPng(NativeWindow window) override {
        // COM leaves the thread only after every WIC object below is released.
        const ComApartment com;
        bool owned = false;
        const HICON icon = findIcon(toHwnd(window), &owned);
        if (icon == nullptr) return {};
        WindowIconPng result = drawAndEncode(icon);
        if (owned) DestroyIcon(icon);
        return result;
    }
};

}  // namespace

std::unique_ptr<WindowSystem> createWindowSystem() {
    return std::make_unique<Win32WindowSystem>();
}

void finishIconPixels(std::uint8_t* bgra, std::size_t pixelCount, const std::uint8_t* maskBgra) {
    const bool hasAlpha = haveAlpha(bgra, pixelCount);
    for (std::size_t i = 0; i < pixelCount; ++i) {
        std::uint8_t* p = bgra + i * 4;
        if (!hasAlpha) {
            p[3] = maskBgra != nullptr ? static_cast<std::uint8_t>(255 - maskBgra[i * 4]) : 255;
            continue;
        }
        const unsigned alpha = p[3];
        if (alpha == 0 || alpha == 255) continue;
        for (int c = 0; c < 3; ++c) {
            const unsigned straight = (p[c] * 255u + alpha / 2) / alpha;
            p[c] = static_cast<std::uint8_t>(straight > 255 ? 255 : straight);
        }
    }
}

}  // namespace quillane::host
