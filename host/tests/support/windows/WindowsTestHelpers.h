#pragma once

#include <d3d11.h>

#include <cstdint>
#include <vector>

namespace quillane::host::test {

// A BGRA texture's pixels, tightly packed row by row.
struct TexturePixels {
    UINT width = 0, height = 0;
    std::vector<std::uint8_t> bytes;
    // The pixel at (x, y) as a little-endian word 0xAARRGGBB.
    std::uint32_t at(UINT x, UINT y) const;
};

// Copies the texture through a staging texture on its device's immediate
// context; empty (0 x 0) when it cannot be read.
TexturePixels readTexture(ID3D11Texture2D* texture);

// A popup window of that client size on the calling thread, not shown.
HWND createPopupWindow(const wchar_t* title, int width, int height);

}  // namespace quillane::host::test
