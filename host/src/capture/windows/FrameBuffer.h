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

// A frame buffer's description: the format of `like` at width x height, and none
// of its sharing, keyed-mutex or CPU-access flags (draws into a texture that
// carries a keyed mutex nobody acquires can be dropped, leaving the frame black).
D3D11_TEXTURE2D_DESC frameBufferDescription(const D3D11_TEXTURE2D_DESC& like, UINT width, UINT height);

}  // namespace quillane::host
