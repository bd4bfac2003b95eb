#include "capture/windows/WindowCapture.h"

#include "capture/windows/CaptureSessionStart.h"
#include "capture/windows/GraphicsCaptureApi.h"
#include "capture/windows/GraphicsCaptureRuntime.h"
#include "common/LineSource.h"
#include "common/Utf8.h"
#include "encode/VideoLimits.h"
#include "platform/CrashHandler.h"
#include "platform/windows/ComObject.h"

#include <spdlog/spdlog.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <stdexcept>

#include <roapi.h>
#include <winstring.h>
#include <wrl/client.h>

using Microsoft::WRL::ComPtr;

namespace quillane::host {
namespace {

constexpr std::uint32_t minimumBuild = 18362;

// Frames delivered by every capture of the process; the first one is logged.
std::atomic<std::uint64_t> deliveredFrames{0};

// A failed Windows Runtime call, with its HRESULT.
struct WinRtError : std::runtime_error {
    WinRtError(HRESULT h, const std::string& text) : std::runtime_error(text), hr(h) {}
    HRESULT hr;
};

std::string systemMessage(HRESULT hr) {
    wchar_t* text = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string message;
    if (n > 0 && text) {
        std::wstring w(text, n);
        while (!w.empty() && (w.back() == L'\n' || w.back() == L'\r' || w.back() == L' ')) w.pop_back();
        message = wideToUtf8(w);
    }
    if (text) LocalFree(text);
    return message;
}

void check(HRESULT hr) {
    if (FAILED(hr)) throw WinRtError(hr, systemMessage(hr));
}

// Activation needs an apartment; keeping the multithreaded one alive for the
// process lets any caller's thread activate without initialising COM itself.
void ensureApartment() {
    static const bool done = [] {
        CO_MTA_USAGE_COOKIE cookie{};
        CoIncrementMTAUsage(&cookie);
        return true;
    }();
    (void)done;
}

template <class T>
ComPtr<T> activationFactory(GraphicsCaptureRuntime& runtime, const wchar_t* className, const GUID& iid) {
    ComPtr<T> factory;
    check(runtime.activationFactory(className, iid, reinterpret_cast<void**>(factory.GetAddressOf())));
    return factory;
}

bool captureSupported(GraphicsCaptureRuntime& runtime) {
    try {
        auto statics = activationFactory<wgc::IGraphicsCaptureSessionStatics>(
            runtime, wgc::GraphicsCaptureSessionClass, wgc::IID_IGraphicsCaptureSessionStatics);
        boolean supported = false;
        check(statics->IsSupported(&supported));
        return supported != 0;
    } catch (const std::exception&) {
        return false;
    }
}

class SystemGraphicsCaptureRuntime final : public GraphicsCaptureRuntime {
public:
    HRESULT activationFactory(const wchar_t* className, REFIID iid, void** factory) override {
        ensureApartment();
        HSTRING_HEADER header{};
        HSTRING name = nullptr;
        const HRESULT hr =
            WindowsCreateStringReference(className, static_cast<UINT32>(wcslen(className)), &header, &name);
        return FAILED(hr) ? hr : RoGetActivationFactory(name, iid, factory);
    }

    HRESULT createDirect3DDevice(IDXGIDevice* device, IInspectable** result) override {
        const auto create = reinterpret_cast<wgc::CreateDirect3D11DeviceFromDXGIDeviceFn>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleW(L"d3d11.dll"), "CreateDirect3D11DeviceFromDXGIDevice")));
        return create ? create(device, result) : E_NOTIMPL;
    }

    std::uint32_t buildNumber() override {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", 0, KEY_READ,
                          &key) != ERROR_SUCCESS)
            return 0;
        wchar_t buffer[32] = {};
        DWORD size = sizeof(buffer) - sizeof(wchar_t);  // keeps a terminator
        const LSTATUS status =
            RegQueryValueExW(key, L"CurrentBuildNumber", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
        RegCloseKey(key);
        if (status != ERROR_SUCCESS) return 0;
        const int build = _wtoi(buffer);
        return build > 0 ? static_cast<std::uint32_t>(build) : 0;
    }
};

