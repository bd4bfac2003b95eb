#pragma once

// A sound system for the tests, behind the multimedia device interfaces: an enumerator whose
// default endpoints the test chooses, endpoints that hand out audio clients, and per started
// client an engine thread that signals the client's event every period, as the audio engine does.
// Every object counts its references. An invalidated endpoint fails every call of its clients
// with AUDCLNT_E_DEVICE_INVALIDATED and signals no more, as an unplugged device does.

#include <windows.h>
#include <audioclient.h>
#include <functiondiscoverykeys_devpkey.h>
#include <mmdeviceapi.h>
#include <mmreg.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "windows/FakeComObject.h"

namespace quillane::host::test {

// A fake with one interface besides IUnknown.
template <class Interface>
class FakeCom : public FakeComObject<Interface> {
protected:
    void* facet(REFIID iid) override {
        if (iid == __uuidof(IUnknown) || iid == __uuidof(Interface)) return static_cast<Interface*>(this);
        return nullptr;
    }
};

// A mix format: 32-bit float or 16-bit PCM, in the extensible form the engine reports.
inline WAVEFORMATEXTENSIBLE mixFormat(DWORD rate, WORD channels, bool isFloat = true) {
    WAVEFORMATEXTENSIBLE f{};
    f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.Format.nChannels = channels;
    f.Format.nSamplesPerSec = rate;
    f.Format.wBitsPerSample = isFloat ? 32 : 16;
    f.Format.nBlockAlign = static_cast<WORD>(channels * f.Format.wBitsPerSample / 8);
    f.Format.nAvgBytesPerSec = rate * f.Format.nBlockAlign;
    f.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    f.Samples.wValidBitsPerSample = f.Format.wBitsPerSample;
    const DWORD stereo = SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT;
    const DWORD surround = stereo | SPEAKER_FRONT_CENTER | SPEAKER_LOW_FREQUENCY | SPEAKER_BACK_LEFT | SPEAKER_BACK_RIGHT;
    f.dwChannelMask = channels == 1 ? SPEAKER_FRONT_CENTER : channels == 2 ? stereo : surround;
    // KSDATAFORMAT_SUBTYPE_IEEE_FLOAT and KSDATAFORMAT_SUBTYPE_PCM differ only in the first field.
    f.SubFormat = {isFloat ? 3u : 1u, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
    return f;
}

inline std::vector<BYTE> formatBytes(const WAVEFORMATEX* format) {
    const auto* p = reinterpret_cast<const BYTE*>(format);
    return {p, p + sizeof(WAVEFORMATEX) + format->cbSize};
}

struct FakePacket {
    std::vector<BYTE> bytes;
    DWORD flags = 0;
};

class FakeCaptureClient;

// One stream of an endpoint.
class FakeAudioClient final : public FakeCom<IAudioClient> {
public:
    FakeAudioClient(std::vector<BYTE> mix, bool convertsFormats) : mix(std::move(mix)), converts(convertsFormats) {}
    ~FakeAudioClient() override { stopEngine(); }

    // What the capture asked for.
    DWORD streamFlags() const { return flags; }
    REFERENCE_TIME bufferDuration() const { return duration; }
    const WAVEFORMATEX* streamFormat() const { return reinterpret_cast<const WAVEFORMATEX*>(format.data()); }
    bool initialized() const { return !format.empty(); }
    bool running() const { return started; }
    int stops() const { return stopCalls; }
    UINT32 releasedFrames() const { return released; }
    const BYTE* lastBuffer() const { return lastData; }

    // Sound the device plays, in the stream's format; taken by the next drain.
    void play(std::vector<BYTE> bytes, DWORD packetFlags = 0) {
        std::lock_guard lock(mutex);
        packets.push_back({std::move(bytes), packetFlags});
    }
    void invalidate() { invalidated = true; }

    // IAudioClient
    HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE mode, DWORD streamFlags, REFERENCE_TIME bufferDuration,
                                         REFERENCE_TIME, const WAVEFORMATEX* wanted, LPCGUID) override {
        if (invalidated) return AUDCLNT_E_DEVICE_INVALIDATED;
        if (initialized()) return AUDCLNT_E_ALREADY_INITIALIZED;
        if (!wanted) return E_POINTER;
        const bool own = formatBytes(wanted) == mix;
        if (mode != AUDCLNT_SHAREMODE_SHARED ||
            (!own && !(converts && (streamFlags & AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM)))) {
            return AUDCLNT_E_UNSUPPORTED_FORMAT;
        }
        flags = streamFlags;
        duration = bufferDuration;
        format = formatBytes(wanted);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32* frames) override {
        if (!initialized()) return AUDCLNT_E_NOT_INITIALIZED;
        *frames = static_cast<UINT32>(duration * streamFormat()->nSamplesPerSec / 10000000);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME* latency) override {
        *latency = 100000;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32* frames) override {
        if (invalidated) return AUDCLNT_E_DEVICE_INVALIDATED;
        std::lock_guard lock(mutex);
        *frames = 0;
        for (const FakePacket& p : packets) *frames += framesOf(p);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE, const WAVEFORMATEX* wanted,
                                                WAVEFORMATEX** closest) override {
        if (closest) *closest = nullptr;
        return formatBytes(wanted) == mix ? S_OK : AUDCLNT_E_UNSUPPORTED_FORMAT;
    }
    HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX** out) override {
        if (invalidated) return AUDCLNT_E_DEVICE_INVALIDATED;
        *out = static_cast<WAVEFORMATEX*>(CoTaskMemAlloc(mix.size()));
        std::memcpy(*out, mix.data(), mix.size());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME* standard, REFERENCE_TIME* minimum) override {
        if (standard) *standard = 100000;
        if (minimum) *minimum = 30000;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Start() override {
        if (invalidated) return AUDCLNT_E_DEVICE_INVALIDATED;
        if (!initialized()) return AUDCLNT_E_NOT_INITIALIZED;
        if (started) return AUDCLNT_E_NOT_STOPPED;
        if ((flags & AUDCLNT_STREAMFLAGS_EVENTCALLBACK) && !event) return AUDCLNT_E_EVENTHANDLE_NOT_SET;
        started = true;
        engine = std::thread([this] { runEngine(); });
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Stop() override {
        ++stopCalls;
        if (invalidated) return AUDCLNT_E_DEVICE_INVALIDATED;
        if (!initialized()) return AUDCLNT_E_NOT_INITIALIZED;
        if (!started) return S_FALSE;
        stopEngine();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Reset() override {
        if (started) return AUDCLNT_E_NOT_STOPPED;
        std::lock_guard lock(mutex);
        packets.clear();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE handle) override {
        if (!initialized()) return AUDCLNT_E_NOT_INITIALIZED;
        if (!(flags & AUDCLNT_STREAMFLAGS_EVENTCALLBACK)) return AUDCLNT_E_EVENTHANDLE_NOT_EXPECTED;
        if (!handle) return E_INVALIDARG;
        event = handle;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetService(REFIID iid, void** out) override;

    // IAudioCaptureClient, through FakeCaptureClient.
    HRESULT nextPacketSize(UINT32* frames) {
        if (invalidated) return AUDCLNT_E_DEVICE_INVALIDATED;
        std::lock_guard lock(mutex);
        *frames = packets.empty() ? 0 : framesOf(packets.front());
        return S_OK;
    }
    HRESULT getBuffer(BYTE** data, UINT32* frames, DWORD* packetFlags, UINT64* position) {
        if (invalidated) return AUDCLNT_E_DEVICE_INVALIDATED;
        std::lock_guard lock(mutex);
        if (out) return AUDCLNT_E_OUT_OF_ORDER;
        if (packets.empty()) {
            *data = nullptr;
            *frames = 0;
            return AUDCLNT_S_BUFFER_EMPTY;
        }
        held = std::move(packets.front());
        packets.pop_front();
        out = true;
        *data = held.bytes.data();
        lastData = *data;
        *frames = framesOf(held);
        *packetFlags = held.flags;
        if (position) *position = devicePosition;
        return S_OK;
    }
    HRESULT releaseBuffer(UINT32 frames) {
        if (invalidated) return AUDCLNT_E_DEVICE_INVALIDATED;
        std::lock_guard lock(mutex);
        if (!out) return AUDCLNT_E_OUT_OF_ORDER;
        if (frames != 0 && frames != framesOf(held)) return AUDCLNT_E_INVALID_SIZE;
        out = false;
        released += frames;
        devicePosition += framesOf(held);
        return S_OK;
    }

protected:
    // Releasing the last reference but the endpoint's stops the stream.
    void referenceReleased(ULONG left) override {
        if (left == 1) stopEngine();
    }

private:
    UINT32 framesOf(const FakePacket& p) const {
        return static_cast<UINT32>(p.bytes.size() / streamFormat()->nBlockAlign);
    }
    void runEngine() {
        std::unique_lock lock(engineMutex);
        while (!engineStop && !invalidated) {
            SetEvent(event);
            engineWake.wait_for(lock, std::chrono::milliseconds(5));
        }
    }
    void stopEngine() {
        {
            std::lock_guard lock(engineMutex);
            engineStop = true;
        }
        engineWake.notify_all();
        if (engine.joinable() && engine.get_id() != std::this_thread::get_id()) engine.join();
        started = false;
        engineStop = false;
    }

    const std::vector<BYTE> mix;
    const bool converts;
    std::vector<BYTE> format;
    DWORD flags = 0;
    REFERENCE_TIME duration = 0;
    HANDLE event = nullptr;
    std::atomic<bool> invalidated{false};
    std::atomic<bool> started{false};
    std::atomic<int> stopCalls{0};

    mutable std::mutex mutex;  // the packets, between the test and the capture thread
    std::deque<FakePacket> packets;
    FakePacket held;
    bool out = false;
    std::atomic<UINT32> released{0};
    std::atomic<const BYTE*> lastData{nullptr};
    UINT64 devicePosition = 0;

    std::mutex engineMutex;
    std::condition_variable engineWake;
    bool engineStop = false;
    std::thread engine;
};

// The packet reader of one stream; keeps its stream alive, as a service of it does.
class FakeCaptureClient final : public FakeCom<IAudioCaptureClient> {
public:
    explicit FakeCaptureClient(FakeAudioClient* client) : client(client) { client->AddRef(); }
    ~FakeCaptureClient() override {
        --live;
        client->Release();
    }
    static inline std::atomic<int> live{0};

    HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64* position,
                                        UINT64* qpcPosition) override {
        if (qpcPosition) *qpcPosition = 0;
        return client->getBuffer(data, frames, flags, position);
    }
    HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames) override { return client->releaseBuffer(frames); }
    HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* frames) override { return client->nextPacketSize(frames); }

private:
    FakeAudioClient* client;
};

inline HRESULT STDMETHODCALLTYPE FakeAudioClient::GetService(REFIID iid, void** service) {
    *service = nullptr;
    if (invalidated) return AUDCLNT_E_DEVICE_INVALIDATED;
    if (!initialized()) return AUDCLNT_E_NOT_INITIALIZED;
    if (iid != __uuidof(IAudioCaptureClient)) return E_NOINTERFACE;
    ++FakeCaptureClient::live;
    *service = static_cast<IAudioCaptureClient*>(new FakeCaptureClient(this));
    return S_OK;
}

class FakePropertyStore final : public FakeCom<IPropertyStore> {
public:
    explicit FakePropertyStore(std::wstring name) : name(std::move(name)) {}
    HRESULT STDMETHODCALLTYPE GetCount(DWORD* count) override {
        *count = 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetAt(DWORD index, PROPERTYKEY* key) override {
        if (index != 0) return E_INVALIDARG;
        *key = PKEY_Device_FriendlyName;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetValue(REFPROPERTYKEY key, PROPVARIANT* value) override {
        PropVariantInit(value);
        if (!IsEqualGUID(key.fmtid, PKEY_Device_FriendlyName.fmtid) || key.pid != PKEY_Device_FriendlyName.pid) {
            return S_OK;  // VT_EMPTY for a property the store does not hold
        }
        const std::size_t bytes = (name.size() + 1) * sizeof(wchar_t);
        value->vt = VT_LPWSTR;
        value->pwszVal = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
        std::memcpy(value->pwszVal, name.c_str(), bytes);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetValue(REFPROPERTYKEY, REFPROPVARIANT) override { return STG_E_ACCESSDENIED; }
    HRESULT STDMETHODCALLTYPE Commit() override { return STG_E_ACCESSDENIED; }

private:
    const std::wstring name;
};

// One endpoint. It keeps a reference to every client it activated, so tests can look at them.
class FakeAudioEndpoint final : public FakeCom<IMMDevice> {
public:
    FakeAudioEndpoint(std::wstring name, const WAVEFORMATEXTENSIBLE& mix, bool convertsFormats = true)
        : name(std::move(name)), mix(formatBytes(&mix.Format)), converts(convertsFormats) {}
    ~FakeAudioEndpoint() override {
        for (FakeAudioClient* c : clients) c->Release();
    }

    std::vector<FakeAudioClient*> activated() const {
        std::lock_guard lock(mutex);
        return clients;
    }
    FakeAudioClient* latest() const {
        std::lock_guard lock(mutex);
        return clients.empty() ? nullptr : clients.back();
    }
    // The device goes away: its streams fail from now on.
    void invalidate() {
        std::lock_guard lock(mutex);
        gone = true;
        for (FakeAudioClient* c : clients) c->invalidate();
    }

    // IMMDevice
    HRESULT STDMETHODCALLTYPE Activate(REFIID iid, DWORD, PROPVARIANT*, void** out) override {
        *out = nullptr;
        std::lock_guard lock(mutex);
        if (gone) return AUDCLNT_E_DEVICE_INVALIDATED;
        if (iid != __uuidof(IAudioClient)) return E_NOINTERFACE;
        auto* client = new FakeAudioClient(mix, converts);
        client->AddRef();
        clients.push_back(client);
        *out = static_cast<IAudioClient*>(client);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OpenPropertyStore(DWORD access, IPropertyStore** store) override {
        *store = nullptr;
        if (access != STGM_READ) return E_ACCESSDENIED;
        *store = new FakePropertyStore(name);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetId(LPWSTR* id) override {
        const std::size_t bytes = (name.size() + 1) * sizeof(wchar_t);
        *id = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
        std::memcpy(*id, name.c_str(), bytes);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetState(DWORD* state) override {
        *state = gone ? DEVICE_STATE_UNPLUGGED : DEVICE_STATE_ACTIVE;
        return S_OK;
    }

private:
    const std::wstring name;
    const std::vector<BYTE> mix;
    const bool converts;
    mutable std::mutex mutex;
    std::vector<FakeAudioClient*> clients;
    std::atomic<bool> gone{false};
};

// The enumerator: default endpoints per data flow, chosen by the test.
class FakeDeviceEnumerator final : public FakeCom<IMMDeviceEnumerator> {
public:
    using Clock = std::chrono::steady_clock;
    ~FakeDeviceEnumerator() override {
        for (FakeAudioEndpoint* e : defaults) {
            if (e) e->Release();
        }
        for (IMMNotificationClient* c : listeners) c->Release();
    }

    // Without notice, as when a device is unplugged before the system names the next default.
    void setDefault(EDataFlow flow, FakeAudioEndpoint* endpoint) {
        std::lock_guard lock(mutex);
        if (endpoint) endpoint->AddRef();
        if (defaults[flow]) defaults[flow]->Release();
        defaults[flow] = endpoint;
    }
    // Changes the default and tells the registered clients on a thread of the system's.
    void announceDefault(EDataFlow flow, ERole role, FakeAudioEndpoint* endpoint) {
        setDefault(flow, endpoint);
        std::thread([&] {
            std::lock_guard lock(mutex);
            for (IMMNotificationClient* c : listeners) c->OnDefaultDeviceChanged(flow, role, L"fake");
        }).join();
    }
    // When each default endpoint was asked for, and for which flow.
    std::vector<std::pair<EDataFlow, Clock::time_point>> requests() const {
        std::lock_guard lock(mutex);
        return asked;
    }
    std::size_t listenerCount() const {
        std::lock_guard lock(mutex);
        return listeners.size();
    }

    // IMMDeviceEnumerator
    HRESULT STDMETHODCALLTYPE EnumAudioEndpoints(EDataFlow, DWORD, IMMDeviceCollection**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetDefaultAudioEndpoint(EDataFlow flow, ERole, IMMDevice** endpoint) override {
        std::lock_guard lock(mutex);
        asked.emplace_back(flow, Clock::now());
        *endpoint = nullptr;
        if (flow != eRender && flow != eCapture) return E_INVALIDARG;
        if (!defaults[flow]) return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
        defaults[flow]->AddRef();
        *endpoint = defaults[flow];
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetDevice(LPCWSTR, IMMDevice**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RegisterEndpointNotificationCallback(IMMNotificationClient* client) override {
        if (!client) return E_POINTER;
        std::lock_guard lock(mutex);
        client->AddRef();
        listeners.push_back(client);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE UnregisterEndpointNotificationCallback(IMMNotificationClient* client) override {
        std::lock_guard lock(mutex);
        for (auto it = listeners.begin(); it != listeners.end(); ++it) {
            if (*it == client) {
                client->Release();
                listeners.erase(it);
                return S_OK;
            }
        }
        return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
    }

private:
    mutable std::mutex mutex;
    FakeAudioEndpoint* defaults[2] = {nullptr, nullptr};  // eRender, eCapture
    std::vector<IMMNotificationClient*> listeners;
    std::vector<std::pair<EDataFlow, Clock::time_point>> asked;
};

}  // namespace quillane::host::test
