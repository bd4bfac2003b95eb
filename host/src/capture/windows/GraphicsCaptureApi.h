#pragma once

// The parts of Windows.Graphics.Capture (and its Direct3D interop) that window
// capture uses, declared from the documented Windows Runtime ABI: MinGW ships no
// projection or headers for them. Every interface lists its methods in ABI order.

#include <windows.h>
#include <d3d11.h>
#include <dxgi.h>
#include <eventtoken.h>
#include <inspectable.h>

#include <cstdint>

namespace quillane::host::wgc {

struct SizeInt32 {
    INT32 Width;
    INT32 Height;
};

enum DirectXPixelFormat : INT32 { B8G8R8A8UIntNormalized = 87 };

// Windows.Foundation.IClosable
struct IClosable : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE Close() = 0;
};

// Windows.Graphics.DirectX.Direct3D11.IDirect3DDevice
struct IDirect3DDevice : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE Trim() = 0;
};

// Windows.Graphics.DirectX.Direct3D11 interop: the DXGI object behind a surface.
struct IDirect3DDxgiInterfaceAccess : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetInterface(REFIID iid, void** object) = 0;
};

struct IGraphicsCaptureItem;
struct IDirect3D11CaptureFramePool;

// TypedEventHandler<GraphicsCaptureItem, IInspectable> (the item's Closed event)
struct IItemClosedHandler : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Invoke(IGraphicsCaptureItem* sender, IInspectable* args) = 0;
};

// TypedEventHandler<Direct3D11CaptureFramePool, IInspectable> (FrameArrived)
struct IFrameArrivedHandler : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Invoke(IDirect3D11CaptureFramePool* sender, IInspectable* args) = 0;
};

struct IGraphicsCaptureItem : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE get_DisplayName(HSTRING* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Size(SizeInt32* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE add_Closed(IItemClosedHandler* handler, EventRegistrationToken* token) = 0;
    virtual HRESULT STDMETHODCALLTYPE remove_Closed(EventRegistrationToken token) = 0;
};

// The GraphicsCaptureItem activation factory's interop interface.
struct IGraphicsCaptureItemInterop : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE CreateForWindow(HWND window, REFIID iid, void** result) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateForMonitor(HMONITOR monitor, REFIID iid, void** result) = 0;
};

struct IDirect3D11CaptureFrame : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE get_Surface(IInspectable** value) = 0;  // IDirect3DSurface
    virtual HRESULT STDMETHODCALLTYPE get_SystemRelativeTime(INT64* value) = 0;  // TimeSpan
    virtual HRESULT STDMETHODCALLTYPE get_ContentSize(SizeInt32* value) = 0;
};

struct IGraphicsCaptureSession : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE StartCapture() = 0;
};

struct IGraphicsCaptureSession2 : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE get_IsCursorCaptureEnabled(boolean* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_IsCursorCaptureEnabled(boolean value) = 0;
};

struct IGraphicsCaptureSession3 : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE get_IsBorderRequired(boolean* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_IsBorderRequired(boolean value) = 0;
};

struct IGraphicsCaptureSessionStatics : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE IsSupported(boolean* result) = 0;
};

struct IDirect3D11CaptureFramePool : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE Recreate(IDirect3DDevice* device, DirectXPixelFormat format, INT32 buffers,
                                               SizeInt32 size) = 0;
    virtual HRESULT STDMETHODCALLTYPE TryGetNextFrame(IDirect3D11CaptureFrame** result) = 0;
    virtual HRESULT STDMETHODCALLTYPE add_FrameArrived(IFrameArrivedHandler* handler, EventRegistrationToken* token) = 0;
    virtual HRESULT STDMETHODCALLTYPE remove_FrameArrived(EventRegistrationToken token) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateCaptureSession(IGraphicsCaptureItem* item,
                                                           IGraphicsCaptureSession** result) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_DispatcherQueue(IInspectable** value) = 0;
};

struct IDirect3D11CaptureFramePoolStatics2 : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE CreateFreeThreaded(IDirect3DDevice* device, DirectXPixelFormat format,
                                                         INT32 buffers, SizeInt32 size,
                                                         IDirect3D11CaptureFramePool** result) = 0;
};

