#pragma once

#include <windows.h>
#include <objbase.h>
#include <wincodec.h>
#include <wrl/client.h>

#include <cstdint>
#include <vector>

namespace quillane::host {

// Joins the calling thread to a single-threaded apartment for the life of the
// object, and leaves it only when this object was the one that entered.
class ComApartment {
public:
    ComApartment() : hr(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~ComApartment() {
        if (hr == S_OK) CoUninitialize();
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

private:
    HRESULT hr;
};

HRESULT createWicFactory(Microsoft::WRL::ComPtr<IWICImagingFactory>& factory);

struct WicPngResult {
    HRESULT hr = S_OK;         // of the first step that failed
    bool frameFailed = false;  // the failure came from writing the frame, not from setting up
    std::vector<std::uint8_t> png;
};

// Encodes the whole source as a PNG of the given size, written as 32-bit BGRA.
WicPngResult encodeWicPng(IWICImagingFactory* factory, IWICBitmapSource* source, UINT width, UINT height);

}  // namespace quillane::host
