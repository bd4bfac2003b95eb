#include "encode/EncoderFactory.h"

#include <windows.h>
// mfapi.h must come before the other Media Foundation headers.
#include <mfapi.h>
#include <mftransform.h>
#include <mfidl.h>
#include <d3d11.h>
#include <dxgi.h>
#include <wrl/client.h>

#include <string>

#include "encode/windows/AmfEncoder.h"
#include "encode/windows/NvencEncoder.h"
#include "encode/windows/QuickSyncEncoder.h"
#include "platform/windows/ComObject.h"
#include "platform/windows/SystemLibrary.h"

namespace quillane::host {
namespace {

std::optional<std::uint32_t> adapterVendorId(EncoderDevice device) {
    if (device == nullptr) {
        return std::nullopt;
    }
    Microsoft::WRL::ComPtr<IDXGIDevice> dxgiDevice;
    if (FAILED(device->QueryInterface(__uuidof(IDXGIDevice), reinterpret_cast<void**>(dxgiDevice.GetAddressOf())))) {
        return std::nullopt;
    }
    std::optional<std::uint32_t> vendor;
    Microsoft::WRL::ComPtr<IDXGIAdapter> adapter;
    if (SUCCEEDED(dxgiDevice->GetAdapter(adapter.GetAddressOf()))) {
        DXGI_ADAPTER_DESC desc{};
        if (SUCCEEDED(adapter->GetDesc(&desc))) {
            vendor = desc.VendorId;
        }
    }
    return vendor;
}

bool runtimeLoadable(const char* library) {
    const std::wstring name(library, library + std::char_traits<char>::length(library));
    HMODULE module = loadSystemLibrary(name.c_str());
    if (module == nullptr) {
        return false;
    }
    FreeLibrary(module);
    return true;
}

bool quickSyncAvailable() {
    if (FAILED(MFStartup(0x20070, MFSTARTUP_LITE))) {
        return false;
    }
    MFT_REGISTER_TYPE_INFO input{MFMediaType_Video, MFVideoFormat_NV12};
    MFT_REGISTER_TYPE_INFO output{MFMediaType_Video, MFVideoFormat_H264};
    IMFActivate** activates = nullptr;
    UINT32 count = 0;
    const HRESULT hr = MFTEnumEx(MFT_CATEGORY_VIDEO_ENCODER, MFT_ENUM_FLAG_HARDWARE | MFT_ENUM_FLAG_SORTANDFILTER,
                                 &input, &output, &activates, &count);
    const bool found = SUCCEEDED(hr) && count > 0;
    for (UINT32 i = 0; i < count; ++i) {
        adoptComObject(activates[i]);  // held for this statement only
    }
    CoTaskMemFree(activates);
    MFShutdown();
    return found;
}

}  // namespace

// The graphics adapter's own encoder only.
EncoderProbes platformEncoderProbes() {
    EncoderProbes probes;
    probes.adapterVendorId = adapterVendorId;
    probes.runtimeLoadable = runtimeLoadable;
    probes.quickSyncAvailable = quickSyncAvailable;
    probes.makeEncoder = [](EncoderType type) -> std::unique_ptr<EncoderBase> {
        if (type == EncoderType::NVENC) {
            return std::make_unique<NvencEncoder>();
        }
        if (type == EncoderType::AMF) {
            return std::make_unique<AmfEncoder>();
        }
        if (type == EncoderType::QuickSync) {
            return std::make_unique<QuickSyncEncoder>();
        }
        return nullptr;
    };
    return probes;
}

}  // namespace quillane::host
