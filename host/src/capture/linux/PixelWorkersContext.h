#pragma once

namespace quillane::host {

class PixelWorkers;

// Per-frame image work on Linux runs on the CPU, split across these workers.
using CaptureContext = PixelWorkers*;

}  // namespace quillane::host
