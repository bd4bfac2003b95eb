#pragma once

struct ID3D11Device;
struct ID3D11Texture2D;

namespace quillane::host {

// The capture device and its 32-bit BGRA textures, used by the encoders without copies
// through system memory.
using EncoderDevice = ID3D11Device*;
using EncoderInput = ID3D11Texture2D*;

}  // namespace quillane::host
