#pragma once

struct ID3D11DeviceContext;

namespace quillane::host {

// Per-frame image work on Windows runs on the capture device's immediate context.
using CaptureContext = ID3D11DeviceContext*;

}  // namespace quillane::host
