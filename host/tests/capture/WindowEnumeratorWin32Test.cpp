// Real Win32 windows of this process, enumerated as the window list sees them.
#include "LogCapture.h"
#include "capture/PngEncoder.h"
#include "capture/WindowEnumerator.h"
#include "capture/windows/WicPng.h"
#include "capture/windows/Win32WindowSystem.h"
#include "common/Base64.h"
#include "common/Utf8.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <optional>

namespace quillane::host::test {
namespace {

using protocol::WindowInfo;

// Decodes a PNG with WIC's own decoder into straight RGBA.
std::optional<RgbaImage> decodePng(const std::vector<std::uint8_t>& file) {
    ComApartment com;
    Microsoft::WRL::ComPtr<IWICImagingFactory> factory;
    if (FAILED(createWicFactory(factory))) return std::nullopt;
    Microsoft::WRL::ComPtr<IWICStream> stream;
    Microsoft::WRL::ComPtr<IWICBitmapDecoder> decoder;
    Microsoft::WRL::ComPtr<IWICBitmapFrameDecode> frame;
    Microsoft::WRL::ComPtr<IWICFormatConverter> converter;
    if (FAILED(factory->CreateStream(stream.GetAddressOf())) ||
        FAILED(stream->InitializeFromMemory(const_cast<BYTE*>(file.data()), static_cast<DWORD>(file.size()))) ||
        FAILED(factory->CreateDecoderFromStream(stream.Get(), nullptr, WICDecodeMetadataCacheOnDemand,
                                                decoder.GetAddressOf())) ||
        FAILED(decoder->GetFrame(0, frame.GetAddressOf())) ||
        FAILED(factory->CreateFormatConverter(converter.GetAddressOf())) ||
        FAILED(converter->Initialize(frame.Get(), GUID_WICPixelFormat32bppRGBA, WICBitmapDitherTypeNone, nullptr,
                                     0.0, WICBitmapPaletteTypeCustom)))
        return std::nullopt;
    RgbaImage image;
    if (FAILED(converter->GetSize(&image.width, &image.height))) return std::nullopt;
    image.pixels.resize(std::size_t{image.width} * image.height * 4);
    if (FAILED(converter->CopyPixels(nullptr, image.width * 4, static_cast<UINT>(image.pixels.size()),
                                     image.pixels.data())))
        return std::nullopt;
    return image;
}

// Straight BGRA of test icon pixel (x, y); opaque, transparent and half-transparent areas.
std::uint32_t iconPixel(int side, int x, int y) {
    const std::uint32_t alpha = x < side / 4 ? 0 : (y < side / 4 ? 0x80 : 0xFF);
    const std::uint32_t r = (x * 255 / side) & 0xFF, g = (y * 255 / side) & 0xFF, b = side == 48 ? 0x20 : 0xC0;
    return alpha << 24 | r << 16 | g << 8 | b;
}

HICON createAlphaIcon(int side) {
    BITMAPV5HEADER header = {};
    header.bV5Size = sizeof header;
    header.bV5Width = side;
    header.bV5Height = -side;
    header.bV5Planes = 1;
    header.bV5BitCount = 32;
    header.bV5Compression = BI_BITFIELDS;
    header.bV5RedMask = 0x00FF0000;
    header.bV5GreenMask = 0x0000FF00;
    header.bV5BlueMask = 0x000000FF;
    header.bV5AlphaMask = 0xFF000000;
    void* bits = nullptr;
    HDC dc = GetDC(nullptr);
    HBITMAP colour = CreateDIBSection(dc, reinterpret_cast<BITMAPINFO*>(&header), DIB_RGB_COLORS, &bits, nullptr, 0);
    ReleaseDC(nullptr, dc);
    auto* px = static_cast<std::uint32_t*>(bits);
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x) px[y * side + x] = iconPixel(side, x, y);
    HBITMAP mask = CreateBitmap(side, side, 1, 1, nullptr);
    ICONINFO info = {TRUE, 0, 0, mask, colour};
    HICON icon = CreateIconIndirect(&info);
    DeleteObject(colour);
    DeleteObject(mask);
    return icon;
}

// A monochrome icon: left half opaque (black or white), right half transparent.
HICON createMonochromeIcon() {
    BYTE andBits[32 * 4], xorBits[32 * 4];
    for (int row = 0; row < 32; ++row) {
        for (int b = 0; b < 4; ++b) {
            andBits[row * 4 + b] = b < 2 ? 0x00 : 0xFF;                        // 1 = transparent
            xorBits[row * 4 + b] = b < 2 ? (row < 16 ? 0xFF : 0x00) : 0x00;  // white above, black below
        }
    }
    return CreateIcon(GetModuleHandleW(nullptr), 32, 32, 1, 1, andBits, xorBits);
}

LRESULT CALLBACK testWindowProc(HWND hwnd, UINT message, WPARAM w, LPARAM l) {
    return DefWindowProcW(hwnd, message, w, l);
}

class WindowEnumeratorWin32 : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        icon32 = createAlphaIcon(32);
        icon48 = createAlphaIcon(48);
        monochrome = createMonochromeIcon();
        WNDCLASSEXW wc = {};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = testWindowProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.hIcon = icon32;
        wc.lpszClassName = L"QhEnumTestClass";
        ASSERT_NE(RegisterClassExW(&wc), 0) << GetLastError();
        wc.hIcon = monochrome;
        wc.lpszClassName = L"QhEnumMonoClass";
        RegisterClassExW(&wc);
        wc.hIcon = nullptr;
        wc.lpszClassName = L"Progman";
        RegisterClassExW(&wc);
        wc.lpszClassName = L"QhEnumNoIconClass";
        RegisterClassExW(&wc);
    }
    void TearDown() override {
        for (HWND w : windows) DestroyWindow(w);
    }
    HWND make(const wchar_t* title, DWORD style = WS_OVERLAPPEDWINDOW, DWORD exStyle = 0,
              const wchar_t* cls = L"QhEnumTestClass", int show = SW_SHOWNORMAL, int width = 320, int height = 240) {
        HWND w = CreateWindowExW(exStyle, cls, title, style, 50, 60, width, height, nullptr, nullptr,
                                 GetModuleHandleW(nullptr), nullptr);
        EXPECT_NE(w, nullptr) << "CreateWindowExW failed, error " << GetLastError();
        if (show >= 0) ShowWindow(w, show);
        windows.push_back(w);
        pump();
        return w;
    }
    static void pump() {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    }
    static std::optional<WindowInfo> find(const std::vector<WindowInfo>& list, HWND w) {
        for (const auto& info : list) {
            if (info.id == static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(w))) return info;
        }
        return std::nullopt;
    }
    static std::string ownExecutableName() {
        wchar_t path[MAX_PATH];
        const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
        std::wstring p(path, n);
        return wideToUtf8(p.substr(p.find_last_of(L"\\/") + 1));
    }

    static inline HICON icon32 = nullptr;
    static inline HICON icon48 = nullptr;
    static inline HICON monochrome = nullptr;
    std::vector<HWND> windows;
};

