#pragma once

// Windows.Graphics.Capture for the tests, written from its documented behaviour:
// a capture item per window with a Closed event, free-threaded frame pools whose
// buffers are Direct3D 11 textures of the pool's size, a FrameArrived event
// raised on a system thread, frames that give their buffer back when closed or
// released, sessions that offer the optional setting interfaces or not, and
// counted references throughout.

#include "capture/windows/GraphicsCaptureApi.h"
#include "capture/windows/GraphicsCaptureRuntime.h"

#include <activation.h>
#include <d3d11.h>
#include <wrl/client.h>

#include "FakeComObject.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace quillane::host::test {

// Fake capture objects alive in the process.
std::atomic<int>& captureFakeCounter();
inline int liveCaptureFakes() { return captureFakeCounter().load(); }

// The pixel a fake frame shows at (x, y): a gradient that differs per frame
// serial, opaque. As a little-endian word 0xAARRGGBB.
std::uint32_t fakeFramePixel(std::uint32_t x, std::uint32_t y, std::uint32_t serial);

// The thread on which the fake system raises its events, one after the other.
class SystemThread {
public:
    SystemThread();
    ~SystemThread();
    void post(std::function<void()> task);
    // Returns once every task posted so far has run.
    void waitIdle();
    DWORD id() const { return threadId.load(); }

private:
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::function<void()>> tasks;
    bool running = false;  // a task is executing
    bool stopping = false;
    std::atomic<DWORD> threadId{0};
    std::thread thread;
};

// A fake Windows Runtime object: COM counting and lookup, the inspectable
// methods, and a place in the count of live fakes.
template <class... Interfaces>
class FakeObject : public FakeComObject<Interfaces...> {
public:
    FakeObject() { ++captureFakeCounter(); }
    ~FakeObject() override { --captureFakeCounter(); }