template <class T> ComPtr<T> queryInterface(IUnknown* object, const GUID& iid) {
    ComPtr<T> result;
    check(object->QueryInterface(iid, reinterpret_cast<void**>(result.GetAddressOf())));
    return result;
}

// A free-threaded event handler object that forwards to a function.
template <class Interface, class Sender, const GUID& Iid> class EventHandler final : public Interface {
public:
    explicit EventHandler(std::function<void()> f) : onEvent(std::move(f)) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (IsEqualGUID(riid, Iid) || IsEqualGUID(riid, __uuidof(IUnknown)) || IsEqualGUID(riid, wgc::IID_IAgileObject)) {
            *object = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs;
        if (left == 0) delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE Invoke(Sender*, IInspectable*) override {
        onEvent();
        return S_OK;
    }

private:
    std::atomic<ULONG> refs{1};
    std::function<void()> onEvent;
};

using FrameArrivedHandler =
    EventHandler<wgc::IFrameArrivedHandler, wgc::IDirect3D11CaptureFramePool, wgc::IID_IFrameArrivedHandler>;
using ItemClosedHandler = EventHandler<wgc::IItemClosedHandler, wgc::IGraphicsCaptureItem, wgc::IID_IItemClosedHandler>;

std::string windowText(HWND hwnd, bool className) {
    wchar_t buffer[256] = {};
    if (className) {
        GetClassNameW(hwnd, buffer, 256);
    } else {
        GetWindowTextW(hwnd, buffer, 256);
    }
    return wideToUtf8(buffer);
}

}  // namespace

struct WindowCapture::Impl : std::enable_shared_from_this<Impl> {
    explicit Impl(std::shared_ptr<GraphicsCaptureRuntime> r) : runtime(std::move(r)) {}

    const std::shared_ptr<GraphicsCaptureRuntime> runtime;
    HWND hwnd = nullptr;
    ComPtr<ID3D11Device> d3dDevice;
    ComPtr<ID3D11DeviceContext> d3dContext;
    std::atomic<bool> capturing{false};
    std::atomic<std::uint32_t> width{0};
    std::atomic<std::uint32_t> height{0};
    std::uint32_t poolWidth = 0, poolHeight = 0;  // frame threads only

    ComPtr<wgc::IDirect3DDevice> winrtDevice;
    ComPtr<wgc::IGraphicsCaptureItem> item;
    ComPtr<wgc::IDirect3D11CaptureFramePool> framePool;
    ComPtr<wgc::IGraphicsCaptureSession> session;
    EventRegistrationToken frameArrivedToken{};
    EventRegistrationToken closedToken{};

    // Frames in flight, so that a stop can wait for them before closing the pool.
    std::mutex mutex;
    std::condition_variable idle;
    CaptureFrameCallback frameCallback;
    int inFlight = 0;
    std::multiset<DWORD> deliveringThreads;

    // A copy of the last delivered frame, for repeats; the frame pool's own
    // textures go back to the pool after each frame.
    std::mutex lastMutex;
    ComPtr<ID3D11Texture2D> lastTexture;
    std::uint32_t lastWidth = 0, lastHeight = 0;

    // Counts a delivery in flight; false when the capture is not running.
    bool enterDelivery(CaptureFrameCallback& callback);
    void leaveDelivery();
    void keepCopy(ID3D11Texture2D* texture, std::uint32_t w, std::uint32_t h);
    void repeatFrame();
    // The item's Closed and the pool's FrameArrived handlers; they reach this
    // state only while it lives.
    void registerHandlers();
    void processFrame();
    void onWindowClosed();
    void stopCapture();

    // The steps of a start. Logs what capture of this window depends on; false
    // when this system or window cannot be captured.
    bool diagnoseCapture(std::uint32_t handle);
    bool reportCaptureSupport();
    void logWindowDetails();
    void logAdapter();
    // These throw on failure; the item's size is that of the window now.
    void createDeviceWrapper();
    wgc::SizeInt32 createCaptureItem(std::uint32_t handle);
    void createFramePool(wgc::SizeInt32 size);
};

