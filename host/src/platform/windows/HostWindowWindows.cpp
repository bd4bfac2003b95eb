#include "platform/windows/HostWindowWindows.h"

#include "platform/windows/Win32Shell.h"

#include <d3d11.h>
#include <dxgi1_2.h>
#include <objbase.h>
#include <wrl/client.h>

#include <utility>

#include <spdlog/fmt/fmt.h>
#include <spdlog/spdlog.h>

namespace quillane::host {

// The main loop's run flag and pending client size (from the last WM_SIZE that
// was not a minimise); main thread only.
bool g_running = true;
UINT g_resizeWidth = 0;
UINT g_resizeHeight = 0;

// The UI's rendering objects, released by CleanupDeviceD3D.
Microsoft::WRL::ComPtr<ID3D11Device> g_d3dDevice;
Microsoft::WRL::ComPtr<ID3D11DeviceContext> g_d3dContext;
Microsoft::WRL::ComPtr<IDXGISwapChain1> g_swapChain;
Microsoft::WRL::ComPtr<ID3D11RenderTargetView> g_renderTargetView;

namespace {
constexpr int kWidth = 1400;
constexpr int kHeight = 900;
constexpr FLOAT kClearColor[4] = {0.06f, 0.06f, 0.10f, 1.0f};

HWND g_window = nullptr;
bool g_redraw = true;  // shown, uncovered or resized since the last frame
Win32HostWindow* g_hostWindow = nullptr;
bool g_hideToTray = true;

unsigned long hresultBits(HRESULT hr) {
    return static_cast<unsigned long>(hr);
}

void toggleWindow(HWND window) {
    if (IsWindowVisible(window)) {
        ShowWindow(window, SW_HIDE);
    } else {
        ShowFromTray(window);
    }
}
} // namespace

void CreateRenderTarget() {
    Microsoft::WRL::ComPtr<ID3D11Texture2D> backBuffer;
    if (FAILED(g_swapChain->GetBuffer(0, __uuidof(ID3D11Texture2D),
                                      reinterpret_cast<void**>(backBuffer.GetAddressOf())))) {
        return;
    }
    g_d3dDevice->CreateRenderTargetView(backBuffer.Get(), nullptr, g_renderTargetView.ReleaseAndGetAddressOf());
}

void CleanupDeviceD3D() {
    g_renderTargetView.Reset();
    g_swapChain.Reset();
    g_d3dContext.Reset();
    g_d3dDevice.Reset();
}

bool CreateDeviceD3D(HWND window) {
    g_d3dContext.Reset();
    g_d3dDevice.Reset();

    const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_1, D3D_FEATURE_LEVEL_11_0};
    D3D_FEATURE_LEVEL level{};
    HRESULT hr = D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, D3D11_CREATE_DEVICE_BGRA_SUPPORT,
                                   levels, 2, D3D11_SDK_VERSION, g_d3dDevice.GetAddressOf(), &level,
                                   g_d3dContext.GetAddressOf());
    if (FAILED(hr)) {
        SPDLOG_ERROR("Failed to create D3D11 device: {:#x}", hresultBits(hr));
        return false;
    }

    Microsoft::WRL::ComPtr<IDXGIDevice> dxgiDevice;
    Microsoft::WRL::ComPtr<IDXGIAdapter> adapter;
    Microsoft::WRL::ComPtr<IDXGIFactory2> factory;
    hr = g_d3dDevice->QueryInterface(__uuidof(IDXGIDevice), reinterpret_cast<void**>(dxgiDevice.GetAddressOf()));
    if (SUCCEEDED(hr)) {
        hr = dxgiDevice->GetAdapter(adapter.GetAddressOf());
    }
    if (SUCCEEDED(hr)) {
        hr = adapter->GetParent(__uuidof(IDXGIFactory2), reinterpret_cast<void**>(factory.GetAddressOf()));
    }
    if (FAILED(hr)) {
        SPDLOG_ERROR("Failed to create swap chain: {:#x}", hresultBits(hr));
        return false;
    }

    DXGI_SWAP_CHAIN_DESC1 desc{};
    desc.Width = 0;
    desc.Height = 0;
    desc.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
    desc.Stereo = FALSE;
    desc.SampleDesc.Count = 1;
    desc.SampleDesc.Quality = 0;
    desc.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
    desc.BufferCount = 2;
    desc.Scaling = DXGI_SCALING_STRETCH;
    desc.SwapEffect = DXGI_SWAP_EFFECT_FLIP_DISCARD;
    desc.AlphaMode = DXGI_ALPHA_MODE_UNSPECIFIED;
    desc.Flags = DXGI_SWAP_CHAIN_FLAG_ALLOW_MODE_SWITCH;

    hr = factory->CreateSwapChainForHwnd(g_d3dDevice.Get(), window, &desc, nullptr, nullptr,
                                         g_swapChain.ReleaseAndGetAddressOf());
    if (FAILED(hr)) {
        SPDLOG_ERROR("Failed to create swap chain: {:#x}", hresultBits(hr));
        return false;
    }
    factory->MakeWindowAssociation(window, DXGI_MWA_NO_ALT_ENTER);
    CreateRenderTarget();
    SPDLOG_INFO("Direct3D 11 device created (feature level {:#x})", static_cast<unsigned>(level));
    return true;
}

