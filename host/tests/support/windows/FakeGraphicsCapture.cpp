#include "FakeGraphicsCapture.h"

#include <algorithm>

using Microsoft::WRL::ComPtr;

namespace quillane::host::test {
namespace {

constexpr HRESULT kClosed = static_cast<HRESULT>(0x80000013);  // RO_E_CLOSED: used after Close

// Takes over a new object's first reference; MinGW's ComPtr::Attach would add another.
template <class T> ComPtr<T> adopt(T* fresh) {
    ComPtr<T> held;
    *held.GetAddressOf() = fresh;
    return held;
}

// References to `handler` besides the one given.
template <class T> ULONG otherReferences(T* handler) {
    handler->AddRef();
    return handler->Release() - 1;
}

bool is(REFIID iid, const GUID& wanted) { return IsEqualGUID(iid, wanted) != 0; }

// The surface of one frame: the pool's buffer texture.
class FakeSurface final : public FakeObject<wgc::IClosable, wgc::IDirect3DDxgiInterfaceAccess> {
public:
    explicit FakeSurface(ComPtr<ID3D11Texture2D> t) : texture(std::move(t)) {}
    HRESULT STDMETHODCALLTYPE Close() override {
        closed = true;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetInterface(REFIID iid, void** object) override {
        if (closed) return kClosed;
        return texture->QueryInterface(iid, object);
    }

private:
    void* facet(REFIID iid) override {
        if (is(iid, __uuidof(IUnknown)) || is(iid, __uuidof(IInspectable)) || is(iid, wgc::IID_IClosable))
            return static_cast<wgc::IClosable*>(this);
        if (is(iid, wgc::IID_IDirect3DDxgiInterfaceAccess)) return static_cast<wgc::IDirect3DDxgiInterfaceAccess*>(this);
        return nullptr;
    }
    ComPtr<ID3D11Texture2D> texture;
    std::atomic<bool> closed{false};
};

// One captured frame; its buffer goes back to the pool when it is closed or released.
class FakeFrame final : public FakeObject<wgc::IDirect3D11CaptureFrame, wgc::IClosable> {
public:
    FakeFrame(ComPtr<FakeFramePool> p, std::uint64_t g, int b, ComPtr<ID3D11Texture2D> texture,
              wgc::SizeInt32 content)
        : pool(std::move(p)), generation(g), buffer(b), content(content) {
        surface = adopt(new FakeSurface(std::move(texture)));
    }
    ~FakeFrame() override { giveBack(); }
    HRESULT STDMETHODCALLTYPE get_Surface(IInspectable** value) override {
        if (closed) return kClosed;
        return surface->QueryInterface(__uuidof(IInspectable), reinterpret_cast<void**>(value));
    }
    HRESULT STDMETHODCALLTYPE get_SystemRelativeTime(INT64* value) override {
        *value = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_ContentSize(wgc::SizeInt32* value) override {
        if (closed) return kClosed;
        *value = content;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Close() override {
        closed = true;
        surface->Close();
        giveBack();
        return S_OK;
    }

private:
    void* facet(REFIID iid) override {
        if (is(iid, __uuidof(IUnknown)) || is(iid, __uuidof(IInspectable)) || is(iid, wgc::IID_IDirect3D11CaptureFrame))
            return static_cast<wgc::IDirect3D11CaptureFrame*>(this);
        if (is(iid, wgc::IID_IClosable)) return static_cast<wgc::IClosable*>(this);
        return nullptr;
    }
    void giveBack() {
        if (!givenBack.exchange(true)) pool->giveBack(generation, buffer);
    }
    ComPtr<FakeFramePool> pool;
    const std::uint64_t generation;
    const int buffer;
    const wgc::SizeInt32 content;
    ComPtr<FakeSurface> surface;
    std::atomic<bool> closed{false};
    std::atomic<bool> givenBack{false};
};

class FakeSessionStatics final : public FakeObject<wgc::IGraphicsCaptureSessionStatics> {
public:
    explicit FakeSessionStatics(FakeGraphicsCaptureRuntime& r) : runtime(r) {}
    HRESULT STDMETHODCALLTYPE IsSupported(boolean* result) override {
        *result = runtime.supported;
        return S_OK;
    }

private:
    void* facet(REFIID iid) override {
        if (is(iid, __uuidof(IUnknown)) || is(iid, __uuidof(IInspectable)) ||
            is(iid, wgc::IID_IGraphicsCaptureSessionStatics))
            return static_cast<wgc::IGraphicsCaptureSessionStatics*>(this);
        return nullptr;
    }
    FakeGraphicsCaptureRuntime& runtime;
};

// GraphicsCaptureItem's activation factory with its interop interface.
class FakeItemFactory final : public FakeObject<IActivationFactory, wgc::IGraphicsCaptureItemInterop> {
public:
    explicit FakeItemFactory(FakeGraphicsCaptureRuntime& r) : runtime(r) {}
    HRESULT STDMETHODCALLTYPE ActivateInstance(IInspectable**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CreateForWindow(HWND window, REFIID iid, void** result) override {
        *result = nullptr;
        RECT client{};
        if (!IsWindow(window) || !GetClientRect(window, &client)) return E_INVALIDARG;
        auto* item = new FakeCaptureItem(runtime, window, {client.right - client.left, client.bottom - client.top});
        runtime.madeItem(item);
        const HRESULT hr = item->QueryInterface(iid, result);
        item->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE CreateForMonitor(HMONITOR, REFIID, void** result) override {
        *result = nullptr;
        return E_NOTIMPL;
    }

private:
    void* facet(REFIID iid) override {
        if (is(iid, __uuidof(IUnknown)) || is(iid, __uuidof(IInspectable)) || is(iid, __uuidof(IActivationFactory)))
            return static_cast<IActivationFactory*>(this);
        if (is(iid, wgc::IID_IGraphicsCaptureItemInterop)) return static_cast<wgc::IGraphicsCaptureItemInterop*>(this);
        return nullptr;
    }
    FakeGraphicsCaptureRuntime& runtime;
};

class FakePoolStatics final : public FakeObject<wgc::IDirect3D11CaptureFramePoolStatics2> {
public:
    explicit FakePoolStatics(FakeGraphicsCaptureRuntime& r) : runtime(r) {}
    HRESULT STDMETHODCALLTYPE CreateFreeThreaded(wgc::IDirect3DDevice* device, wgc::DirectXPixelFormat format,
                                                 INT32 buffers, wgc::SizeInt32 size,
                                                 wgc::IDirect3D11CaptureFramePool** result) override {
        *result = nullptr;
        ComPtr<FakeDirect3DDevice> fake;
        for (const auto& d : runtime.devices())
            if (static_cast<wgc::IDirect3DDevice*>(d.Get()) == device) fake = d;
        if (!fake) return E_INVALIDARG;  // not a device of this system
        auto* pool = new FakeFramePool(runtime, fake);
        const HRESULT hr = pool->create(format, buffers, size);
        if (FAILED(hr)) {
            pool->Release();
            return hr;
        }
        runtime.madePool(pool);
        *result = pool;
        return S_OK;
    }

private:
    void* facet(REFIID iid) override {
        if (is(iid, __uuidof(IUnknown)) || is(iid, __uuidof(IInspectable)) ||
            is(iid, wgc::IID_IDirect3D11CaptureFramePoolStatics2))
            return static_cast<wgc::IDirect3D11CaptureFramePoolStatics2*>(this);
        return nullptr;
    }
    FakeGraphicsCaptureRuntime& runtime;
};

}  // namespace

std::atomic<int>& captureFakeCounter() {
    static std::atomic<int> count{0};
    return count;
}

std::uint32_t fakeFramePixel(std::uint32_t x, std::uint32_t y, std::uint32_t serial) {
    const std::uint32_t blue = (x * 3) & 0xFF, green = (y * 5) & 0xFF, red = (serial * 40 + 20) & 0xFF;
    return 0xFF000000u | (red << 16) | (green << 8) | blue;
}

// ---- SystemThread ----------------------------------------------------------

SystemThread::SystemThread()
    : thread([this] {
          threadId.store(GetCurrentThreadId());
          std::unique_lock lock(mutex);
          for (;;) {
              changed.wait(lock, [this] { return stopping || !tasks.empty(); });
              if (tasks.empty()) return;
              auto task = std::move(tasks.front());
              tasks.pop_front();
              running = true;
              lock.unlock();
              task();
              task = nullptr;  // what it held goes before anyone sees the thread idle
              lock.lock();
              running = false;
              changed.notify_all();
          }
      }) {}

SystemThread::~SystemThread() {
    {
        std::lock_guard lock(mutex);
        stopping = true;
    }
    changed.notify_all();
    thread.join();
}

void SystemThread::post(std::function<void()> task) {
    {
        std::lock_guard lock(mutex);
        tasks.push_back(std::move(task));
    }
    changed.notify_all();
}

void SystemThread::waitIdle() {
    std::unique_lock lock(mutex);
    changed.wait(lock, [this] { return tasks.empty() && !running; });
}

// ---- the device, item and session ------------------------------------------

void* FakeDirect3DDevice::facet(REFIID iid) {
    if (is(iid, __uuidof(IUnknown)) || is(iid, __uuidof(IInspectable)) || is(iid, wgc::IID_IDirect3DDevice))
        return static_cast<wgc::IDirect3DDevice*>(this);
    if (is(iid, wgc::IID_IDirect3DDxgiInterfaceAccess)) return static_cast<wgc::IDirect3DDxgiInterfaceAccess*>(this);
    return nullptr;
}

void* FakeCaptureItem::facet(REFIID iid) {
    if (is(iid, __uuidof(IUnknown)) || is(iid, __uuidof(IInspectable)) || is(iid, wgc::IID_IGraphicsCaptureItem))
        return static_cast<wgc::IGraphicsCaptureItem*>(this);
    return nullptr;
}

HRESULT FakeCaptureItem::get_Size(wgc::SizeInt32* value) {
    std::lock_guard lock(mutex);
    *value = size;
    return S_OK;
}

HRESULT FakeCaptureItem::add_Closed(wgc::IItemClosedHandler* handler, EventRegistrationToken* token) {
    if (!handler) return E_INVALIDARG;
    std::lock_guard lock(mutex);
    token->value = nextToken++;
    handlers[token->value] = handler;
    return S_OK;
}

HRESULT FakeCaptureItem::remove_Closed(EventRegistrationToken token) {
    std::lock_guard lock(mutex);
    auto it = handlers.find(token.value);
    if (it == handlers.end()) return S_OK;  // an unknown token is no error
    keptHandlers.push_back(otherReferences(it->second.Get()));
    handlers.erase(it);
    return S_OK;
}

void FakeCaptureItem::closeWindow() {
    ComPtr<FakeCaptureItem> self(this);
    runtime.systemThread().post([self] {
        std::vector<ComPtr<wgc::IItemClosedHandler>> listeners;
        {
            std::lock_guard lock(self->mutex);
            for (const auto& [token, handler] : self->handlers) listeners.push_back(handler);
        }
        for (const auto& handler : listeners) handler->Invoke(self.Get(), nullptr);
    });
}

void FakeCaptureItem::resize(wgc::SizeInt32 newSize) {
    std::lock_guard lock(mutex);
    size = newSize;
}

std::vector<ULONG> FakeCaptureItem::handlerReferencesAtRemoval() {
    std::lock_guard lock(mutex);
    return keptHandlers;
}

std::size_t FakeCaptureItem::closedHandlers() {
    std::lock_guard lock(mutex);
    return handlers.size();
}

FakeCaptureSession::FakeCaptureSession(FakeFramePool& p, bool cursor, bool border, HRESULT start)
    : pool(&p), offersCursor(cursor), offersBorder(border), startResult(start) {}

FakeCaptureSession::~FakeCaptureSession() = default;

void* FakeCaptureSession::facet(REFIID iid) {
    if (is(iid, __uuidof(IUnknown)) || is(iid, __uuidof(IInspectable)) || is(iid, wgc::IID_IGraphicsCaptureSession))
        return static_cast<wgc::IGraphicsCaptureSession*>(this);
    if (is(iid, wgc::IID_IClosable)) return static_cast<wgc::IClosable*>(this);
    if (offersCursor && is(iid, wgc::IID_IGraphicsCaptureSession2))
        return static_cast<wgc::IGraphicsCaptureSession2*>(this);
    if (offersBorder && is(iid, wgc::IID_IGraphicsCaptureSession3))
        return static_cast<wgc::IGraphicsCaptureSession3*>(this);
    return nullptr;
}

HRESULT FakeCaptureSession::StartCapture() {
    if (closed) return kClosed;
    if (FAILED(startResult)) return startResult;
    started = true;
    pool->sessionStarted();
    return S_OK;
}

HRESULT FakeCaptureSession::Close() {
    closed = true;
    return S_OK;
}

HRESULT FakeCaptureSession::get_IsCursorCaptureEnabled(boolean* value) {
    *value = cursorEnabled.load() != 0;
    return S_OK;
}

HRESULT FakeCaptureSession::put_IsCursorCaptureEnabled(boolean value) {
    cursorEnabled = value ? 1 : 0;
    return S_OK;
}

HRESULT FakeCaptureSession::get_IsBorderRequired(boolean* value) {
    *value = borderRequired.load() != 0;
    return S_OK;
}

HRESULT FakeCaptureSession::put_IsBorderRequired(boolean value) {
    borderRequired = value ? 1 : 0;
    return S_OK;
}

// ---- the frame pool ----------------------------------------------------------

FakeFramePool::FakeFramePool(FakeGraphicsCaptureRuntime& r, ComPtr<FakeDirect3DDevice> d)
    : runtime(r), device(std::move(d)) {}

FakeFramePool::~FakeFramePool() = default;

void* FakeFramePool::facet(REFIID iid) {
    if (is(iid, __uuidof(IUnknown)) || is(iid, __uuidof(IInspectable)) || is(iid, wgc::IID_IDirect3D11CaptureFramePool))
        return static_cast<wgc::IDirect3D11CaptureFramePool*>(this);
    if (is(iid, wgc::IID_IClosable)) return static_cast<wgc::IClosable*>(this);
    return nullptr;
}

HRESULT FakeFramePool::makeBuffers(wgc::DirectXPixelFormat format, INT32 count, wgc::SizeInt32 size) {
    if (format != wgc::B8G8R8A8UIntNormalized || count < 1 || size.Width <= 0 || size.Height <= 0)
        return E_INVALIDARG;
    D3D11_TEXTURE2D_DESC desc{};
    desc.Width = static_cast<UINT>(size.Width);
    desc.Height = static_cast<UINT>(size.Height);
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    desc.SampleDesc.Count = 1;
    desc.Usage = D3D11_USAGE_DEFAULT;
    desc.BindFlags = D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_RENDER_TARGET;
    std::vector<Buffer> made(static_cast<std::size_t>(count));
    for (auto& b : made) {
        const HRESULT hr = device->d3d()->CreateTexture2D(&desc, nullptr, &b.texture);
        if (FAILED(hr)) return hr;
    }
    buffers = std::move(made);
    ++generation;  // frames of the old buffers give nothing back
    ready.clear();
    poolSize = size;
    sizeHistory.push_back(size);
    return S_OK;
}

HRESULT FakeFramePool::create(wgc::DirectXPixelFormat format, INT32 count, wgc::SizeInt32 size) {
    std::lock_guard lock(mutex);
    return makeBuffers(format, count, size);
}

HRESULT FakeFramePool::Recreate(wgc::IDirect3DDevice* d, wgc::DirectXPixelFormat format, INT32 count,
                                wgc::SizeInt32 size) {
    if (closed) return kClosed;
    if (d != static_cast<wgc::IDirect3DDevice*>(device.Get())) return E_INVALIDARG;
    std::lock_guard lock(mutex);
    return makeBuffers(format, count, size);
}

HRESULT FakeFramePool::TryGetNextFrame(wgc::IDirect3D11CaptureFrame** result) {
    *result = nullptr;
    if (closed) return kClosed;
    std::lock_guard lock(mutex);
    if (ready.empty()) return S_OK;  // no frame: null, and no error
    const Ready next = ready.front();
    ready.pop_front();
    *result = new FakeFrame(this, generation, next.buffer, buffers[static_cast<std::size_t>(next.buffer)].texture,
                            next.content);
    return S_OK;
}

HRESULT FakeFramePool::add_FrameArrived(wgc::IFrameArrivedHandler* handler, EventRegistrationToken* token) {
    if (!handler) return E_INVALIDARG;
    std::lock_guard lock(mutex);
    token->value = nextToken++;
    handlers[token->value] = handler;
    return S_OK;
}

HRESULT FakeFramePool::remove_FrameArrived(EventRegistrationToken token) {
    std::lock_guard lock(mutex);
    auto it = handlers.find(token.value);
    if (it == handlers.end()) return S_OK;
    keptHandlers.push_back(otherReferences(it->second.Get()));
    handlers.erase(it);
    return S_OK;
}

HRESULT FakeFramePool::CreateCaptureSession(wgc::IGraphicsCaptureItem* item, wgc::IGraphicsCaptureSession** result) {
    *result = nullptr;
    if (closed) return kClosed;
    if (!item) return E_INVALIDARG;
    auto* session = new FakeCaptureSession(*this, runtime.offersCursor, runtime.offersBorder, runtime.startCaptureResult);
    runtime.madeSession(session);
    *result = session;
    return S_OK;
}

HRESULT FakeFramePool::get_DispatcherQueue(IInspectable** value) {
    *value = nullptr;  // free-threaded: no dispatcher queue
    return S_OK;
}

HRESULT FakeFramePool::Close() {
    closed = true;
    std::lock_guard lock(mutex);
    ready.clear();
    buffers.clear();
    ++generation;
    return S_OK;
}

void FakeFramePool::giveBack(std::uint64_t frameGeneration, int buffer) {
    std::lock_guard lock(mutex);
    if (frameGeneration == generation && buffer < static_cast<int>(buffers.size()))
        buffers[static_cast<std::size_t>(buffer)].inUse = false;
}

void FakeFramePool::deliver(wgc::SizeInt32 content) {
    ComPtr<FakeFramePool> self(this);
    runtime.systemThread().post([self, content] { self->raise(content); });
}

void FakeFramePool::raise(wgc::SizeInt32 content) {
    std::vector<ComPtr<wgc::IFrameArrivedHandler>> listeners;
    {
        std::lock_guard lock(mutex);
        if (!started || closed) return;
        auto free = std::find_if(buffers.begin(), buffers.end(), [](const Buffer& b) { return !b.inUse; });
        if (free == buffers.end()) return;  // every buffer still held: the frame is lost
        free->inUse = true;
        const std::uint32_t frameSerial = ++serial;
        // The window's picture, clipped to the buffer.
        const std::uint32_t w = static_cast<std::uint32_t>(std::min(content.Width, poolSize.Width));
        const std::uint32_t h = static_cast<std::uint32_t>(std::min(content.Height, poolSize.Height));
        std::vector<std::uint32_t> pixels(std::size_t{w} * h);
        for (std::uint32_t y = 0; y < h; ++y)
            for (std::uint32_t x = 0; x < w; ++x) pixels[std::size_t{y} * w + x] = fakeFramePixel(x, y, frameSerial);
        const D3D11_BOX box{0, 0, 0, w, h, 1};
        ComPtr<ID3D11DeviceContext> context;
        device->d3d()->GetImmediateContext(&context);
        context->UpdateSubresource(free->texture.Get(), 0, &box, pixels.data(), w * 4, 0);
        ready.push_back({static_cast<int>(free - buffers.begin()), content, frameSerial});
        for (const auto& [token, handler] : handlers) listeners.push_back(handler);
    }
    ++raised;
    for (const auto& handler : listeners) handler->Invoke(this, nullptr);
}

std::vector<ULONG> FakeFramePool::handlerReferencesAtRemoval() {
    std::lock_guard lock(mutex);
    return keptHandlers;
}

std::size_t FakeFramePool::frameArrivedHandlers() {
    std::lock_guard lock(mutex);
    return handlers.size();
}

std::vector<wgc::SizeInt32> FakeFramePool::sizes() {
    std::lock_guard lock(mutex);
    return sizeHistory;
}

int FakeFramePool::buffersInUse() {
    std::lock_guard lock(mutex);
    return static_cast<int>(std::count_if(buffers.begin(), buffers.end(), [](const Buffer& b) { return b.inUse; }));
}

// ---- the runtime -------------------------------------------------------------

FakeGraphicsCaptureRuntime::FakeGraphicsCaptureRuntime() {
    sessionStatics = adopt<IInspectable>(static_cast<wgc::IGraphicsCaptureSessionStatics*>(new FakeSessionStatics(*this)));
    itemFactory = adopt<IInspectable>(static_cast<IActivationFactory*>(new FakeItemFactory(*this)));
    poolStatics = adopt<IInspectable>(static_cast<wgc::IDirect3D11CaptureFramePoolStatics2*>(new FakePoolStatics(*this)));
}

FakeGraphicsCaptureRuntime::~FakeGraphicsCaptureRuntime() {
    events.waitIdle();
    forget();
}

HRESULT FakeGraphicsCaptureRuntime::activationFactory(const wchar_t* className, REFIID iid, void** factory) {
    *factory = nullptr;
    const std::wstring name = className;
    if (name == wgc::GraphicsCaptureSessionClass) return sessionStatics->QueryInterface(iid, factory);
    if (name == wgc::GraphicsCaptureItemClass) return itemFactory->QueryInterface(iid, factory);
    if (name == wgc::Direct3D11CaptureFramePoolClass) return poolStatics->QueryInterface(iid, factory);
    return REGDB_E_CLASSNOTREG;
}

HRESULT FakeGraphicsCaptureRuntime::createDirect3DDevice(IDXGIDevice* dxgi, IInspectable** result) {
    *result = nullptr;
    ComPtr<ID3D11Device> d3d;
    if (!dxgi || FAILED(dxgi->QueryInterface(__uuidof(ID3D11Device), reinterpret_cast<void**>(d3d.GetAddressOf()))))
        return E_INVALIDARG;
    auto device = adopt(new FakeDirect3DDevice(d3d));
    {
        std::lock_guard lock(mutex);
        madeDevices.push_back(device);
    }
    *result = static_cast<wgc::IDirect3DDevice*>(device.Detach());
    return S_OK;
}

void FakeGraphicsCaptureRuntime::madeItem(FakeCaptureItem* item) {
    std::lock_guard lock(mutex);
    madeItems.emplace_back(item);
}

void FakeGraphicsCaptureRuntime::madePool(FakeFramePool* pool) {
    std::lock_guard lock(mutex);
    madePools.emplace_back(pool);
}

void FakeGraphicsCaptureRuntime::madeSession(FakeCaptureSession* session) {
    std::lock_guard lock(mutex);
    madeSessions.emplace_back(session);
}

std::vector<ComPtr<FakeCaptureItem>> FakeGraphicsCaptureRuntime::items() {
    std::lock_guard lock(mutex);
    return madeItems;
}

std::vector<ComPtr<FakeFramePool>> FakeGraphicsCaptureRuntime::pools() {
    std::lock_guard lock(mutex);
    return madePools;
}

std::vector<ComPtr<FakeCaptureSession>> FakeGraphicsCaptureRuntime::sessions() {
    std::lock_guard lock(mutex);
    return madeSessions;
}

std::vector<ComPtr<FakeDirect3DDevice>> FakeGraphicsCaptureRuntime::devices() {
    std::lock_guard lock(mutex);
    return madeDevices;
}

void FakeGraphicsCaptureRuntime::forget() {
    std::lock_guard lock(mutex);
    madeItems.clear();
    madePools.clear();
    madeSessions.clear();
    madeDevices.clear();
}

}  // namespace quillane::host::test
