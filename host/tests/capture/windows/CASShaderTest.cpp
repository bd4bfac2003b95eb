// The sharpening pixel shader under Direct3D 11 (Wine's here) against the CPU implementation.
#include "capture/CasCpu.h"
#include "capture/windows/D3D11CaptureDevice.h"
#include "capture/windows/D3D11CASProcessor.h"
#include "capture/windows/FrameBuffer.h"
#include "WindowsTestHelpers.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include <d3d11.h>
#include <wrl/client.h>

namespace quillane::host::test {

using Microsoft::WRL::ComPtr;

namespace {

struct Image {
    std::uint32_t width, height;
    std::vector<std::uint8_t> bytes;  // BGRA, tightly packed
    Image(std::uint32_t w, std::uint32_t h, std::uint8_t grey = 0) : width(w), height(h), bytes(std::size_t(w) * h * 4, grey) {
        for (std::size_t i = 3; i < bytes.size(); i += 4) bytes[i] = 255;
    }
    std::uint8_t* px(std::uint32_t x, std::uint32_t y) { return &bytes[(std::size_t(y) * width + x) * 4]; }
    CasImage view() const { return {bytes.data(), width * 4, width, height}; }
};

class CASShader : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(device.initialize()) << "no Direct3D 11 device";
        ASSERT_TRUE(cas.initialize(device.device()));
        cas.enabled = true;
    }

    ComPtr<ID3D11Texture2D> upload(const Image& img) {
        const D3D11_TEXTURE2D_DESC desc{img.width, img.height, 1, 1, DXGI_FORMAT_B8G8R8A8_UNORM, {1, 0},
                                        D3D11_USAGE_DEFAULT, D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_RENDER_TARGET, 0, 0};
        D3D11_SUBRESOURCE_DATA data{img.bytes.data(), img.width * 4, 0};
        ComPtr<ID3D11Texture2D> texture;
        EXPECT_HRESULT_SUCCEEDED(device.device()->CreateTexture2D(&desc, &data, &texture));
        return texture;
    }

    Image download(ID3D11Texture2D* texture) {
        const auto read = quillane::host::test::readTexture(texture);
        EXPECT_FALSE(read.bytes.empty()) << "the texture could not be read back";
        Image out(read.width, read.height);
        out.bytes = read.bytes;
        return out;
    }

    // Runs the shader into a black target of the padded size and returns it.
    Image sharpenOnGpu(const Image& src, float sharpness, std::uint32_t padW, std::uint32_t padH) {
        auto texture = upload(src);
        auto target = device.createFrameBuffer(texture.Get(), padW, padH);
        EXPECT_TRUE(target);
        cas.sharpness = sharpness;
        EXPECT_TRUE(cas.apply(device.context(), texture.Get(), target.get(), src.width, src.height));
        return download(CaptureDevice::frameInput(*target));
    }

    // Every channel within one step of the CPU reference; the padding stays opaque black.
    void expectMatchesCpu(const Image& src, float sharpness, std::uint32_t padW, std::uint32_t padH) {
        const Image gpu = sharpenOnGpu(src, sharpness, padW, padH);
        Image cpu(src.width, src.height);
        casSharpen(src.view(), cpu.bytes.data(), src.width * 4, sharpness, nullptr);
        for (std::uint32_t y = 0; y < padH; ++y) {
            for (std::uint32_t x = 0; x < padW; ++x) {
                const std::uint8_t* g = &gpu.bytes[(std::size_t(y) * padW + x) * 4];
                if (x >= src.width || y >= src.height) {
                    ASSERT_TRUE(g[0] == 0 && g[1] == 0 && g[2] == 0 && g[3] == 255) << "border at " << x << "," << y;
                    continue;
                }
                const std::uint8_t* c = cpu.px(x, y);
                for (int ch = 0; ch < 3; ++ch) {
                    const int diff = std::abs(int(g[ch]) - int(c[ch]));
                    ASSERT_LE(diff, 1) << "at " << x << "," << y << " ch " << ch << ": gpu " << int(g[ch]) << " cpu "
                                       << int(c[ch]) << " (sharpness " << sharpness << ")";
                }
                ASSERT_EQ(g[3], 255);
            }
        }
    }

    D3D11CaptureDevice device;
    D3D11CASProcessor cas;
};

}  // namespace

TEST_F(CASShader, MatchesTheCpuWithinOneStep) {
    Image peak(9, 9, 100);  // the hand-computed case of the CPU's tests
    std::uint8_t* p = peak.px(4, 4);
    p[0] = p[1] = p[2] = 160;
    expectMatchesCpu(peak, 0.0f, 16, 16);

    Image edges(40, 20);  // a step, an all-black channel, full intensity nearby
    for (std::uint32_t y = 0; y < 20; ++y)
        for (std::uint32_t x = 0; x < 40; ++x) {
            std::uint8_t* e = edges.px(x, y);
            e[0] = x < 20 ? 50 : 200;
            e[1] = 0;
            e[2] = (x == 7 && y == 9) ? 255 : 120;
        }
    expectMatchesCpu(edges, 1.0f, 48, 32);

    std::mt19937 rng(3);
    for (auto [w, h] : {std::pair{61u, 37u}, {16u, 16u}, {1u, 5u}, {130u, 2u}}) {
        Image src(w, h);
        for (auto& b : src.bytes) b = static_cast<std::uint8_t>(rng());
        for (float s : {0.0f, 0.6f, 1.0f}) expectMatchesCpu(src, s, (w + 15) & ~15u, (h + 15) & ~15u);
    }
}