void expectIconPixels(const RgbaImage& image, int side) {
    ASSERT_EQ(image.width, static_cast<std::uint32_t>(side));
    ASSERT_EQ(image.height, static_cast<std::uint32_t>(side));
    int bad = 0;
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            const std::uint32_t want = iconPixel(side, x, y);
            const std::uint8_t* got = &image.pixels[(y * side + x) * 4];
            const int alpha = want >> 24;
            if (got[3] != alpha) {
                ++bad;
                continue;
            }
            if (alpha == 0) continue;  // colour under full transparency is not kept
            // Half-transparent colour passes through premultiplication and back.
            const int tolerance = alpha == 0xFF ? 0 : 2;
            const int rgb[3] = {int(want >> 16 & 0xFF), int(want >> 8 & 0xFF), int(want & 0xFF)};
            for (int c = 0; c < 3; ++c) {
                if (std::abs(got[c] - rgb[c]) > tolerance) ++bad;
            }
        }
    }
    EXPECT_EQ(bad, 0) << "icon of side " << side << " differs";
}

TEST_F(WindowEnumeratorWin32, ListsWindowsFieldByFieldWithIconsAndState) {
    test::LogCapture log;
    HWND w = make(L"Quillane enum test \u03A9 \u2713");
    HWND ownIcon = make(L"own icon");
    SendMessageW(ownIcon, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon48));  // before the class icon
    HWND mono = make(L"monochrome icon", WS_OVERLAPPEDWINDOW, 0, L"QhEnumMonoClass");
    // No window icon, no class icon, and this program's file has no icon resource either.
    HWND noIcon = make(L"no icon anywhere", WS_OVERLAPPEDWINDOW, 0, L"QhEnumNoIconClass");
    HWND minimised = make(L"minimised window", WS_OVERLAPPEDWINDOW, 0, L"QhEnumTestClass", SW_SHOWMINIMIZED);
    HWND maximised = make(L"maximised window", WS_OVERLAPPEDWINDOW, 0, L"QhEnumTestClass", SW_SHOWMAXIMIZED);
    const auto list = WindowEnumerator::enumerateWindows();

    const auto info = find(list, w);
    ASSERT_TRUE(info) << "window not listed";
    EXPECT_EQ(info->title, "Quillane enum test \xCE\xA9 \xE2\x9C\x93");
    EXPECT_EQ(info->className, "QhEnumTestClass");
    EXPECT_EQ(info->processName, ownExecutableName());
    RECT r;
    GetWindowRect(w, &r);
    EXPECT_EQ(info->x, r.left);
    EXPECT_EQ(info->y, r.top);
    EXPECT_EQ(info->width, r.right - r.left);
    EXPECT_EQ(info->height, r.bottom - r.top);
    EXPECT_EQ(info->width, 320);
    EXPECT_FALSE(info->isMinimized);
    EXPECT_FALSE(info->isMaximized);
    EXPECT_TRUE(info->isVisible);
    for (const auto& [window, side] : {std::pair{w, 32}, {ownIcon, 48}}) {
        SCOPED_TRACE(side);
        const auto listed = find(list, window);
        ASSERT_TRUE(listed);
        const auto png = base64Decode(listed->iconBase64);
        ASSERT_TRUE(png && !png->empty()) << listed->iconBase64;
        const auto image = decodePng(*png);
        ASSERT_TRUE(image);
        expectIconPixels(*image, side);
    }

    const auto monoInfo = find(list, mono);
    ASSERT_TRUE(monoInfo);
    const auto image = decodePng(base64Decode(monoInfo->iconBase64).value_or(std::vector<std::uint8_t>{}));
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, 32u);
    EXPECT_EQ(image->height, 32u);  // not the mask bitmap's doubled height
    const auto at = [&](int x, int y) { return &image->pixels[(y * 32 + x) * 4]; };
    EXPECT_EQ(at(5, 5)[3], 255);  // opaque white
    EXPECT_EQ(at(5, 5)[0], 255);
    EXPECT_EQ(at(5, 25)[3], 255);  // opaque black
    EXPECT_EQ(at(5, 25)[0], 0);
    EXPECT_EQ(at(25, 5)[3], 0);  // transparent half
    EXPECT_EQ(at(25, 25)[3], 0);

    ASSERT_TRUE(find(list, noIcon));
    EXPECT_EQ(find(list, noIcon)->iconBase64, "");
    EXPECT_EQ(log.count("getWindowIconBase64"), 0u);

    const auto min = find(list, minimised);
    const auto max = find(list, maximised);
    ASSERT_TRUE(min && max);
    EXPECT_TRUE(min->isMinimized);
    EXPECT_TRUE(min->isVisible);
    EXPECT_FALSE(min->isMaximized);
    EXPECT_TRUE(max->isMaximized);
    EXPECT_FALSE(max->isMinimized);
}