void ShowFromTray(HWND window) {
    ShowWindow(window, SW_SHOW);
    ShowWindow(window, SW_RESTORE);
    SetForegroundWindow(window);
}

namespace {

// Explorer restarted and dropped the tray icon.
void restoreTrayIcon(HWND window) {
    if (g_trayIconAdded && !RestoreTrayIcon()) {
        // Without the icon a hidden window could not be reached again.
        g_hideToTray = false;
        if (!IsWindowVisible(window)) {
            ShowWindow(window, SW_SHOWMINNOACTIVE);
        }
    }
}

void onSize(HWND window, WPARAM wParam, LPARAM lParam) {
    if (wParam == SIZE_MINIMIZED) {
        // Minimising hides the window to the tray; without a tray it stays minimised.
        if (g_hideToTray) {
            ShowWindow(window, SW_HIDE);
        }
        return;
    }
    g_resizeWidth = LOWORD(lParam);
    g_resizeHeight = HIWORD(lParam);
    g_redraw = true;
}

void onDestroy() {
    if (g_trayIconAdded) {
        Shell_NotifyIconW(NIM_DELETE, &g_trayIcon);
        g_trayIconAdded = false;
    }
    g_running = false;
    PostQuitMessage(0);
}

void onDisplayChange() {
    if (g_hostWindow && g_hostWindow->onDisplayChange) {
        g_hostWindow->onDisplayChange();
    }
    SPDLOG_INFO("Display configuration changed");
}

// The tray menu's commands; false for any other command.
bool onTrayMenuCommand(HWND window, WORD command) {
    switch (command) {
    case ID_TRAY_SHOW_HIDE:
        toggleWindow(window);
        return true;
    case ID_TRAY_EXIT:
        g_running = false;
        DestroyWindow(window);
        return true;
    case ID_TRAY_CHECK_UPDATES:
        if (g_hostWindow && g_hostWindow->onCheckForUpdates) {
            g_hostWindow->onCheckForUpdates();
        }
        return true;
    default:
        return false;
    }
}

// False when the system's own handling should follow.
bool onSystemCommand(HWND window, WPARAM wParam) {
    if ((wParam & 0xFFF0) == SC_KEYMENU) {
        return true;  // Alt alone does not open the window menu
    }
    if ((wParam & 0xFFF0) == SC_MINIMIZE && g_hideToTray) {
        ShowWindow(window, SW_HIDE);
        return true;
    }
    return false;
}

void onTrayIconClick(HWND window, LPARAM lParam) {
    if (lParam == WM_LBUTTONDBLCLK) {
        toggleWindow(window);
    } else if (lParam == WM_RBUTTONUP) {
        ShowTrayMenu(window);
    }
}

} // namespace

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (g_hostWindow && g_hostWindow->messageHook && g_hostWindow->messageHook(window, message, wParam, lParam)) {
        return 1;
    }
    if (message != 0 && message == TaskbarCreatedMessage()) {
        restoreTrayIcon(window);
        return 0;
    }
    switch (message) {
    case WM_SIZE:
        onSize(window, wParam, lParam);
        return 0;
    case WM_PAINT:
        g_redraw = true;
        break;  // DefWindowProcW validates the area
    case WM_CLOSE:
        // Closing keeps the program running; only the tray's "Exit" ends it.
        ShowWindow(window, g_hideToTray ? SW_HIDE : SW_MINIMIZE);
        return 0;
    case WM_DESTROY:
        onDestroy();
        return 0;
    case WM_DISPLAYCHANGE:
        onDisplayChange();
        return 0;
    case WM_COMMAND:
        if (onTrayMenuCommand(window, LOWORD(wParam))) {
            return 0;
        }
        break;
    case WM_SYSCOMMAND:
        if (onSystemCommand(window, wParam)) {
            return 0;
        }
        break;
    case WM_TRAYICON:
        onTrayIconClick(window, lParam);
        return 0;
    default:
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

bool ComRuntime::initialize(std::string& error) {
    HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(hr)) {
        error = fmt::format("Failed to initialize COM: {:#x}", hresultBits(hr));
        return false;
    }
    initialized = true;
    return true;
}

