#include "capture/windows/D3D11CASProcessor.h"

#include "capture/windows/FrameBuffer.h"

#include <spdlog/spdlog.h>

#include <cfloat>
#include <cstring>

#include <d3d10.h>
#include <d3d11.h>
#include <d3dcompiler.h>
#include <wrl/client.h>

using Microsoft::WRL::ComPtr;

namespace quillane::host {
namespace {

const char vertexShaderSource[] = R"(
struct VSInput { float2 position : POSITION; float2 texcoord : TEXCOORD0; };
struct VSOutput { float4 position : SV_POSITION; float2 texcoord : TEXCOORD0; };
VSOutput main(VSInput input) {
    VSOutput output;
    output.position = float4(input.position, 0.0, 1.0);
    output.texcoord = input.texcoord;
    return output;
}
)";

// Contrast-adaptive sharpening per colour channel over the 3x3 neighbourhood; the
// same formula as the CPU implementation (CasCpu), which is its reference. An
// all-black neighbourhood is left as it is instead of dividing 0 by 0.
const char pixelShaderSource[] = R"(
cbuffer CASParams : register(b0) {
    float sharpness;
    float texelSizeX;
    float texelSizeY;
    float padding;
};
Texture2D inputTexture : register(t0);
SamplerState linearSampler : register(s0);
struct PSInput { float4 position : SV_POSITION; float2 texcoord : TEXCOORD0; };
#define TAP(dx, dy) inputTexture.Sample(linearSampler, uv + float2(dx * texelSizeX, dy * texelSizeY)).rgb
float4 main(PSInput input) : SV_TARGET {
    float2 uv = input.texcoord;
    float3 a = TAP(-1.0, -1.0);
    float3 b = TAP(0.0, -1.0);
    float3 c = TAP(1.0, -1.0);
    float3 d = TAP(-1.0, 0.0);
    float3 e = TAP(0.0, 0.0);
    float3 f = TAP(1.0, 0.0);
    float3 g = TAP(-1.0, 1.0);
    float3 h = TAP(0.0, 1.0);
    float3 i = TAP(1.0, 1.0);
    float3 mnCross = min(min(min(b, d), min(e, f)), h);
    float3 mxCross = max(max(max(b, d), max(e, f)), h);
    float3 mn = mnCross + min(min(min(a, c), min(g, i)), mnCross);
    float3 mx = mxCross + max(max(max(a, c), max(g, i)), mxCross);
    // mx = 0 means mn = 0 too: the ratio is then 0 instead of 0 / 0.
    float3 ratio = min(mn, 2.0 - mx) / max(mx, 0.000001);
    float peak = 8.0 - 3.0 * sharpness;
    float3 w = -pow(saturate(ratio), 0.5) / peak;  // sqrt; pow for compilers without it
    float3 result = saturate((b * w + d * w + f * w + h * w + e) / (1.0 + 4.0 * w));
    return float4(result, 1.0);
}
)";

struct Vertex {
    float x, y, u, v;
};
const Vertex fullScreenStrip[4] = {{-1.0f, 1.0f, 0.0f, 0.0f}, {1.0f, 1.0f, 1.0f, 0.0f},
                                   {-1.0f, -1.0f, 0.0f, 1.0f}, {1.0f, -1.0f, 1.0f, 1.0f}};

std::uint32_t hex(HRESULT hr) { return static_cast<std::uint32_t>(hr); }

}  // namespace

std::unique_ptr<CASProcessor> createCASProcessor() { return std::make_unique<D3D11CASProcessor>(); }

