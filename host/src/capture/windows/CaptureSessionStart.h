#pragma once

#include "capture/windows/GraphicsCaptureApi.h"

#include <atomic>

namespace quillane::host {

// The last steps of a capture start: no border (IGraphicsCaptureSession3, from
// build 20348) and the cursor drawn (IGraphicsCaptureSession2, from build
// 19041), each skipped with an info line where the session does not offer it;
// then `capturing` is set and the session started. Returns the first failure,
// with `capturing` cleared again.
HRESULT startCaptureSession(wgc::IGraphicsCaptureSession* session, std::atomic<bool>& capturing);

}  // namespace quillane::host