bool WindowCapture::Impl::enterDelivery(CaptureFrameCallback& callback) {
    std::lock_guard lock(mutex);
    if (!capturing.load() || !frameCallback) return false;
    callback = frameCallback;  // a concurrent stop does not affect the frame in hand
    ++inFlight;
    deliveringThreads.insert(GetCurrentThreadId());
    return true;
}

void WindowCapture::Impl::leaveDelivery() {
    std::lock_guard lock(mutex);
    --inFlight;
    deliveringThreads.erase(deliveringThreads.find(GetCurrentThreadId()));
    idle.notify_all();
}

void WindowCapture::Impl::keepCopy(ID3D11Texture2D* texture, std::uint32_t w, std::uint32_t h) {
    if (!d3dDevice || !d3dContext) return;
    std::lock_guard lock(lastMutex);
    D3D11_TEXTURE2D_DESC desc{};
    texture->GetDesc(&desc);
    D3D11_TEXTURE2D_DESC kept{};
    if (lastTexture) lastTexture->GetDesc(&kept);
    if (!lastTexture || kept.Width != desc.Width || kept.Height != desc.Height || kept.Format != desc.Format) {
        lastTexture.Reset();
        desc.MiscFlags = 0;
        desc.CPUAccessFlags = 0;
        desc.Usage = D3D11_USAGE_DEFAULT;
        if (FAILED(d3dDevice->CreateTexture2D(&desc, nullptr, lastTexture.GetAddressOf()))) return;
    }
    d3dContext->CopyResource(lastTexture.Get(), texture);
    lastWidth = w, lastHeight = h;
}

void WindowCapture::Impl::repeatFrame() {
    CaptureFrameCallback callback;
    if (!enterDelivery(callback)) return;
    {
        // Held through the frame, so no new copy overwrites it meanwhile.
        std::lock_guard lock(lastMutex);
        try {
            if (lastTexture && capturing.load()) callback(lastTexture.Get(), lastWidth, lastHeight);
        } catch (const std::exception& e) {
            SPDLOG_ERROR("Error processing frame: {}", e.what());
        }
    }
    leaveDelivery();
}

void WindowCapture::Impl::processFrame() {
    // Frames arrive on the system's pool threads, which the host did not start.
    thread_local const bool prepared = (prepareThreadForCrashHandling(), true);
    (void)prepared;
    CaptureFrameCallback callback;
    if (!enterDelivery(callback)) return;
    bool outgrown = false;
    try {
        ComPtr<wgc::IDirect3D11CaptureFrame> frame;
        if (SUCCEEDED(framePool->TryGetNextFrame(&frame)) && frame) {
            ComPtr<IInspectable> surface;
            if (SUCCEEDED(frame->get_Surface(&surface)) && surface && capturing.load()) {
                wgc::SizeInt32 content{};
                check(frame->get_ContentSize(&content));
                const auto cw = static_cast<std::uint32_t>(content.Width);
                const auto ch = static_cast<std::uint32_t>(content.Height);
                if (!fitsVideoLimits(cw, ch)) {
                    // No pool of that size: no encoder could take its frames.
                    SPDLOG_ERROR("Captured window grew to {}x{}, larger than H.264 can carry", cw, ch);
                    width.store(cw);
                    height.store(ch);
                    outgrown = true;
                } else if (cw != poolWidth || ch != poolHeight) {
                    SPDLOG_INFO("Recreating frame pool: {}x{} -> {}x{}", poolWidth, poolHeight, cw, ch);
                    poolWidth = cw, poolHeight = ch;
                    check(framePool->Recreate(winrtDevice.Get(), wgc::B8G8R8A8UIntNormalized, 2, content));
                } else {
                    auto access = queryInterface<wgc::IDirect3DDxgiInterfaceAccess>(
                        surface.Get(), wgc::IID_IDirect3DDxgiInterfaceAccess);
                    ComPtr<ID3D11Texture2D> texture;
                    const HRESULT hr = access->GetInterface(__uuidof(ID3D11Texture2D),
                                                            reinterpret_cast<void**>(texture.GetAddressOf()));
                    if (FAILED(hr)) {
                        SPDLOG_ERROR("Failed to get texture from frame: {:x}", static_cast<std::uint32_t>(hr));
                    } else {
                        width.store(cw);
                        height.store(ch);
                        if (deliveredFrames.fetch_add(1) == 0) {
                            D3D11_TEXTURE2D_DESC desc{};
                            texture->GetDesc(&desc);
                            SPDLOG_INFO("First capture frame: {}x{}, format={}", desc.Width, desc.Height,
                                         static_cast<int>(desc.Format));
                        }
                        if (capturing.load()) {
                            callback(texture.Get(), cw, ch);
                            keepCopy(texture.Get(), cw, ch);
                        }
                    }
                }
            }
            ComPtr<wgc::IClosable> closable;
            if (SUCCEEDED(frame->QueryInterface(wgc::IID_IClosable, reinterpret_cast<void**>(closable.GetAddressOf()))))
                closable->Close();
        }
    } catch (const WinRtError& e) {
        SPDLOG_ERROR("WinRT error processing frame: {}", e.what());
    } catch (const std::exception& e) {
        SPDLOG_ERROR("Error processing frame: {}", e.what());
    }
    leaveDelivery();
    if (outgrown) stopCapture();
}

