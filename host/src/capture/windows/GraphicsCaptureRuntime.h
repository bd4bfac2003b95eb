#pragma once

#include "capture/windows/GraphicsCaptureApi.h"

#include <cstdint>
#include <memory>

namespace quillane::host {

// The calls through which window capture reaches the system: the activation
// factories of the Windows.Graphics.Capture classes, d3d11.dll's bridge from a
// DXGI device to a Windows Runtime device, and the Windows build. The system's
// runtime goes to the real ones; tests hand a WindowCapture their fakes.
//
// Threads: any thread may call it.
class GraphicsCaptureRuntime {
public:
    virtual ~GraphicsCaptureRuntime() = default;

    // The class's activation factory as `iid` (RoGetActivationFactory); a failure
    // code when the class is not there.
    virtual HRESULT activationFactory(const wchar_t* className, REFIID iid, void** factory) = 0;
    // CreateDirect3D11DeviceFromDXGIDevice; E_NOTIMPL when d3d11.dll lacks it.
    virtual HRESULT createDirect3DDevice(IDXGIDevice* device, IInspectable** result) = 0;
    // From the registry; 0 when it cannot be read.
    virtual std::uint32_t buildNumber() = 0;
};

std::shared_ptr<GraphicsCaptureRuntime> systemGraphicsCaptureRuntime();

}  // namespace quillane::host
