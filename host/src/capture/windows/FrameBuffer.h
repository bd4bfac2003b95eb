#pragma once

#include <d3d11.h>
#include <wrl/client.h>

namespace quillane::host {

// A BGRA texture of the capture device that sharpening renders into, padding
// copies into and the encoder reads.
class FrameBuffer {
public:
    explicit FrameBuffer(Microsoft::WRL::ComPtr<ID3D11Texture2D> t) : texture(std::move(t)) {}
    ID3D11Texture2D* get() const { return texture.Get(); }

private:
    Microsoft::WRL::ComPtr<ID3D11Texture2D> texture;
};

}  // namespace quillane::host