void WindowCapture::Impl::registerHandlers() {
    std::weak_ptr<Impl> weak = weak_from_this();
    auto closed = adoptComObject<wgc::IItemClosedHandler>(new ItemClosedHandler([weak] {
        if (auto state = weak.lock()) state->onWindowClosed();
    }));
    check(item->add_Closed(closed.Get(), &closedToken));
    auto arrived = adoptComObject<wgc::IFrameArrivedHandler>(new FrameArrivedHandler([weak] {
        if (auto state = weak.lock()) state->processFrame();
    }));
    check(framePool->add_FrameArrived(arrived.Get(), &frameArrivedToken));
}

void WindowCapture::Impl::onWindowClosed() {
    SPDLOG_INFO("Captured window was closed");
    stopCapture();
}

void WindowCapture::Impl::stopCapture() {
    if (!capturing.exchange(false)) return;
    {
        std::unique_lock lock(mutex);
        // From inside a frame callback the frame in hand is this thread's own.
        if (!deliveringThreads.count(GetCurrentThreadId())) idle.wait(lock, [&] { return inFlight == 0; });
        frameCallback = nullptr;
    }
    {
        std::lock_guard lock(lastMutex);
        lastTexture.Reset();
    }
    try {
        if (framePool && frameArrivedToken.value != 0) {
            check(framePool->remove_FrameArrived(frameArrivedToken));
            frameArrivedToken = {};
        }
        if (item && closedToken.value != 0) {
            check(item->remove_Closed(closedToken));
            closedToken = {};
        }
        if (session) {
            queryInterface<wgc::IClosable>(session.Get(), wgc::IID_IClosable)->Close();
            session.Reset();
        }
        if (framePool) {
            queryInterface<wgc::IClosable>(framePool.Get(), wgc::IID_IClosable)->Close();
            framePool.Reset();
        }
        item.Reset();
        winrtDevice.Reset();
    } catch (const std::exception& e) {
        SPDLOG_WARN("WinRT error during capture cleanup: {}", e.what());
    }
    if (std::size_t held = 0; StreamLineScope::allow(held)) SPDLOG_INFO("Capture stopped{}", heldNote(held));
}

WindowCapture::WindowCapture() : WindowCapture(systemGraphicsCaptureRuntime()) {}

WindowCapture::WindowCapture(std::shared_ptr<GraphicsCaptureRuntime> runtime)
    : impl(std::make_shared<Impl>(std::move(runtime))) {}