bool D3D11CASProcessor::compileShaders(ID3D11Device* device) {
    ComPtr<ID3DBlob> code, errors;
    HRESULT hr = D3DCompile(vertexShaderSource, std::strlen(vertexShaderSource), "CAS_VS", nullptr, nullptr, "main",
                            "vs_4_0", D3DCOMPILE_OPTIMIZATION_LEVEL3, 0, &code, &errors);
    if (FAILED(hr)) {
        if (errors) SPDLOG_ERROR("CASProcessor: VS compile error: {}", static_cast<const char*>(errors->GetBufferPointer()));
        return false;
    }
    hr = device->CreateVertexShader(code->GetBufferPointer(), code->GetBufferSize(), nullptr, &vertexShader);
    if (FAILED(hr)) {
        SPDLOG_ERROR("CASProcessor: Failed to create vertex shader: {:#x}", hex(hr));
        return false;
    }
    const D3D11_INPUT_ELEMENT_DESC layout[] = {
        {"POSITION", 0, DXGI_FORMAT_R32G32_FLOAT, 0, 0, D3D11_INPUT_PER_VERTEX_DATA, 0},
        {"TEXCOORD", 0, DXGI_FORMAT_R32G32_FLOAT, 0, 8, D3D11_INPUT_PER_VERTEX_DATA, 0},
    };
    hr = device->CreateInputLayout(layout, 2, code->GetBufferPointer(), code->GetBufferSize(), &inputLayout);
    if (FAILED(hr)) {
        SPDLOG_ERROR("CASProcessor: Failed to create input layout: {:#x}", hex(hr));
        return false;
    }
    code.Reset();
    errors.Reset();
    hr = D3DCompile(pixelShaderSource, std::strlen(pixelShaderSource), "CAS_PS", nullptr, nullptr, "main", "ps_4_0",
                    D3DCOMPILE_OPTIMIZATION_LEVEL3, 0, &code, &errors);
    if (FAILED(hr)) {
        if (errors) SPDLOG_ERROR("CASProcessor: PS compile error: {}", static_cast<const char*>(errors->GetBufferPointer()));
        return false;
    }
    hr = device->CreatePixelShader(code->GetBufferPointer(), code->GetBufferSize(), nullptr, &pixelShader);
    if (FAILED(hr)) {
        SPDLOG_ERROR("CASProcessor: Failed to create pixel shader: {:#x}", hex(hr));
        return false;
    }
    return true;
}

bool D3D11CASProcessor::initialize(EncoderDevice device) {
    if (!device) {
        SPDLOG_ERROR("CASProcessor: No device provided");
        return false;
    }
    if (!compileShaders(device)) return false;

    D3D11_BUFFER_DESC cb{};
    cb.ByteWidth = 16;
    cb.Usage = D3D11_USAGE_DYNAMIC;
    cb.BindFlags = D3D11_BIND_CONSTANT_BUFFER;
    cb.CPUAccessFlags = D3D11_CPU_ACCESS_WRITE;
    HRESULT hr = device->CreateBuffer(&cb, nullptr, constantBuffer.ReleaseAndGetAddressOf());
    if (FAILED(hr)) {
        SPDLOG_ERROR("CASProcessor: Failed to create constant buffer: {:#x}", hex(hr));
        return false;
    }
    D3D11_SAMPLER_DESC sd{};
    sd.Filter = D3D11_FILTER_MIN_MAG_MIP_LINEAR;
    sd.AddressU = sd.AddressV = sd.AddressW = D3D11_TEXTURE_ADDRESS_CLAMP;
    sd.MaxLOD = FLT_MAX;
    hr = device->CreateSamplerState(&sd, sampler.ReleaseAndGetAddressOf());
    if (FAILED(hr)) {
        SPDLOG_ERROR("CASProcessor: Failed to create sampler: {:#x}", hex(hr));
        return false;
    }
    D3D11_BLEND_DESC bd{};
    bd.RenderTarget[0].RenderTargetWriteMask = D3D11_COLOR_WRITE_ENABLE_ALL;
    device->CreateBlendState(&bd, blendState.ReleaseAndGetAddressOf());
    D3D11_RASTERIZER_DESC rd{};
    rd.FillMode = D3D11_FILL_SOLID;
    rd.CullMode = D3D11_CULL_NONE;
    device->CreateRasterizerState(&rd, rasterizerState.ReleaseAndGetAddressOf());
    D3D11_DEPTH_STENCIL_DESC dd{};
    device->CreateDepthStencilState(&dd, depthStencilState.ReleaseAndGetAddressOf());

    D3D11_BUFFER_DESC vb{};
    vb.ByteWidth = sizeof fullScreenStrip;
    vb.Usage = D3D11_USAGE_IMMUTABLE;
    vb.BindFlags = D3D11_BIND_VERTEX_BUFFER;
    D3D11_SUBRESOURCE_DATA initial{fullScreenStrip, 0, 0};
    hr = device->CreateBuffer(&vb, &initial, vertexBuffer.ReleaseAndGetAddressOf());
    if (FAILED(hr)) {
        SPDLOG_ERROR("CASProcessor: Failed to create vertex buffer: {:#x}", hex(hr));
        return false;
    }
    initialized = true;
    SPDLOG_INFO("CASProcessor initialized (sharpness={:.2f})", sharpness.load());
    return true;
}

