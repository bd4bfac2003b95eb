// One frame of the UI drawn by the Direct3D 11 back end on a real host window,
// read back from the swap chain before it is presented.
#include "platform/windows/HostWindowWindows.h"
#include "ui/UIBackend.h"
#include "ui/UIManager.h"

#include <d3d11.h>
#include <dxgi1_2.h>
#include <gtest/gtest.h>

#include <array>
#include <cstring>

namespace quillane::host {
extern IDXGISwapChain1* g_swapChain;
}

namespace quillane::host::test {
namespace {

using RGB = std::array<int, 3>;

// The back buffer's pixels, copied through a staging texture.
std::vector<std::uint8_t> readBackBuffer(ID3D11Device* device, ID3D11DeviceContext* context, UINT& width,
                                         UINT& height) {
    ID3D11Texture2D* back = nullptr;
    if (FAILED(g_swapChain->GetBuffer(0, __uuidof(ID3D11Texture2D), reinterpret_cast<void**>(&back)))) return {};
    D3D11_TEXTURE2D_DESC desc{};
    back->GetDesc(&desc);
    desc.Usage = D3D11_USAGE_STAGING;
    desc.BindFlags = 0;
    desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    desc.MiscFlags = 0;
    ID3D11Texture2D* staging = nullptr;
    std::vector<std::uint8_t> pixels;
    if (SUCCEEDED(device->CreateTexture2D(&desc, nullptr, &staging))) {
        context->CopyResource(staging, back);
        D3D11_MAPPED_SUBRESOURCE mapped{};
        if (SUCCEEDED(context->Map(staging, 0, D3D11_MAP_READ, 0, &mapped))) {
            width = desc.Width;
            height = desc.Height;
            pixels.resize(static_cast<std::size_t>(width) * height * 4);
            for (UINT y = 0; y < height; ++y)
                std::memcpy(&pixels[y * width * 4], static_cast<std::uint8_t*>(mapped.pData) + y * mapped.RowPitch,
                            width * 4);
            context->Unmap(staging, 0);
        }
        staging->Release();
    }
    back->Release();
    return pixels;
}

bool similar(const RGB& a, const RGB& b) {
    for (int i = 0; i < 3; ++i)
        if (std::abs(a[i] - b[i]) > 2) return false;
    return true;
}

TEST(Dx11FrameTest, TheDashboardIsDrawnInTheThemesColours) {
    Win32HostWindow window(GetModuleHandleW(nullptr), SW_SHOWNOACTIVATE);
    std::string error;
    ASSERT_TRUE(window.create(error)) << error;
    window.show();
    {
        UIManager ui(createUIBackend(window));
        ASSERT_TRUE(ui.initialize());
        window.pumpMessages(std::chrono::milliseconds(0));
        std::vector<std::uint8_t> pixels;
        UINT width = 0, height = 0;
        for (int frame = 0; frame < 3; ++frame) {
            window.clear();
            ui.render();
            pixels = readBackBuffer(window.device(), window.deviceContext(), width, height);
            window.present();
        }
        ASSERT_GT(width, 300u);
        ASSERT_GT(height, 300u);
        const auto at = [&](UINT x, UINT y) {
            const std::uint8_t* p = &pixels[(y * width + x) * 4];
            return RGB{p[0], p[1], p[2]};
        };
        EXPECT_TRUE(similar(at(20, 200), RGB{115, 89, 230}));  // the selected "Dashboard" button
        EXPECT_TRUE(similar(at(20, height / 2), RGB{13, 13, 20}));  // sidebar
        EXPECT_TRUE(similar(at(width - 5, 5), RGB{15, 15, 26}));    // page
        ui.shutdown();
    }
    window.destroy();
}

}  // namespace
}  // namespace quillane::host::test