WindowCapture::~WindowCapture() {
    impl->stopCapture();
    // Handlers left registered by a start that failed part-way.
    if (impl->framePool && impl->frameArrivedToken.value != 0) impl->framePool->remove_FrameArrived(impl->frameArrivedToken);
    if (impl->item && impl->closedToken.value != 0) impl->item->remove_Closed(impl->closedToken);
}

HRESULT startCaptureSession(wgc::IGraphicsCaptureSession* session, std::atomic<bool>& capturing) {
    HRESULT hr = S_OK;
    ComPtr<wgc::IGraphicsCaptureSession3> borderSetting;
    if (SUCCEEDED(session->QueryInterface(wgc::IID_IGraphicsCaptureSession3,
                                          reinterpret_cast<void**>(borderSetting.GetAddressOf())))) {
        hr = borderSetting->put_IsBorderRequired(false);
    } else if (std::size_t held = 0; StreamLineScope::allow(held)) {
        SPDLOG_INFO("Capture border setting not offered by this Windows build (needs 20348+), skipped{}",
                    heldNote(held));
    }
    ComPtr<wgc::IGraphicsCaptureSession2> cursorSetting;
    if (SUCCEEDED(hr) && SUCCEEDED(session->QueryInterface(wgc::IID_IGraphicsCaptureSession2,
                                                           reinterpret_cast<void**>(cursorSetting.GetAddressOf())))) {
        hr = cursorSetting->put_IsCursorCaptureEnabled(true);
    } else if (std::size_t held = 0; SUCCEEDED(hr) && StreamLineScope::allow(held)) {
        SPDLOG_INFO("Cursor capture setting not offered by this Windows build (needs 19041+), skipped{}",
                    heldNote(held));
    }
    if (FAILED(hr)) return hr;
    // Frames may arrive before StartCapture returns.
    capturing.store(true);
    hr = session->StartCapture();
    if (FAILED(hr)) capturing.store(false);
    return hr;
}

std::shared_ptr<GraphicsCaptureRuntime> systemGraphicsCaptureRuntime() {
    static const auto runtime = std::make_shared<SystemGraphicsCaptureRuntime>();
    return runtime;
}

std::uint32_t WindowCapture::getWindowsBuildNumber() { return systemGraphicsCaptureRuntime()->buildNumber(); }

bool WindowCapture::isCaptureSupported() { return captureSupported(*systemGraphicsCaptureRuntime()); }

bool WindowCapture::windowExists(std::uint32_t windowId) {
    return windowId != 0 && IsWindow(reinterpret_cast<HWND>(static_cast<std::uintptr_t>(windowId)));
}

