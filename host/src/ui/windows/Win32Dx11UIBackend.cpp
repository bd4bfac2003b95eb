// The UI's back end on Windows: ImGui's Win32 platform and Direct3D 11
// renderer on the host window's device.
#include "ui/UIBackend.h"

#include "platform/windows/ComObject.h"
#include "platform/windows/D3D11Textures.h"
#include "platform/windows/HostWindowWindows.h"

#include <backends/imgui_impl_dx11.h>
#include <backends/imgui_impl_win32.h>
#include <d3d11.h>
#include <wrl/client.h>
#include <spdlog/spdlog.h>

#include <stdexcept>
#include <utility>

// Declared by the back end's header only inside "#if 0", to keep <windows.h> out of it.
extern IMGUI_IMPL_API LRESULT ImGui_ImplWin32_WndProcHandler(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

namespace quillane::host {
namespace {

bool isInputMessage(UINT message) {
    return (message >= WM_MOUSEFIRST && message <= WM_MOUSELAST) || (message >= WM_KEYFIRST && message <= WM_KEYLAST) ||
           message == WM_SETFOCUS || message == WM_KILLFOCUS || message == WM_MOUSELEAVE;
}

class Win32Dx11UIBackend final : public UIBackend {
public:
    explicit Win32Dx11UIBackend(Win32HostWindow& window)
        : hostWindow(window), device(window.device()), context(window.deviceContext()) {}
    ~Win32Dx11UIBackend() override { shutdown(); }

    bool initialize() override {
        if (!hostWindow.handle() || !ImGui_ImplWin32_Init(hostWindow.handle())) {
            SPDLOG_ERROR("Failed to initialize the UI's Win32 back end");
            return false;
        }
        platformUp = true;
        hostWindow.messageHook = [this](HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
            if (isInputMessage(message)) inputSeen = true;
            return ImGui_ImplWin32_WndProcHandler(window, message, wParam, lParam) != 0;
        };
        if (!device || !context || !ImGui_ImplDX11_Init(device.Get(), context.Get())) {
            SPDLOG_ERROR("Failed to initialize the UI's Direct3D 11 renderer");
            return false;
        }
        rendererUp = true;
        return true;
    }

    void shutdown() override {
        if (rendererUp) ImGui_ImplDX11_Shutdown();
        rendererUp = false;
        if (platformUp) {
            hostWindow.messageHook = nullptr;
            ImGui_ImplWin32_Shutdown();
        }
        platformUp = false;
    }

    void newFrame() override {
        ImGui_ImplDX11_NewFrame();
        ImGui_ImplWin32_NewFrame();
    }

    void renderDrawData(ImDrawData* drawData) override { ImGui_ImplDX11_RenderDrawData(drawData); }

    ImTextureID createTexture(const unsigned char* rgba, int width, int height) override {
        const D3D11_TEXTURE2D_DESC desc = textureDesc(static_cast<UINT>(width), static_cast<UINT>(height),
                                                      DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_BIND_SHADER_RESOURCE);
        D3D11_SUBRESOURCE_DATA data{};
        data.pSysMem = rgba;
        data.SysMemPitch = static_cast<UINT>(width) * 4;
        Microsoft::WRL::ComPtr<ID3D11Texture2D> texture;  // the view keeps it
        if (!device || FAILED(device->CreateTexture2D(&desc, &data, texture.GetAddressOf()))) {
            SPDLOG_ERROR("Failed to create logo texture");
            return nullptr;
        }
        D3D11_SHADER_RESOURCE_VIEW_DESC view{};
        view.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
        view.ViewDimension = D3D11_SRV_DIMENSION_TEXTURE2D;
        view.Texture2D.MipLevels = 1;
        Microsoft::WRL::ComPtr<ID3D11ShaderResourceView> srv;
        const HRESULT hr = device->CreateShaderResourceView(texture.Get(), &view, srv.GetAddressOf());
        if (FAILED(hr)) {
            SPDLOG_ERROR("Failed to create logo SRV");
            return nullptr;
        }
        return srv.Detach();  // the UI holds it as a texture id until releaseTexture
    }

    void releaseTexture(ImTextureID texture) override {
        adoptComObject(static_cast<ID3D11ShaderResourceView*>(texture));  // held for this statement only
    }

    bool takeInputActivity() override { return std::exchange(inputSeen, false); }

    std::vector<std::string> fontFiles() const override {
        return {"C:\\Windows\\Fonts\\SegoeUI.ttf", "C:\\Windows\\Fonts\\segoeui.ttf"};
    }

private:
    Win32HostWindow& hostWindow;
    // The UI's own references, held as long as it may draw.
    Microsoft::WRL::ComPtr<ID3D11Device> device;
    Microsoft::WRL::ComPtr<ID3D11DeviceContext> context;
    bool platformUp = false;
    bool rendererUp = false;
    bool inputSeen = false;
};

}  // namespace

std::unique_ptr<UIBackend> createUIBackend(HostWindow& window) {
    auto* win32 = dynamic_cast<Win32HostWindow*>(&window);
    if (!win32) throw std::invalid_argument("the UI needs the Win32 host window");
    return std::make_unique<Win32Dx11UIBackend>(*win32);
}

}  // namespace quillane::host