void ComRuntime::shutdown() {
    if (initialized) {
        CoUninitialize();
        initialized = false;
    }
}

std::string ComRuntime::streamingOptimizations() const {
    return "GPU MaxFrameLatency=1, D3D11 Multithread, Priority Boost, Encoder AQ";
}

Win32HostWindow::Win32HostWindow(HINSTANCE instance, int showCommand)
    : instance(instance), showCommand(showCommand) {}

Win32HostWindow::~Win32HostWindow() {
    destroy();
}

bool Win32HostWindow::create(std::string& error) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    windowClass.hIconSm = LoadIconW(nullptr, IDI_APPLICATION);
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = kWindowClassName;
    if (!RegisterClassExW(&windowClass)) {
        error = "Failed to register window class";
        return false;
    }
    classRegistered = true;

    g_hostWindow = this;
    g_running = true;
    g_window = CreateWindowExW(0, kWindowClassName, kWindowTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                               kWidth, kHeight, nullptr, nullptr, instance, nullptr);
    if (!g_window) {
        error = "Failed to create window";
        return false;
    }
    if (!CreateDeviceD3D(g_window)) {
        CleanupDeviceD3D();
        error = "Failed to create D3D11 device";
        return false;
    }
    return true;
}

void Win32HostWindow::show() {
    ShowWindow(g_window, showCommand);
    UpdateWindow(g_window);
}

bool Win32HostWindow::pumpMessages(std::chrono::milliseconds wait) {
    if (wait.count() > 0) {
        MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(wait.count()), QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
        if (msg.message == WM_QUIT) {
            g_running = false;
        }
    }
    return g_running;
}

void Win32HostWindow::applyPendingResize() {
    if (g_resizeWidth != 0 && g_resizeHeight != 0 && g_swapChain) {
        g_renderTargetView.Reset();
        g_swapChain->ResizeBuffers(0, g_resizeWidth, g_resizeHeight, DXGI_FORMAT_UNKNOWN, 0);
        g_resizeWidth = 0;
        g_resizeHeight = 0;
        CreateRenderTarget();
    }
}

void Win32HostWindow::clear() {
    if (!g_renderTargetView) {
        return;
    }
    g_d3dContext->OMSetRenderTargets(1, g_renderTargetView.GetAddressOf(), nullptr);
    g_d3dContext->ClearRenderTargetView(g_renderTargetView.Get(), kClearColor);
}

void Win32HostWindow::present() {
    if (g_swapChain) {
        g_swapChain->Present(1, 0);
    }
}

double Win32HostWindow::displayRefreshRate() const {
    DEVMODEW mode{};
    mode.dmSize = sizeof(mode);
    if (EnumDisplaySettingsW(nullptr, ENUM_CURRENT_SETTINGS, &mode) && mode.dmDisplayFrequency > 1) {
        return mode.dmDisplayFrequency;
    }
    return 0.0;
}

bool Win32HostWindow::takeRedrawRequest() {
    return std::exchange(g_redraw, false);
}

bool Win32HostWindow::isVisible() const {
    return g_window && IsWindowVisible(g_window) && !IsIconic(g_window);
}

void Win32HostWindow::showAndRaise() {
    if (g_window) {
        ShowFromTray(g_window);
    }
}

void Win32HostWindow::setHideToTray(bool hide) {
    g_hideToTray = hide;
}

void Win32HostWindow::destroy() {
    CleanupDeviceD3D();
    if (g_window) {
        // After the tray's "Exit" the window is already gone.
        if (IsWindow(g_window)) {
            DestroyWindow(g_window);
        }
        g_window = nullptr;
    }
    if (classRegistered) {
        UnregisterClassW(kWindowClassName, instance);
        classRegistered = false;
    }
    if (g_hostWindow == this) {
        g_hostWindow = nullptr;
    }
}

HWND Win32HostWindow::handle() const {
    return g_window;
}

ID3D11Device* Win32HostWindow::device() const {
    return g_d3dDevice.Get();
}

ID3D11DeviceContext* Win32HostWindow::deviceContext() const {
    return g_d3dContext.Get();
}

std::uint32_t Win32HostWindow::windowId() const {
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(handle()));
}

} // namespace quillane::host