std::vector<std::string> WindowCapture::failureReport(std::uint32_t hresult, const std::string& message,
                                                      std::uint32_t build) {
    std::vector<std::string> lines = {
        "=== CAPTURE FAILED ===",
        fmt::format("  Error Code: 0x{:08x}", hresult),
        fmt::format("  Error Message: {}", message),
        fmt::format("  Windows Build: {}", build),
    };
    auto add = [&](std::initializer_list<const char*> more) { lines.insert(lines.end(), more.begin(), more.end()); };
    if (hresult == 0x80004002u && build < minimumBuild) {
        lines.push_back("ROOT CAUSE: Windows version too old!");
        lines.push_back(fmt::format("  You have Build {}, but 18362+ (Windows 10 1903) is required.", build));
        lines.push_back("  SOLUTION: Update Windows via Settings > Update & Security");
    } else if (hresult == 0x80004002u) {
        add({"ROOT CAUSE: Windows Graphics Capture API blocked/unavailable",
             "",
             "This error (E_NOINTERFACE) on a supported Windows version usually means",
             "the Graphics Capture API is disabled or your GPU driver doesn't support it.",
             "",
             "=== TRY THESE SOLUTIONS (in order) ===",
             "",
             "1. ENABLE HARDWARE GPU SCHEDULING (most likely fix):",
             "   Settings > System > Display > Graphics settings",
             "   Turn ON 'Hardware-accelerated GPU scheduling'",
             "   >>> RESTART YOUR PC <<<",
             "",
             "2. ADD APP TO HIGH PERFORMANCE GPU:",
             "   Settings > System > Display > Graphics settings",
             "   Click 'Browse' > Select QuillaneHost.exe",
             "   Click 'Options' > Select 'High performance' > Save",
             "",
             "3. RE-REGISTER GRAPHICS CAPTURE (run in Admin PowerShell):",
             "   Get-AppxPackage *GraphicsCapture* | Foreach {Add-AppxPackage -DisableDevelopmentMode -Register "
             "\"$($_.InstallLocation)\\AppXManifest.xml\"}",
             "",
             "4. REINSTALL GPU DRIVER:",
             "   Download latest driver from AMD/NVIDIA website",
             "   Use DDU (Display Driver Uninstaller) for clean install",
             "",
             "5. RUN SYSTEM FILE CHECKER:",
             "   Open Admin Command Prompt, run: sfc /scannow",
             "",
             "6. CHECK WINDOWS OPTIONAL FEATURES:",
             "   Settings > Apps > Optional Features",
             "   Make sure 'Graphics Tools' is installed",
             "",
             "If none of these work, there may be a deeper Windows/driver issue.",
             "Try: Windows Settings > System > Recovery > Reset this PC (keep files)"});
    } else if (hresult == 0x80070005u) {
        add({"ROOT CAUSE: Access Denied", "  SOLUTION: Right-click QuillaneHost.exe > Run as administrator"});
    } else if (hresult == 0x80070057u) {
        add({"ROOT CAUSE: Invalid window or parameters",
             "  The window may be invalid, minimized, or a special system window.",
             "  SOLUTION: Try capturing a different window (like Notepad or Chrome)"});
    } else if (hresult == 0x887A0001u) {
        add({"ROOT CAUSE: DirectX/DXGI error", "  SOLUTION: Update GPU drivers and restart PC"});
    } else {
        add({"ROOT CAUSE: Unknown error", "  Please report this error code to the developers."});
    }
    lines.push_back("=== END ERROR DETAILS ===");
    return lines;
}

bool WindowCapture::initialize(std::uint32_t windowId, EncoderDevice device) {
    const std::uint32_t build = impl->runtime->buildNumber();
    if (build >= 1 && build < minimumBuild) {
        SPDLOG_ERROR("Windows version too old! Build {} detected, but 18362 (Windows 10 version 1903, May 2019 "
                      "Update) or later is required for window capture. Please update Windows to use this feature.",
                      build);
        return false;
    }
    if (!captureSupported(*impl->runtime)) {
        SPDLOG_ERROR("Windows Graphics Capture is not supported on this system. Windows Build: {}", build);
        return false;
    }
    const HWND hwnd = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(windowId));
    if (!IsWindow(hwnd)) {
        SPDLOG_ERROR("Invalid window handle");
        return false;
    }
    try {
        impl->hwnd = hwnd;
        if (impl->d3dDevice.Get() != device) impl->d3dDevice = device;
        impl->d3dContext.Reset();
        if (device) device->GetImmediateContext(&impl->d3dContext);
        RECT rect{};
        if (!GetClientRect(hwnd, &rect)) {
            SPDLOG_ERROR("Failed to get window rect");
            return false;
        }
        impl->width.store(static_cast<std::uint32_t>(rect.right - rect.left));
        impl->height.store(static_cast<std::uint32_t>(rect.bottom - rect.top));
        if (impl->width.load() == 0 || impl->height.load() == 0) {
            SPDLOG_ERROR("Window has zero size");
            return false;
        }
        if (std::size_t held = 0; StreamLineScope::allow(held)) {
            SPDLOG_INFO("WindowCapture initialized for HWND {:x}, size {}x{}{}", windowId, impl->width.load(),
                        impl->height.load(), heldNote(held));
        }
        return true;
    } catch (const std::exception& e) {
        SPDLOG_ERROR("Failed to initialize WindowCapture: {}", e.what());
        return false;
    }
}