// Run in a child process by the next test: a window that stops answering messages.
TEST_F(WindowEnumeratorWin32, HungWindowChild) {
    wchar_t title[128];
    if (GetEnvironmentVariableW(L"QH_ENUM_HUNG_TITLE", title, 128) == 0) GTEST_SKIP() << "runs as a child only";
    HWND w = make(title, WS_OVERLAPPEDWINDOW, 0, L"QhEnumTestClass", -1);
    SendMessageW(w, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon48));
    ShowWindow(w, SW_SHOWNORMAL);
    pump();
    Sleep(INFINITE);  // until the parent ends this process
}

TEST_F(WindowEnumeratorWin32, HungWindowOfAnotherProcessDoesNotStallTheList) {
    wchar_t exe[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    const std::wstring title = L"hung window " + std::to_wstring(GetCurrentProcessId());
    std::wstring command = L"\"" + std::wstring(exe) + L"\" --gtest_filter=WindowEnumeratorWin32.HungWindowChild";
    SetEnvironmentVariableW(L"QH_ENUM_HUNG_TITLE", title.c_str());
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    const BOOL started =
        CreateProcessW(exe, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child);
    SetEnvironmentVariableW(L"QH_ENUM_HUNG_TITLE", nullptr);
    ASSERT_TRUE(started) << GetLastError();
    HWND hung = nullptr;
    // Found once it is shown, which the child does last.
    for (int i = 0; i < 400 && (hung == nullptr || !IsWindowVisible(hung)); ++i) {
        hung = FindWindowW(L"QhEnumTestClass", title.c_str());
        if (hung == nullptr || !IsWindowVisible(hung)) Sleep(50);
    }
    // The child never handles another message: an enumeration that waited for it would never return.
    const auto list = hung != nullptr ? WindowEnumerator::enumerateWindows() : std::vector<WindowInfo>{};
    TerminateProcess(child.hProcess, 0);
    WaitForSingleObject(child.hProcess, 10000);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    ASSERT_NE(hung, nullptr) << "child window did not appear";
    const auto info = find(list, hung);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->title, wideToUtf8(title));
    EXPECT_EQ(info->className, "QhEnumTestClass");
    EXPECT_EQ(info->processName, ownExecutableName());
    // The 48-pixel window icon needs an answer from the hung thread, the class icon does not.
    // (Wine keeps icon pixels in the process that made them: they may not be readable at all.)
    if (!info->iconBase64.empty()) {
        const auto image = decodePng(*base64Decode(info->iconBase64));
        ASSERT_TRUE(image);
        expectIconPixels(*image, 32);
    }
}