    HRESULT STDMETHODCALLTYPE GetIids(ULONG*, IID**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetRuntimeClassName(HSTRING*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTrustLevel(TrustLevel* level) override {
        *level = BaseTrust;
        return S_OK;
    }
};

class FakeGraphicsCaptureRuntime;

// The Windows Runtime device wrapping a Direct3D 11 device.
class FakeDirect3DDevice final : public FakeObject<wgc::IDirect3DDevice, wgc::IDirect3DDxgiInterfaceAccess> {
public:
    explicit FakeDirect3DDevice(Microsoft::WRL::ComPtr<ID3D11Device> d) : device(std::move(d)) {}
    HRESULT STDMETHODCALLTYPE Trim() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetInterface(REFIID iid, void** object) override {
        return device->QueryInterface(iid, object);
    }
    ID3D11Device* d3d() const { return device.Get(); }

private:
    void* facet(REFIID iid) override;
    Microsoft::WRL::ComPtr<ID3D11Device> device;
};

class FakeFramePool;

// The window's capture item: its size and the Closed event.
class FakeCaptureItem final : public FakeObject<wgc::IGraphicsCaptureItem> {
public:
    FakeCaptureItem(FakeGraphicsCaptureRuntime& runtime, HWND window, wgc::SizeInt32 size)
        : runtime(runtime), window(window), size(size) {}

    HRESULT STDMETHODCALLTYPE get_DisplayName(HSTRING*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_Size(wgc::SizeInt32* value) override;
    HRESULT STDMETHODCALLTYPE add_Closed(wgc::IItemClosedHandler* handler, EventRegistrationToken* token) override;
    HRESULT STDMETHODCALLTYPE remove_Closed(EventRegistrationToken token) override;

    // The window went away: Closed is raised on the system thread.
    void closeWindow();
    void resize(wgc::SizeInt32 newSize);
    std::size_t closedHandlers();
    // For each handler removed: the references to it that others held then.
    std::vector<ULONG> handlerReferencesAtRemoval();
    HWND hwnd() const { return window; }

private:
    void* facet(REFIID iid) override;
    FakeGraphicsCaptureRuntime& runtime;
    const HWND window;
    std::mutex mutex;
    wgc::SizeInt32 size;
    std::int64_t nextToken = 1;
    std::map<std::int64_t, Microsoft::WRL::ComPtr<wgc::IItemClosedHandler>> handlers;
    std::vector<ULONG> keptHandlers;
};

// A capture session; offers IGraphicsCaptureSession2 and 3 as the build would.
class FakeCaptureSession final : public FakeObject<wgc::IGraphicsCaptureSession, wgc::IClosable,
                                                   wgc::IGraphicsCaptureSession2, wgc::IGraphicsCaptureSession3> {
public:
    FakeCaptureSession(FakeFramePool& pool, bool offersCursor, bool offersBorder, HRESULT startResult);
    ~FakeCaptureSession() override;

    HRESULT STDMETHODCALLTYPE StartCapture() override;
    HRESULT STDMETHODCALLTYPE Close() override;
    HRESULT STDMETHODCALLTYPE get_IsCursorCaptureEnabled(boolean* value) override;
    HRESULT STDMETHODCALLTYPE put_IsCursorCaptureEnabled(boolean value) override;
    HRESULT STDMETHODCALLTYPE get_IsBorderRequired(boolean* value) override;
    HRESULT STDMETHODCALLTYPE put_IsBorderRequired(boolean value) override;

    std::atomic<bool> started{false};
    std::atomic<bool> closed{false};
    std::atomic<int> cursorEnabled{-1};  // the last value set; -1 when never set
    std::atomic<int> borderRequired{-1};

private:
    void* facet(REFIID iid) override;
    Microsoft::WRL::ComPtr<FakeFramePool> pool;  // as the system's sessions hold theirs
    const bool offersCursor;
    const bool offersBorder;
    const HRESULT startResult;
};

// A free-threaded frame pool: buffers of its size, FrameArrived on the system thread.
class FakeFramePool final : public FakeObject<wgc::IDirect3D11CaptureFramePool, wgc::IClosable> {
public:
    FakeFramePool(FakeGraphicsCaptureRuntime& runtime, Microsoft::WRL::ComPtr<FakeDirect3DDevice> device);
    ~FakeFramePool() override;

    // Makes the buffers; a failure code for arguments the system refuses.
    HRESULT create(wgc::DirectXPixelFormat format, INT32 buffers, wgc::SizeInt32 size);

    HRESULT STDMETHODCALLTYPE Recreate(wgc::IDirect3DDevice* device, wgc::DirectXPixelFormat format, INT32 buffers,
                                       wgc::SizeInt32 size) override;
    HRESULT STDMETHODCALLTYPE TryGetNextFrame(wgc::IDirect3D11CaptureFrame** result) override;
    HRESULT STDMETHODCALLTYPE add_FrameArrived(wgc::IFrameArrivedHandler* handler,
                                               EventRegistrationToken* token) override;
    HRESULT STDMETHODCALLTYPE remove_FrameArrived(EventRegistrationToken token) override;
    HRESULT STDMETHODCALLTYPE CreateCaptureSession(wgc::IGraphicsCaptureItem* item,
                                                   wgc::IGraphicsCaptureSession** result) override;
    HRESULT STDMETHODCALLTYPE get_DispatcherQueue(IInspectable** value) override;
    HRESULT STDMETHODCALLTYPE Close() override;

    // The window's content at `content` size is drawn into a free buffer (clipped
    // to the pool's size) and FrameArrived raised, on the system thread; nothing
    // when the session has not started, the pool is closed or no buffer is free.
    void deliver(wgc::SizeInt32 content);

    // A frame gives its buffer back (closed or released).
    void giveBack(std::uint64_t generation, int buffer);

    std::size_t frameArrivedHandlers();
    // For each handler removed: the references to it that others held then.
    std::vector<ULONG> handlerReferencesAtRemoval();
    std::vector<wgc::SizeInt32> sizes();  // at creation, then at each Recreate
    int framesRaised() const { return raised.load(); }
    int buffersInUse();
    bool isClosed() const { return closed.load(); }
    void sessionStarted() { started.store(true); }

private:
    struct Buffer {
        Microsoft::WRL::ComPtr<ID3D11Texture2D> texture;
        bool inUse = false;
    };
    struct Ready {
        int buffer;
        wgc::SizeInt32 content;
        std::uint32_t serial;
    };
    void* facet(REFIID iid) override;
    void raise(wgc::SizeInt32 content);
    HRESULT makeBuffers(wgc::DirectXPixelFormat format, INT32 count, wgc::SizeInt32 size);

    FakeGraphicsCaptureRuntime& runtime;
    Microsoft::WRL::ComPtr<FakeDirect3DDevice> device;
    std::mutex mutex;
    std::vector<Buffer> buffers;
    std::uint64_t generation = 0;
    wgc::SizeInt32 poolSize{};
    std::vector<wgc::SizeInt32> sizeHistory;
    std::deque<Ready> ready;
    std::int64_t nextToken = 1;
    std::map<std::int64_t, Microsoft::WRL::ComPtr<wgc::IFrameArrivedHandler>> handlers;
    std::vector<ULONG> keptHandlers;
    std::uint32_t serial = 0;
    std::atomic<int> raised{0};
    std::atomic<bool> started{false};
    std::atomic<bool> closed{false};
};

// What the tests hand a WindowCapture: the three activation factories, the
// device bridge and a Windows 10 build, with every object it made kept for
// inspection until forget().
//
// Threads: the capture calls in from the test's and the orchestrator's threads,
// events come on systemThread(); every fake guards its own state, and none
// holds a lock while it raises an event, so handlers may call back in.
class FakeGraphicsCaptureRuntime final : public GraphicsCaptureRuntime {
public:
    FakeGraphicsCaptureRuntime();
    ~FakeGraphicsCaptureRuntime() override;

    // Knobs, set before the capture starts.
    std::uint32_t build = 19045;
    bool supported = true;
    bool offersCursor = true;  // IGraphicsCaptureSession2, from build 19041
    bool offersBorder = true;  // IGraphicsCaptureSession3, from build 20348
    HRESULT startCaptureResult = S_OK;  // what the sessions' StartCapture answers

    HRESULT activationFactory(const wchar_t* className, REFIID iid, void** factory) override;
    HRESULT createDirect3DDevice(IDXGIDevice* device, IInspectable** result) override;
    std::uint32_t buildNumber() override { return build; }

    // What the capture made, in order.
    std::vector<Microsoft::WRL::ComPtr<FakeCaptureItem>> items();
    std::vector<Microsoft::WRL::ComPtr<FakeFramePool>> pools();
    std::vector<Microsoft::WRL::ComPtr<FakeCaptureSession>> sessions();
    std::vector<Microsoft::WRL::ComPtr<FakeDirect3DDevice>> devices();
    // Drops the runtime's own references to what the capture made.
    void forget();

    SystemThread& systemThread() { return events; }

    // Used by the fake objects.
    void madeItem(FakeCaptureItem* item);
    void madePool(FakeFramePool* pool);
    void madeSession(FakeCaptureSession* session);

private:
    std::mutex mutex;
    std::vector<Microsoft::WRL::ComPtr<FakeCaptureItem>> madeItems;
    std::vector<Microsoft::WRL::ComPtr<FakeFramePool>> madePools;
    std::vector<Microsoft::WRL::ComPtr<FakeCaptureSession>> madeSessions;
    std::vector<Microsoft::WRL::ComPtr<FakeDirect3DDevice>> madeDevices;
    Microsoft::WRL::ComPtr<IInspectable> sessionStatics;
    Microsoft::WRL::ComPtr<IInspectable> itemFactory;
    Microsoft::WRL::ComPtr<IInspectable> poolStatics;
    SystemThread events;
};

}  // namespace quillane::host::test