void WindowCapture::getSize(std::uint32_t& width, std::uint32_t& height) const {
    width = impl->width.load();
    height = impl->height.load();
}

bool WindowCapture::Impl::diagnoseCapture(std::uint32_t handle) {
    // The block is one of the start's lines: a client that starts streams in a loop gets it with
    // its first starts only.
    std::size_t held = 0;
    if (!StreamLineScope::allow(held)) return captureSupported(*runtime) && IsWindow(hwnd);
    SPDLOG_INFO("=== CAPTURE DIAGNOSTICS for window {:x} ==={}", handle, heldNote(held));
    SPDLOG_INFO("  Windows Build: {}", runtime->buildNumber());
    if (!reportCaptureSupport()) return false;
    if (!IsWindow(hwnd)) {
        SPDLOG_ERROR("  Window handle {:x} is INVALID!", handle);
        return false;
    }
    logWindowDetails();
    logAdapter();
    SPDLOG_INFO("=== END DIAGNOSTICS ===");
    return true;
}

bool WindowCapture::Impl::reportCaptureSupport() {
    const bool supported = captureSupported(*runtime);
    SPDLOG_INFO("  GraphicsCaptureSession::IsSupported(): {}", supported ? "YES" : "NO");
    if (supported) return true;
    SPDLOG_ERROR("CAPTURE ERROR: GraphicsCaptureSession is NOT supported on this system!");
    SPDLOG_ERROR("  This usually means:");
    SPDLOG_ERROR("    1. Windows version is too old (need 1903+)");
    SPDLOG_ERROR("    2. Graphics driver doesn't support Windows Graphics Capture");
    SPDLOG_ERROR("    3. Hardware-accelerated GPU scheduling is disabled");
    SPDLOG_ERROR("  Try: Settings > System > Display > Graphics > Hardware-accelerated GPU scheduling > ON");
    SPDLOG_ERROR("  Then RESTART your computer.");
    return false;
}

void WindowCapture::Impl::logWindowDetails() {
    SPDLOG_INFO("  Window Title: {}", windowText(hwnd, false));
    SPDLOG_INFO("  Window Class: {}", windowText(hwnd, true));
    SPDLOG_INFO("  Window Style: 0x{:08x}", static_cast<std::uint32_t>(GetWindowLongW(hwnd, GWL_STYLE)));
    SPDLOG_INFO("  Window ExStyle: 0x{:08x}", static_cast<std::uint32_t>(GetWindowLongW(hwnd, GWL_EXSTYLE)));
    SPDLOG_INFO("  IsWindowVisible: {}", IsWindowVisible(hwnd) ? "YES" : "NO");
    const bool minimized = IsIconic(hwnd);
    SPDLOG_INFO("  IsIconic (minimized): {}", minimized ? "YES" : "NO");
    if (minimized) SPDLOG_WARN("  Window is MINIMIZED - capture may fail or return black frames");
}

void WindowCapture::Impl::logAdapter() {
    ComPtr<IDXGIDevice> dxgiDevice;
    ComPtr<IDXGIAdapter> adapter;
    DXGI_ADAPTER_DESC desc{};
    if (SUCCEEDED(d3dDevice.As(&dxgiDevice)) && SUCCEEDED(dxgiDevice->GetAdapter(&adapter)) &&
        SUCCEEDED(adapter->GetDesc(&desc))) {
        SPDLOG_INFO("  GPU: {}", wideToUtf8(desc.Description));
        SPDLOG_INFO("  GPU Vendor ID: 0x{:04x}", desc.VendorId);
    }
}

