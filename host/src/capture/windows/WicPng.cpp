#include "capture/windows/WicPng.h"

#include <cstring>

namespace quillane::host {

HRESULT createWicFactory(Microsoft::WRL::ComPtr<IWICImagingFactory>& factory) {
    return CoCreateInstance(CLSID_WICImagingFactory2, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                            reinterpret_cast<void**>(factory.GetAddressOf()));
}

WicPngResult encodeWicPng(IWICImagingFactory* factory, IWICBitmapSource* source, UINT width, UINT height) {
    WicPngResult result;
    Microsoft::WRL::ComPtr<IStream> stream;
    Microsoft::WRL::ComPtr<IWICBitmapEncoder> encoder;
    Microsoft::WRL::ComPtr<IWICBitmapFrameEncode> frame;
    HRESULT hr = CreateStreamOnHGlobal(nullptr, TRUE, stream.GetAddressOf());
    if (SUCCEEDED(hr)) hr = factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, encoder.GetAddressOf());
    if (SUCCEEDED(hr)) hr = encoder->Initialize(stream.Get(), WICBitmapEncoderNoCache);
    if (SUCCEEDED(hr)) hr = encoder->CreateNewFrame(frame.GetAddressOf(), nullptr);
    if (FAILED(hr)) {
        result.hr = hr;
        return result;
    }
    WICPixelFormatGUID format = GUID_WICPixelFormat32bppBGRA;
    hr = frame->Initialize(nullptr);
    if (SUCCEEDED(hr)) hr = frame->SetSize(width, height);
    if (SUCCEEDED(hr)) hr = frame->SetPixelFormat(&format);
    if (SUCCEEDED(hr)) hr = frame->WriteSource(source, nullptr);
    if (SUCCEEDED(hr)) hr = frame->Commit();
    if (SUCCEEDED(hr)) hr = encoder->Commit();
    if (FAILED(hr)) {
        result.hr = hr;
        result.frameFailed = true;
        return result;
    }
    HGLOBAL memory = nullptr;
    if (FAILED(GetHGlobalFromStream(stream.Get(), &memory)) || memory == nullptr) return result;
    const SIZE_T size = GlobalSize(memory);
    if (void* data = GlobalLock(memory)) {
        if (size != 0) {
            result.png.resize(size);
            std::memcpy(result.png.data(), data, size);
        }
        GlobalUnlock(memory);
    }
    return result;
}

}  // namespace quillane::host