bool D3D11CASProcessor::apply(CaptureContext context, EncoderInput source, FrameBuffer* target, std::uint32_t width,
                              std::uint32_t height) {
    if (!initialized || !enabled.load() || !context || !source || !target || !target->get()) return false;
    ComPtr<ID3D11Device> device;
    context->GetDevice(&device);

    D3D11_SHADER_RESOURCE_VIEW_DESC srvDesc{};
    srvDesc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    srvDesc.ViewDimension = D3D11_SRV_DIMENSION_TEXTURE2D;
    srvDesc.Texture2D.MostDetailedMip = 0;
    srvDesc.Texture2D.MipLevels = 1;
    ComPtr<ID3D11ShaderResourceView> input;
    HRESULT hr = device->CreateShaderResourceView(source, &srvDesc, &input);
    if (FAILED(hr)) {
        SPDLOG_WARN("CASProcessor: Failed to create input SRV: {:#x}", hex(hr));
        return false;
    }
    D3D11_RENDER_TARGET_VIEW_DESC rtvDesc{};
    rtvDesc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    rtvDesc.ViewDimension = D3D11_RTV_DIMENSION_TEXTURE2D;
    ComPtr<ID3D11RenderTargetView> output;
    hr = device->CreateRenderTargetView(target->get(), &rtvDesc, &output);
    if (FAILED(hr)) {
        SPDLOG_WARN("CASProcessor: Failed to create output RTV: {:#x}", hex(hr));
        return false;
    }

    // Several capture threads share the immediate context: the state set-up and
    // the draw must not interleave with another stream's, so the whole pass runs
    // under the device's own multithread lock.
    ComPtr<ID3D10Multithread> multithread;
    if (SUCCEEDED(context->QueryInterface(__uuidof(ID3D10Multithread), &multithread))) multithread->Enter();

    D3D11_MAPPED_SUBRESOURCE mapped{};
    if (SUCCEEDED(context->Map(constantBuffer.Get(), 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped))) {
        const float params[4] = {sharpness.load(), 1.0f / static_cast<float>(width), 1.0f / static_cast<float>(height),
                                 0.0f};
        std::memcpy(mapped.pData, params, sizeof params);
        context->Unmap(constantBuffer.Get(), 0);
    }
    ComPtr<ID3D11RenderTargetView> savedTarget;
    ComPtr<ID3D11DepthStencilView> savedDepth;
    context->OMGetRenderTargets(1, &savedTarget, &savedDepth);
    UINT viewportCount = 1;
    D3D11_VIEWPORT savedViewport{};
    context->RSGetViewports(&viewportCount, &savedViewport);

    const UINT stride = sizeof(Vertex), offset = 0;
    context->IASetInputLayout(inputLayout.Get());
    context->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP);
    ID3D11Buffer* vertices = vertexBuffer.Get();
    context->IASetVertexBuffers(0, 1, &vertices, &stride, &offset);
    context->VSSetShader(vertexShader.Get(), nullptr, 0);
    context->PSSetShader(pixelShader.Get(), nullptr, 0);
    ID3D11Buffer* constants = constantBuffer.Get();
    context->PSSetConstantBuffers(0, 1, &constants);
    ID3D11ShaderResourceView* inputView = input.Get();
    context->PSSetShaderResources(0, 1, &inputView);
    ID3D11SamplerState* samplerState = sampler.Get();
    context->PSSetSamplers(0, 1, &samplerState);
    context->OMSetBlendState(blendState.Get(), nullptr, 0xFFFFFFFF);
    context->OMSetDepthStencilState(depthStencilState.Get(), 0);
    context->RSSetState(rasterizerState.Get());
    ID3D11RenderTargetView* outputView = output.Get();
    context->OMSetRenderTargets(1, &outputView, nullptr);
    const D3D11_VIEWPORT viewport{0.0f, 0.0f, static_cast<float>(width), static_cast<float>(height), 0.0f, 1.0f};
    context->RSSetViewports(1, &viewport);

    context->Draw(4, 0);

    ID3D11ShaderResourceView* none = nullptr;
    context->PSSetShaderResources(0, 1, &none);
    ID3D11RenderTargetView* restored = savedTarget.Get();
    context->OMSetRenderTargets(1, &restored, savedDepth.Get());
    if (viewportCount > 0) context->RSSetViewports(1, &savedViewport);
    if (multithread) multithread->Leave();
    return true;
}

}  // namespace quillane::host