// What the styles, visibility, title and rectangle of real windows say; the rules themselves,
// sorting and the host's own windows are covered on the fake window system.
TEST_F(WindowEnumeratorWin32, StylesVisibilityTitleAndSizeOfRealWindows) {
    const std::pair<HWND, bool> cases[] = {
        {make(L"normal"), true},
        {make(L"tool palette", WS_OVERLAPPEDWINDOW, WS_EX_TOOLWINDOW), false},
        {make(L"tool app", WS_OVERLAPPEDWINDOW, WS_EX_TOOLWINDOW | WS_EX_APPWINDOW), false},
        {make(L"popup", WS_POPUP), false},
        {make(L"application popup", WS_POPUP, WS_EX_APPWINDOW), true},
        {make(L""), false},
        {make(L"hidden", WS_OVERLAPPEDWINDOW, 0, L"QhEnumTestClass", -1), false},
        {make(L"shell", WS_OVERLAPPEDWINDOW, 0, L"Progman"), false},
        {make(L"zero height", WS_POPUP, WS_EX_APPWINDOW, L"QhEnumTestClass", SW_SHOWNORMAL, 100, 0), false},
    };
    HWND destroyed = make(L"short-lived");
    DestroyWindow(destroyed);
    windows.pop_back();
    const auto list = WindowEnumerator::enumerateWindows();
    for (const auto& [window, listed] : cases) {
        wchar_t title[64] = {};
        GetWindowTextW(window, title, 64);
        EXPECT_EQ(find(list, window).has_value(), listed) << wideToUtf8(title);
    }
    EXPECT_FALSE(find(list, destroyed));
}

TEST(Win32IconPixels, PremultipliedColourBecomesStraightAndMaskGivesAlpha) {
    // Drawn onto black: half-transparent red arrives as (128, 0, 0, 128) premultiplied.
    std::uint8_t pixels[] = {0, 0, 128, 128, 10, 20, 30, 255, 99, 99, 99, 0};
    finishIconPixels(pixels, 3, nullptr);
    EXPECT_EQ(std::vector<std::uint8_t>(pixels, pixels + 12),
              (std::vector<std::uint8_t>{0, 0, 255, 128, 10, 20, 30, 255, 99, 99, 99, 0}));

    // An icon without any alpha takes it from the mask (white = transparent), or is opaque without one.
    std::uint8_t masked[] = {1, 2, 3, 0, 4, 5, 6, 0};
    const std::uint8_t mask[] = {255, 255, 255, 0, 0, 0, 0, 0};
    finishIconPixels(masked, 2, mask);
    EXPECT_EQ(masked[3], 0);
    EXPECT_EQ(masked[7], 255);
    std::uint8_t noMask[] = {1, 2, 3, 0};
    finishIconPixels(noMask, 1, nullptr);
    EXPECT_EQ(noMask[3], 255);
}

}  // namespace
}  // namespace quillane::host::test
