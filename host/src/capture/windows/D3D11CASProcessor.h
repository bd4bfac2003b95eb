#pragma once

#include "capture/CASProcessor.h"

#include <d3d11.h>
#include <wrl/client.h>

namespace quillane::host {

// Sharpens with a pixel shader drawn on the capture device's immediate context.
class D3D11CASProcessor final : public CASProcessor {
public:
    bool initialize(EncoderDevice device) override;
    bool apply(CaptureContext context, EncoderInput source, FrameBuffer* target, std::uint32_t width,
               std::uint32_t height) override;

private:
    bool compileShaders(ID3D11Device* device);

    Microsoft::WRL::ComPtr<ID3D11VertexShader> vertexShader;
    Microsoft::WRL::ComPtr<ID3D11PixelShader> pixelShader;
    Microsoft::WRL::ComPtr<ID3D11InputLayout> inputLayout;
    Microsoft::WRL::ComPtr<ID3D11Buffer> vertexBuffer;
    Microsoft::WRL::ComPtr<ID3D11Buffer> constantBuffer;
    Microsoft::WRL::ComPtr<ID3D11SamplerState> sampler;
    Microsoft::WRL::ComPtr<ID3D11BlendState> blendState;
    Microsoft::WRL::ComPtr<ID3D11RasterizerState> rasterizerState;
    Microsoft::WRL::ComPtr<ID3D11DepthStencilState> depthStencilState;
};

}  // namespace quillane::host