// d3d11.dll's bridge from a DXGI device to the Windows Runtime device; looked up
// at run time (not every d3d11.dll has it).
using CreateDirect3D11DeviceFromDXGIDeviceFn = HRESULT(WINAPI*)(IDXGIDevice* dxgiDevice, IInspectable** device);

constexpr GUID IID_IClosable{0x30d5a829, 0x7fa4, 0x4026, {0x83, 0xbb, 0xd7, 0x5b, 0xae, 0x4e, 0xa9, 0x9e}};
constexpr GUID IID_IDirect3DDevice{0xa37624ab, 0x8d5f, 0x4650, {0x9d, 0x3e, 0x9e, 0xae, 0x3d, 0x9b, 0xc6, 0x70}};
constexpr GUID IID_IDirect3DDxgiInterfaceAccess{
    0xa9b3d012, 0x3df2, 0x4ee3, {0xb8, 0xd1, 0x86, 0x95, 0xf4, 0x57, 0xd3, 0xc1}};
constexpr GUID IID_IGraphicsCaptureItem{0x79c3f95b, 0x31f7, 0x4ec2, {0xa4, 0x64, 0x63, 0x2e, 0xf5, 0xd3, 0x07, 0x60}};
constexpr GUID IID_IGraphicsCaptureItemInterop{
    0x3628e81b, 0x3cac, 0x4c60, {0xb7, 0xf4, 0x23, 0xce, 0x0e, 0x0c, 0x33, 0x56}};
constexpr GUID IID_IDirect3D11CaptureFrame{
    0xfa50c623, 0x38da, 0x4b32, {0xac, 0xf3, 0xfa, 0x97, 0x34, 0xad, 0x80, 0x0e}};
constexpr GUID IID_IDirect3D11CaptureFramePool{
    0x24eb6d22, 0x1975, 0x422e, {0x82, 0xe7, 0x78, 0x0d, 0xbd, 0x8d, 0xdf, 0x24}};
constexpr GUID IID_IDirect3D11CaptureFramePoolStatics2{
    0x589b103f, 0x6bbc, 0x5df5, {0xa9, 0x91, 0x02, 0xe2, 0x8b, 0x3b, 0x66, 0xd5}};
constexpr GUID IID_IGraphicsCaptureSession{
    0x814e42a9, 0xf70f, 0x4ad7, {0x93, 0x9b, 0xfd, 0xdc, 0xc6, 0xeb, 0x88, 0x0d}};
constexpr GUID IID_IGraphicsCaptureSession2{
    0x2c39ae40, 0x7d2e, 0x5044, {0x80, 0x4e, 0x8b, 0x67, 0x99, 0xd4, 0xcf, 0x9e}};
constexpr GUID IID_IGraphicsCaptureSession3{
    0xf2cdd966, 0x22ae, 0x5ea1, {0x95, 0x96, 0x3a, 0x28, 0x93, 0x44, 0xc3, 0xbe}};
constexpr GUID IID_IGraphicsCaptureSessionStatics{
    0x2224a540, 0x5974, 0x49aa, {0xb2, 0x32, 0x08, 0x82, 0x53, 0x6f, 0x4c, 0xb5}};
// Parameterised interfaces: the IIDs derive from their type signatures (see the tests).
constexpr GUID IID_IFrameArrivedHandler{0x51a947f7, 0x79cf, 0x5a3e, {0xa3, 0xa5, 0x12, 0x89, 0xcf, 0xa6, 0xdf, 0xe8}};
constexpr GUID IID_IItemClosedHandler{0xe9c610c0, 0xa68c, 0x5bd9, {0x80, 0x21, 0x85, 0x89, 0x34, 0x6e, 0xee, 0xe2}};
constexpr GUID IID_IAgileObject{0x94ea2b94, 0xe9cc, 0x49e0, {0xc0, 0xff, 0xee, 0x64, 0xca, 0x8f, 0x5b, 0x90}};

constexpr wchar_t GraphicsCaptureSessionClass[] = L"Windows.Graphics.Capture.GraphicsCaptureSession";
constexpr wchar_t GraphicsCaptureItemClass[] = L"Windows.Graphics.Capture.GraphicsCaptureItem";
constexpr wchar_t Direct3D11CaptureFramePoolClass[] = L"Windows.Graphics.Capture.Direct3D11CaptureFramePool";

}  // namespace quillane::host::wgc
