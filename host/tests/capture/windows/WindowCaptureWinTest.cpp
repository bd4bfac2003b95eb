// Window capture on Windows; where Windows.Graphics.Capture is missing (Wine) a start must fail cleanly.
#include "capture/CaptureOrchestrator.h"
#include "capture/windows/CaptureSessionStart.h"
#include "capture/windows/D3D11CaptureDevice.h"
#include "capture/windows/DxgiFramePacer.h"
#include "capture/windows/GraphicsCaptureApi.h"
#include "capture/windows/WindowCapture.h"
#include "LogCapture.h"

#include <gtest/gtest.h>
#include <fmt/format.h>

#include <bcrypt.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

namespace quillane::host::test {

using quillane::host::test::LogCapture;

namespace {

// The Windows Runtime's rule for the id of a parameterised interface: a
// name-based (SHA-1) UUID of its type signature in a fixed namespace.
GUID parameterisedIid(const std::string& signature) {
    const std::uint8_t ns[16] = {0x11, 0xf4, 0x7a, 0xd5, 0x7b, 0x73, 0x42, 0xc0,
                                 0xab, 0xae, 0x87, 0x8b, 0x1e, 0x16, 0xad, 0xee};
    std::vector<std::uint8_t> data(ns, ns + 16);
    data.insert(data.end(), signature.begin(), signature.end());
    BCRYPT_ALG_HANDLE alg = nullptr;
    std::uint8_t hash[20] = {};
    EXPECT_EQ(BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA1_ALGORITHM, nullptr, 0), 0);
    EXPECT_EQ(BCryptHash(alg, nullptr, 0, data.data(), static_cast<ULONG>(data.size()), hash, 20), 0);
    BCryptCloseAlgorithmProvider(alg, 0);
    hash[6] = (hash[6] & 0x0f) | 0x50;
    hash[8] = (hash[8] & 0x3f) | 0x80;
    GUID g{};
    g.Data1 = (hash[0] << 24) | (hash[1] << 16) | (hash[2] << 8) | hash[3];
    g.Data2 = static_cast<unsigned short>((hash[4] << 8) | hash[5]);
    g.Data3 = static_cast<unsigned short>((hash[6] << 8) | hash[7]);
    std::copy(hash + 8, hash + 16, g.Data4);
    return g;
}

std::string text(const GUID& g) {
    char s[40];
    std::snprintf(s, sizeof s, "%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", static_cast<unsigned long>(g.Data1),
                  g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                  g.Data4[7]);
    return s;
}

HWND createTestWindow() {
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"QuillaneCaptureTest";
    RegisterClassW(&wc);
    HWND hwnd = CreateWindowExW(0, wc.lpszClassName, L"Capture test", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 50, 50, 400,
                                300, nullptr, nullptr, wc.hInstance, nullptr);
    return hwnd;
}

// A capture session as the system hands it out, offering the two optional
// setting interfaces or not, as the Windows build would. Lives on the stack.
class FakeCaptureSession final : public wgc::IGraphicsCaptureSession {
public:
    bool offersBorder = false;  // IGraphicsCaptureSession3 (build 20348+)
    bool offersCursor = false;  // IGraphicsCaptureSession2 (build 19041+)
    HRESULT startResult = S_OK;
    HRESULT borderResult = S_OK;
    int starts = 0;
    int borderRequired = -1;  // last value set, -1 when never set
    int cursorEnabled = -1;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        *object = nullptr;
        if (IsEqualGUID(iid, wgc::IID_IGraphicsCaptureSession) || IsEqualGUID(iid, __uuidof(IUnknown)))
            *object = static_cast<wgc::IGraphicsCaptureSession*>(this);
        else if (IsEqualGUID(iid, wgc::IID_IGraphicsCaptureSession3) && offersBorder)
            *object = &border;
        else if (IsEqualGUID(iid, wgc::IID_IGraphicsCaptureSession2) && offersCursor)
            *object = &cursor;
        return *object ? S_OK : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE GetIids(ULONG*, IID**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetRuntimeClassName(HSTRING*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTrustLevel(TrustLevel*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE StartCapture() override {
        ++starts;
        return startResult;
    }

private:
    template <class Interface> struct Facet : Interface {
        explicit Facet(FakeCaptureSession& s) : session(s) {}
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
            return session.QueryInterface(iid, object);
        }
        ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
        ULONG STDMETHODCALLTYPE Release() override { return 1; }
        HRESULT STDMETHODCALLTYPE GetIids(ULONG*, IID**) override { return E_NOTIMPL; }
        HRESULT STDMETHODCALLTYPE GetRuntimeClassName(HSTRING*) override { return E_NOTIMPL; }
        HRESULT STDMETHODCALLTYPE GetTrustLevel(TrustLevel*) override { return E_NOTIMPL; }
        FakeCaptureSession& session;
    };
    struct Border final : Facet<wgc::IGraphicsCaptureSession3> {
        using Facet::Facet;
        HRESULT STDMETHODCALLTYPE get_IsBorderRequired(boolean*) override { return E_NOTIMPL; }
        HRESULT STDMETHODCALLTYPE put_IsBorderRequired(boolean value) override {
            session.borderRequired = value;
            return session.borderResult;
        }
    };
    struct Cursor final : Facet<wgc::IGraphicsCaptureSession2> {
        using Facet::Facet;
        HRESULT STDMETHODCALLTYPE get_IsCursorCaptureEnabled(boolean*) override { return E_NOTIMPL; }
        HRESULT STDMETHODCALLTYPE put_IsCursorCaptureEnabled(boolean value) override {
            session.cursorEnabled = value;
            return S_OK;
        }
    };
    Border border{*this};
    Cursor cursor{*this};
};

constexpr const char* kBorderSkipped =
    "Capture border setting not offered by this Windows build (needs 20348+), skipped";
constexpr const char* kCursorSkipped =
    "Cursor capture setting not offered by this Windows build (needs 19041+), skipped";

}  // namespace

// Windows 10 before 19041 offers neither setting, 19041 to 20347 only the
// cursor; the capture starts on all of them.
TEST(CaptureSessionStart, StartsWhateverSettingsTheBuildOffers) {
    {
        LogCapture log;
        FakeCaptureSession session;
        std::atomic<bool> capturing{false};
        EXPECT_EQ(startCaptureSession(&session, capturing), S_OK);
        EXPECT_EQ(session.starts, 1);
        EXPECT_TRUE(capturing.load());
        EXPECT_TRUE(log.contains(kBorderSkipped));
        EXPECT_TRUE(log.contains(kCursorSkipped));
    }
    {
        LogCapture log;
        FakeCaptureSession session;
        session.offersCursor = true;
        std::atomic<bool> capturing{false};
        EXPECT_EQ(startCaptureSession(&session, capturing), S_OK);
        EXPECT_EQ(session.cursorEnabled, 1);
        EXPECT_EQ(session.starts, 1);
        EXPECT_TRUE(log.contains(kBorderSkipped));
        EXPECT_FALSE(log.contains(kCursorSkipped));
    }
    {
        LogCapture log;
        FakeCaptureSession session;
        session.offersBorder = session.offersCursor = true;
        std::atomic<bool> capturing{false};
        EXPECT_EQ(startCaptureSession(&session, capturing), S_OK);
        EXPECT_EQ(session.borderRequired, 0);
        EXPECT_EQ(session.cursorEnabled, 1);
        EXPECT_EQ(session.starts, 1);
        EXPECT_FALSE(log.contains(kBorderSkipped));
        EXPECT_FALSE(log.contains(kCursorSkipped));
    }
}

// A setting that is offered but refused, or a refused start, still fails the start.
TEST(CaptureSessionStart, RefusedSettingOrStartFails) {
    FakeCaptureSession refusing;
    refusing.offersBorder = refusing.offersCursor = true;
    refusing.borderResult = E_ACCESSDENIED;
    std::atomic<bool> capturing{false};
    EXPECT_EQ(startCaptureSession(&refusing, capturing), E_ACCESSDENIED);
    EXPECT_EQ(refusing.starts, 0);
    EXPECT_EQ(refusing.cursorEnabled, -1);
    EXPECT_FALSE(capturing.load());

    FakeCaptureSession failing;
    failing.startResult = E_FAIL;
    EXPECT_EQ(startCaptureSession(&failing, capturing), E_FAIL);
    EXPECT_EQ(failing.starts, 1);
    EXPECT_FALSE(capturing.load());
}

TEST(WindowCaptureWin, EventHandlerIdsFollowFromTheirSignatures) {
    const std::string handler = "pinterface({9de1c534-6ae1-11e0-84e1-18a905bcc53f};";
    EXPECT_EQ(text(parameterisedIid(handler + "rc(Windows.Graphics.Capture.Direct3D11CaptureFramePool;{" +
                                    text(wgc::IID_IDirect3D11CaptureFramePool) + "});cinterface(IInspectable))")),
              text(wgc::IID_IFrameArrivedHandler));
    EXPECT_EQ(text(parameterisedIid(handler + "rc(Windows.Graphics.Capture.GraphicsCaptureItem;{" +
                                    text(wgc::IID_IGraphicsCaptureItem) + "});cinterface(IInspectable))")),
              text(wgc::IID_IItemClosedHandler));
}

TEST(WindowCaptureWin, FailureReportNamesCauseAndRemedy) {
    auto old = WindowCapture::failureReport(0x80004002u, "No such interface supported", 0);
    ASSERT_GE(old.size(), 8u);
    EXPECT_EQ(old[0], "=== CAPTURE FAILED ===");
    EXPECT_EQ(old[1], "  Error Code: 0x80004002");
    EXPECT_EQ(old[2], "  Error Message: No such interface supported");
    EXPECT_EQ(old[3], "  Windows Build: 0");
    EXPECT_EQ(old[4], "ROOT CAUSE: Windows version too old!");
    EXPECT_EQ(old[5], "  You have Build 0, but 18362+ (Windows 10 1903) is required.");
    EXPECT_EQ(old.back(), "=== END ERROR DETAILS ===");

    auto blocked = WindowCapture::failureReport(0x80004002u, "", 19045);
    ASSERT_EQ(blocked.size(), 4u + 33u + 1u);
    EXPECT_EQ(blocked[2], "  Error Message: ");
    EXPECT_EQ(blocked[4], "ROOT CAUSE: Windows Graphics Capture API blocked/unavailable");
    EXPECT_EQ(blocked[5], "");
    EXPECT_EQ(blocked[4 + 18],
              "   Get-AppxPackage *GraphicsCapture* | Foreach {Add-AppxPackage -DisableDevelopmentMode -Register "
              "\"$($_.InstallLocation)\\AppXManifest.xml\"}");
    EXPECT_EQ(blocked[4 + 32], "Try: Windows Settings > System > Recovery > Reset this PC (keep files)");

    const std::pair<std::uint32_t, const char*> causes[] = {{0x80070005u, "ROOT CAUSE: Access Denied"},
                                                             {0x80070057u, "ROOT CAUSE: Invalid window or parameters"},
                                                             {0x887A0001u, "ROOT CAUSE: DirectX/DXGI error"},
                                                             {0x887A0002u, "ROOT CAUSE: Unknown error"}};
    for (const auto& [code, cause] : causes) EXPECT_EQ(WindowCapture::failureReport(code, "", 19045)[4], cause);
}

TEST(WindowCaptureWin, StartWithoutGraphicsCaptureFailsCleanly) {
    const auto build = WindowCapture::getWindowsBuildNumber();
    EXPECT_GT(build, 0u) << "the registry has no CurrentBuildNumber";
    HWND gone = createTestWindow();
    EXPECT_TRUE(WindowCapture::windowExists(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(gone))));
    DestroyWindow(gone);
    EXPECT_FALSE(WindowCapture::windowExists(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(gone))));
    EXPECT_FALSE(WindowCapture::windowExists(0));
    if (WindowCapture::isCaptureSupported()) GTEST_SKIP() << "this system has Windows.Graphics.Capture";

