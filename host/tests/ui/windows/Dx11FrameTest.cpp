// One frame of the UI drawn by the Direct3D 11 back end on a real host window,
// read back from the swap chain before it is presented.
#include "platform/windows/HostWindowWindows.h"
#include "ui/UIBackend.h"
#include "ui/UIManager.h"
#include "WindowsTestHelpers.h"

#include <d3d11.h>
#include <dxgi1_2.h>
#include <gtest/gtest.h>
#include <wrl/client.h>

#include <array>

namespace quillane::host {
extern Microsoft::WRL::ComPtr<IDXGISwapChain1> g_swapChain;
}

namespace quillane::host::test {
namespace {

using RGB = std::array<int, 3>;

// The back buffer's pixels, copied through a staging texture.
std::vector<std::uint8_t> readBackBuffer(UINT& width, UINT& height) {
    ID3D11Texture2D* back = nullptr;
    if (FAILED(g_swapChain->GetBuffer(0, __uuidof(ID3D11Texture2D), reinterpret_cast<void**>(&back)))) return {};
    TexturePixels read = readTexture(back);
    back->Release();
    width = read.width;
    height = read.height;
    return std::move(read.bytes);
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
            pixels = readBackBuffer(width, height);
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