void WindowCapture::Impl::createDeviceWrapper() {
    SPDLOG_INFO("Creating Direct3D device wrapper...");
    ComPtr<IDXGIDevice> dxgiDevice;
    if (FAILED(d3dDevice.As(&dxgiDevice))) throw std::runtime_error("Failed to get DXGI device");
    ComPtr<IInspectable> inspectable;
    if (FAILED(runtime->createDirect3DDevice(dxgiDevice.Get(), &inspectable)) || !inspectable)
        throw std::runtime_error("Failed to create Direct3D11 device");
    winrtDevice = queryInterface<wgc::IDirect3DDevice>(inspectable.Get(), wgc::IID_IDirect3DDevice);
    SPDLOG_INFO("Direct3D device wrapper created successfully");
}

wgc::SizeInt32 WindowCapture::Impl::createCaptureItem(std::uint32_t handle) {
    SPDLOG_INFO("Creating capture item for window {:x}...", handle);
    auto interop = activationFactory<wgc::IGraphicsCaptureItemInterop>(*runtime, wgc::GraphicsCaptureItemClass,
                                                                       wgc::IID_IGraphicsCaptureItemInterop);
    if (FAILED(interop->CreateForWindow(hwnd, wgc::IID_IGraphicsCaptureItem,
                                        reinterpret_cast<void**>(item.ReleaseAndGetAddressOf()))) ||
        !item)
        throw std::runtime_error("Failed to create capture item for window");
    wgc::SizeInt32 size{};
    check(item->get_Size(&size));
    width.store(static_cast<std::uint32_t>(size.Width));
    height.store(static_cast<std::uint32_t>(size.Height));
    return size;
}

void WindowCapture::Impl::createFramePool(wgc::SizeInt32 size) {
    auto poolStatics = activationFactory<wgc::IDirect3D11CaptureFramePoolStatics2>(
        *runtime, wgc::Direct3D11CaptureFramePoolClass, wgc::IID_IDirect3D11CaptureFramePoolStatics2);
    check(poolStatics->CreateFreeThreaded(winrtDevice.Get(), wgc::B8G8R8A8UIntNormalized, 2, size,
                                          framePool.ReleaseAndGetAddressOf()));
    poolWidth = static_cast<std::uint32_t>(size.Width);
    poolHeight = static_cast<std::uint32_t>(size.Height);
}

bool WindowCapture::startCapture(CaptureFrameCallback callback) {
    Impl& s = *impl;
    if (s.capturing.load()) {
        SPDLOG_WARN("Capture already started");
        return true;
    }
    if (!s.hwnd || !s.d3dDevice) {
        SPDLOG_ERROR("WindowCapture not initialized");
        return false;
    }
    const auto handle = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(s.hwnd));
    if (!s.diagnoseCapture(handle)) return false;

    try {
        {
            std::lock_guard lock(s.mutex);
            s.frameCallback = std::move(callback);
        }
        s.createDeviceWrapper();
        const wgc::SizeInt32 size = s.createCaptureItem(handle);
        s.createFramePool(size);
        s.registerHandlers();
        check(s.framePool->CreateCaptureSession(s.item.Get(), s.session.ReleaseAndGetAddressOf()));
        check(startCaptureSession(s.session.Get(), s.capturing));
        if (std::size_t held = 0; StreamLineScope::allow(held)) {
            SPDLOG_INFO("Capture started for window {:x}{}", handle, heldNote(held));
        }
        return true;
    } catch (const WinRtError& e) {
        s.capturing.store(false);
        for (const auto& line :
             failureReport(static_cast<std::uint32_t>(e.hr), e.what(), s.runtime->buildNumber()))
            SPDLOG_ERROR("{}", line);
    } catch (const std::exception& e) {
        s.capturing.store(false);
        SPDLOG_ERROR("Failed to start capture: {}", e.what());
    }
    return false;
}

void WindowCapture::stopCapture() { impl->stopCapture(); }

void WindowCapture::repeatLastFrame() {
    impl->repeatFrame();
}

bool WindowCapture::isCapturing() const { return impl->capturing.load(); }

std::unique_ptr<CaptureSource> createWindowCapture() { return std::make_unique<WindowCapture>(); }

bool windowCaptureTargetExists(std::uint32_t windowId) { return WindowCapture::windowExists(windowId); }

}  // namespace quillane::host