TEST_F(CASShader, RenderTargetAndViewportAreRestored) {
    Image src(16, 16, 90);
    auto texture = upload(src);
    auto other = upload(Image(8, 8));
    ComPtr<ID3D11RenderTargetView> view;
    ASSERT_HRESULT_SUCCEEDED(device.device()->CreateRenderTargetView(other.Get(), nullptr, &view));
    ID3D11RenderTargetView* raw = view.Get();
    device.context()->OMSetRenderTargets(1, &raw, nullptr);
    const D3D11_VIEWPORT before{1.0f, 2.0f, 5.0f, 6.0f, 0.0f, 1.0f};
    device.context()->RSSetViewports(1, &before);

    auto target = device.createFrameBuffer(texture.Get(), 16, 16);
    ASSERT_TRUE(cas.apply(device.context(), texture.Get(), target.get(), 16, 16));

    ComPtr<ID3D11RenderTargetView> after;
    device.context()->OMGetRenderTargets(1, &after, nullptr);
    EXPECT_EQ(after.Get(), view.Get());
    UINT n = 1;
    D3D11_VIEWPORT vp{};
    device.context()->RSGetViewports(&n, &vp);
    EXPECT_EQ(vp.TopLeftX, 1.0f);
    EXPECT_EQ(vp.Width, 5.0f);
    EXPECT_EQ(vp.Height, 6.0f);
}

TEST_F(CASShader, DisabledPassWritesNothingAndPaddingCopiesAndClears) {
    auto texture = upload(Image(20, 10, 77));
    auto target = device.createFrameBuffer(texture.Get(), 32, 16);
    ASSERT_TRUE(target);
    cas.enabled = false;
    EXPECT_FALSE(cas.apply(device.context(), texture.Get(), target.get(), 20, 10));
    D3D11CASProcessor fresh;
    fresh.enabled = true;
    EXPECT_FALSE(fresh.apply(device.context(), texture.Get(), target.get(), 20, 10));
    Image out = download(CaptureDevice::frameInput(*target));
    EXPECT_EQ(out.bytes[0], 0) << "written although disabled";

    device.copyRegion(texture.Get(), *target, 20, 10);
    out = download(CaptureDevice::frameInput(*target));
    EXPECT_EQ(out.bytes[(9 * 32 + 19) * 4], 77);
    EXPECT_EQ(out.bytes[(9 * 32 + 20) * 4], 0);
    EXPECT_EQ(out.bytes[(10 * 32 + 0) * 4 + 3], 255);
    device.clearFrameBuffer(*target);
    out = download(CaptureDevice::frameInput(*target));
    EXPECT_EQ(out.bytes[0], 0);
    EXPECT_EQ(out.bytes[3], 255);
}

// Capture surfaces may carry sharing and keyed-mutex flags; the padding and
// sharpening targets made in their likeness carry none, or draws into them
// could be dropped.
TEST(FrameBufferDescription, KeepsFormatAndDropsSharingAndCpuFlags) {
    D3D11_TEXTURE2D_DESC capture{1917, 1077, 3, 2, DXGI_FORMAT_B8G8R8A8_UNORM, {4, 1}, D3D11_USAGE_DYNAMIC,
                                 D3D11_BIND_SHADER_RESOURCE, D3D11_CPU_ACCESS_WRITE,
                                 D3D11_RESOURCE_MISC_SHARED_KEYEDMUTEX | D3D11_RESOURCE_MISC_SHARED_NTHANDLE};
    const D3D11_TEXTURE2D_DESC target = frameBufferDescription(capture, 1920, 1088);
    EXPECT_EQ(target.Width, 1920u);
    EXPECT_EQ(target.Height, 1088u);
    EXPECT_EQ(target.Format, DXGI_FORMAT_B8G8R8A8_UNORM);
    EXPECT_EQ(target.MipLevels, 1u);
    EXPECT_EQ(target.ArraySize, 1u);
    EXPECT_EQ(target.SampleDesc.Count, 1u);
    EXPECT_EQ(target.SampleDesc.Quality, 0u);
    EXPECT_EQ(target.Usage, D3D11_USAGE_DEFAULT);
    EXPECT_EQ(target.BindFlags, UINT(D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_RENDER_TARGET));
    EXPECT_EQ(target.CPUAccessFlags, 0u);
    EXPECT_EQ(target.MiscFlags, 0u);
}

TEST_F(CASShader, TargetsOfASharedCaptureSurfaceAreNotShared) {
    const D3D11_TEXTURE2D_DESC desc{64, 32, 1, 1, DXGI_FORMAT_B8G8R8A8_UNORM, {1, 0}, D3D11_USAGE_DEFAULT,
                                    D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_RENDER_TARGET, 0,
                                    D3D11_RESOURCE_MISC_SHARED};
    ComPtr<ID3D11Texture2D> shared;
    if (FAILED(device.device()->CreateTexture2D(&desc, nullptr, &shared)))
        GTEST_SKIP() << "this Direct3D 11 cannot make shared textures";
    auto target = device.createFrameBuffer(shared.Get(), 80, 48);
    ASSERT_TRUE(target);
    D3D11_TEXTURE2D_DESC made{};
    CaptureDevice::frameInput(*target)->GetDesc(&made);
    EXPECT_EQ(made.MiscFlags, 0u);
    EXPECT_EQ(made.CPUAccessFlags, 0u);
    EXPECT_EQ(made.Width, 80u);
    EXPECT_EQ(made.Height, 48u);
}

}  // namespace quillane::host::test