    LogCapture log;
    HWND hwnd = createTestWindow();
    ASSERT_NE(hwnd, nullptr);
    const auto id = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(hwnd));

    D3D11CaptureDevice device;
    ASSERT_TRUE(device.initialize());
    WindowCapture capture;
    EXPECT_FALSE(capture.initialize(id, device.device()));
    // Wine's prefix may report an old Windows (7601) or a current one.
    const std::string refusal =
        build >= 1 && build < 18362
            ? "Windows version too old! Build " + std::to_string(build) + " detected, but 18362 (Windows 10 version "
                  "1903, May 2019 Update) or later is required for window capture."
            : "Windows Graphics Capture is not supported on this system. Windows Build: " + std::to_string(build);
    EXPECT_TRUE(log.contains(refusal));
    EXPECT_FALSE(capture.startCapture([](EncoderInput, std::uint32_t, std::uint32_t) {}));
    EXPECT_TRUE(log.contains("WindowCapture not initialized"));
    EXPECT_FALSE(capture.isCapturing());

    CaptureOrchestrator orch;
    ASSERT_TRUE(orch.initialize());
    EXPECT_FALSE(orch.startCapture(id, 1));
    EXPECT_TRUE(log.contains("Failed to initialize capture for window " + fmt::format("{:x}", id)));
    std::uint32_t w = 0, h = 0;
    EXPECT_FALSE(orch.getStreamResolution(1, w, h));
    EXPECT_TRUE(orch.update().empty());
    EXPECT_FALSE(orch.startCapture(0x7fff0001u, 2));  // no such window
    EXPECT_TRUE(log.contains("Invalid window handle: 7fff0001"));
    orch.shutdown();
    DestroyWindow(hwnd);
}

TEST(FramePacerWin, ReadsTheFirstOutputsRate) {
    LogCapture log;
    DxgiFramePacer none;
    EXPECT_FALSE(none.initialize(nullptr));
    EXPECT_EQ(none.getRefreshRate(), 60.0f);
    EXPECT_TRUE(log.contains("FramePacer: No device provided"));

    D3D11CaptureDevice device;
    ASSERT_TRUE(device.initialize());
    // What the system says about its first display, asked another way.
    DISPLAY_DEVICEW display{};
    display.cb = sizeof(display);
    const bool hasDisplay =
        EnumDisplayDevicesW(nullptr, 0, &display, 0) && (display.StateFlags & DISPLAY_DEVICE_ATTACHED_TO_DESKTOP) != 0;
    DxgiFramePacer pacer;
    const bool available = pacer.initialize(device.device());
    EXPECT_EQ(available, hasDisplay);
    EXPECT_EQ(pacer.isVSyncAvailable(), hasDisplay);
    EXPECT_GT(pacer.getRefreshRate(), 1.0f);
    EXPECT_TRUE(log.contains(available ? "FramePacer: VSync synchronization available (refresh rate: "
                                  : "FramePacer: VSync not available, using timer-based pacing"));
}

}  // namespace quillane::host::test
