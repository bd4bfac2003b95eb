// Sound capture through WASAPI: loopback of the default render endpoint (or the default capture
// endpoint) in shared, event-driven mode. Where the mix format is not 48 kHz stereo, the audio
// engine is asked to convert, so the encoder gets the layout it was set up for. A device that goes
// away is replaced by the current default, as the Linux capture reconnects to its sound server.
#include "audio/windows/WasapiCapture.h"

#include <initguid.h>
#include <windows.h>
#include <audioclient.h>
#include <functiondiscoverykeys_devpkey.h>
#include <mmdeviceapi.h>
#include <mmreg.h>
#include <objbase.h>
#include <wrl/client.h>

#include <spdlog/spdlog.h>

#include "platform/windows/ComObject.h"

#include <atomic>
#include <string>

namespace quillane::host {

namespace {

using Clock = std::chrono::steady_clock;

constexpr REFERENCE_TIME kBufferDuration = 200000;  // 100-ns units: 20 ms
constexpr std::chrono::seconds kRetryInterval{3};
constexpr std::uint32_t kWantedRate = 48000;
constexpr std::uint32_t kWantedChannels = 2;
// KSDATAFORMAT_SUBTYPE_IEEE_FLOAT
constexpr GUID kSubtypeFloat{0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
constexpr GUID kSubtypePcm{0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

bool hasSubtype(const WAVEFORMATEX* format, const GUID& subtype) {
    if (format->wFormatTag != WAVE_FORMAT_EXTENSIBLE || format->cbSize < 22) {
        return false;
    }
    return IsEqualGUID(reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(format)->SubFormat, subtype);
}

AudioSampleFormat sampleFormatOf(const WAVEFORMATEX* format) {
    if (format->wBitsPerSample == 32 &&
        (format->wFormatTag == WAVE_FORMAT_IEEE_FLOAT || hasSubtype(format, kSubtypeFloat))) {
        return AudioSampleFormat::Float32;
    }
    if (format->wBitsPerSample == 16 && (format->wFormatTag == WAVE_FORMAT_PCM || hasSubtype(format, kSubtypePcm))) {
        return AudioSampleFormat::Int16;
    }
    return AudioSampleFormat::Other;
}

// 48 kHz stereo float, the layout the engine converts to when the mix format differs.
WAVEFORMATEXTENSIBLE wantedFormat() {
    WAVEFORMATEXTENSIBLE f{};
    f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.Format.nChannels = kWantedChannels;
    f.Format.nSamplesPerSec = kWantedRate;
    f.Format.wBitsPerSample = 32;
    f.Format.nBlockAlign = static_cast<WORD>(kWantedChannels * 4);
    f.Format.nAvgBytesPerSec = kWantedRate * f.Format.nBlockAlign;
    f.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    f.Samples.wValidBitsPerSample = 32;
    f.dwChannelMask = SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT;
    f.SubFormat = kSubtypeFloat;
    return f;
}

std::string friendlyName(IMMDevice* device) {
    Microsoft::WRL::ComPtr<IPropertyStore> store;
    if (FAILED(device->OpenPropertyStore(STGM_READ, store.GetAddressOf()))) {
        return {};
    }
    std::string name;
    PROPVARIANT value;
    PropVariantInit(&value);
    if (SUCCEEDED(store->GetValue(PKEY_Device_FriendlyName, &value)) && value.vt == VT_LPWSTR && value.pwszVal) {
        char utf8[256] = {};
        if (WideCharToMultiByte(CP_UTF8, 0, value.pwszVal, -1, utf8, sizeof utf8, nullptr, nullptr) > 0) {
            name = utf8;
        }
    }
    PropVariantClear(&value);
    return name;
}

std::uint32_t hr32(HRESULT hr) { return static_cast<std::uint32_t>(hr); }

// The stream cannot go on: another device has to be opened.
bool isDeviceLoss(HRESULT hr) {
    return hr == AUDCLNT_E_DEVICE_INVALIDATED || hr == AUDCLNT_E_RESOURCES_INVALIDATED ||
           hr == AUDCLNT_E_SERVICE_NOT_RUNNING;
}

// Notes that the default endpoint of one data flow changed and wakes the capture thread.
// Threads: the system calls it on a thread of its own; the capture thread takes the change.
class DefaultDeviceWatcher final : public IMMNotificationClient {
public:
    DefaultDeviceWatcher(EDataFlow flow, HANDLE wakeEvent) : flow(flow), wakeEvent(wakeEvent) {}

    bool takeChange() { return changed.exchange(false); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (iid == __uuidof(IUnknown) || iid == __uuidof(IMMNotificationClient)) {
            *out = static_cast<IMMNotificationClient*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs); }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = InterlockedDecrement(&refs);
        if (left == 0) {
            delete this;
        }
        return left;
    }
    HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow changedFlow, ERole role, LPCWSTR) override {
        if (changedFlow == flow && role == eConsole) {
            changed = true;
            SetEvent(wakeEvent);
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR, DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR, const PROPERTYKEY) override { return S_OK; }

private:
    const EDataFlow flow;
    const HANDLE wakeEvent;  // the capture's; it unregisters this watcher before closing the event
    std::atomic<bool> changed{false};
    LONG refs = 1;
};

// The step of opening a device that failed (none: `what` is empty), and its HRESULT.
struct OpenFailure {
    const char* what = nullptr;
    HRESULT hr = S_OK;
};

// Threads: open, startStream, stopStream and the destructor run on the owner's thread, the rest on
// the capture thread, which also replaces a lost device; never both at once, as the owner stops
// delivery only after the capture thread ended. The watcher's notices come on a system thread.
class WasapiCapture final : public AudioCaptureBackend {
public:
    explicit WasapiCapture(DeviceEnumeratorFactory makeEnumerator) : makeEnumerator(std::move(makeEnumerator)) {}
    ~WasapiCapture() override;

    bool open(bool loopback) override;
    AudioStreamFormat format() const override { return streamFormat; }
    bool startStream() override;
    void stopStream() override;
    void prepareThread() override;
    void finishThread() override;
    void waitAndDrain(std::chrono::milliseconds timeout, const PacketHandler& onPacket) override;
    void wake() override {
        if (captureEvent) {
            SetEvent(captureEvent);
        }
    }

private:
    EDataFlow flow() const { return loopback ? eRender : eCapture; }
    OpenFailure openDevice();
    HRESULT initializeClient(DWORD flags);
    void watchDefaultDevice();
    void closeDevice();
    void closeAll();
    HRESULT drain(const PacketHandler& onPacket);
    void deviceLost(HRESULT hr);
    void reopen();

    DeviceEnumeratorFactory makeEnumerator;
    bool loopback = true;
    Microsoft::WRL::ComPtr<IMMDeviceEnumerator> enumerator;  // kept to open the next default device
    Microsoft::WRL::ComPtr<DefaultDeviceWatcher> watcher;    // registered with the enumerator
    Microsoft::WRL::ComPtr<IMMDevice> device;
    Microsoft::WRL::ComPtr<IAudioClient> audioClient;
    Microsoft::WRL::ComPtr<IAudioCaptureClient> captureClient;
    WAVEFORMATEX* mixFormat = nullptr;
    HANDLE captureEvent = nullptr;
    AudioStreamFormat streamFormat;
    bool threadComInitialized = false;
    bool lossReported = false;     // one warning per outage
    Clock::time_point nextAttempt;  // while no device is open: when to try the default one
};

WasapiCapture::~WasapiCapture() {
    closeAll();
}

void WasapiCapture::closeAll() {
    closeDevice();
    if (watcher) {
        enumerator->UnregisterEndpointNotificationCallback(watcher.Get());
        watcher.Reset();
    }
    enumerator.Reset();
    if (captureEvent) {
        CloseHandle(captureEvent);
        captureEvent = nullptr;
    }
}

bool WasapiCapture::open(bool wantLoopback) {
    closeAll();  // a second open starts afresh
    loopback = wantLoopback;
    captureEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!captureEvent) {
        SPDLOG_ERROR("Failed to create capture event");
        return false;
    }
    const HRESULT hr = makeEnumerator(enumerator.ReleaseAndGetAddressOf());
    if (FAILED(hr)) {
        SPDLOG_ERROR("Failed to create device enumerator: {:#x}", hr32(hr));
        return false;
    }
    if (const OpenFailure failure = openDevice(); failure.what) {
        SPDLOG_ERROR("{}: {:#x}", failure.what, hr32(failure.hr));
        return false;
    }
    watchDefaultDevice();
    return true;
}

// Loopback of a device that is no longer the default would record nothing the user hears.
void WasapiCapture::watchDefaultDevice() {
    watcher = adoptComObject(new DefaultDeviceWatcher(flow(), captureEvent));
    const HRESULT hr = enumerator->RegisterEndpointNotificationCallback(watcher.Get());
    if (FAILED(hr)) {
        SPDLOG_WARN("Audio capture will not follow a change of the default device: {:#x}", hr32(hr));
        watcher.Reset();
    }
}

OpenFailure WasapiCapture::openDevice() {
    HRESULT hr = enumerator->GetDefaultAudioEndpoint(flow(), eConsole, device.ReleaseAndGetAddressOf());
    if (FAILED(hr)) {
        return {"Failed to get default audio endpoint", hr};
    }
    if (const std::string name = friendlyName(device.Get()); !name.empty()) {
        SPDLOG_INFO("Using audio device: {}", name);
    }
    hr = device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr,
                          reinterpret_cast<void**>(audioClient.ReleaseAndGetAddressOf()));
    if (FAILED(hr)) {
        return {"Failed to activate audio client", hr};
    }
    hr = audioClient->GetMixFormat(&mixFormat);
    if (FAILED(hr)) {
        return {"Failed to get mix format", hr};
    }
    hr = initializeClient(AUDCLNT_STREAMFLAGS_EVENTCALLBACK | (loopback ? AUDCLNT_STREAMFLAGS_LOOPBACK : 0));
    if (FAILED(hr)) {
        return {"Failed to initialize audio client", hr};
    }
    hr = audioClient->SetEventHandle(captureEvent);
    if (FAILED(hr)) {
        return {"Failed to set event handle", hr};
    }
    hr = audioClient->GetService(__uuidof(IAudioCaptureClient),
                                 reinterpret_cast<void**>(captureClient.ReleaseAndGetAddressOf()));
    if (FAILED(hr)) {
        return {"Failed to get capture client", hr};
    }
    return {};
}

HRESULT WasapiCapture::initializeClient(DWORD flags) {
    const bool wanted = mixFormat->nSamplesPerSec == kWantedRate && mixFormat->nChannels == kWantedChannels &&
                        sampleFormatOf(mixFormat) != AudioSampleFormat::Other;
    if (!wanted) {
        // The engine converts rate, channels and sample type for us.
        WAVEFORMATEXTENSIBLE converted = wantedFormat();
        const HRESULT hr = audioClient->Initialize(
            AUDCLNT_SHAREMODE_SHARED, flags | AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM | AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY,
            kBufferDuration, 0, &converted.Format, nullptr);
        if (SUCCEEDED(hr)) {
            SPDLOG_INFO("Audio converted from {} Hz, {} channels to {} Hz, {} channels", mixFormat->nSamplesPerSec,
                        mixFormat->nChannels, kWantedRate, kWantedChannels);
            streamFormat = {kWantedRate, kWantedChannels, AudioSampleFormat::Float32};
            return hr;
        }
        SPDLOG_WARN("The audio engine cannot convert to {} Hz stereo ({:#x}); using the device's own format",
                    kWantedRate, hr32(hr));
    }
    streamFormat = {mixFormat->nSamplesPerSec, mixFormat->nChannels, sampleFormatOf(mixFormat)};
    return audioClient->Initialize(AUDCLNT_SHAREMODE_SHARED, flags, kBufferDuration, 0, mixFormat, nullptr);
}

void WasapiCapture::closeDevice() {
    captureClient.Reset();
    audioClient.Reset();
    device.Reset();
    if (mixFormat) {
        CoTaskMemFree(mixFormat);
        mixFormat = nullptr;
    }
}

bool WasapiCapture::startStream() {
    if (!audioClient) {
        return true;  // lost: the capture thread opens the next device and starts it
    }
    const HRESULT hr = audioClient->Start();
    if (isDeviceLoss(hr)) {
        deviceLost(hr);
        return true;
    }
    if (FAILED(hr)) {
        SPDLOG_ERROR("Failed to start audio client: {:#x}", hr32(hr));
        return false;
    }
    return true;
}

void WasapiCapture::stopStream() {
    if (audioClient) {
        audioClient->Stop();
    }
}

void WasapiCapture::prepareThread() {
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    // The audio interfaces are free-threaded; the thread still joins the multithreaded apartment.
    threadComInitialized = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
}

void WasapiCapture::finishThread() {
    if (threadComInitialized) {
        CoUninitialize();
        threadComInitialized = false;
    }
}

void WasapiCapture::waitAndDrain(std::chrono::milliseconds timeout, const PacketHandler& onPacket) {
    WaitForSingleObject(captureEvent, static_cast<DWORD>(timeout.count()));
    if (watcher && watcher->takeChange()) {
        SPDLOG_INFO("The default audio device changed; capturing from the new one");
        if (audioClient) {
            audioClient->Stop();
        }
        closeDevice();
        nextAttempt = Clock::now();
    }
    if (!captureClient) {
        if (Clock::now() >= nextAttempt) {
            reopen();
        }
        return;
    }
    // Drained after a time-out too: a device that went away may signal nothing more.
    if (const HRESULT hr = drain(onPacket); isDeviceLoss(hr)) {
        deviceLost(hr);
    }
}

HRESULT WasapiCapture::drain(const PacketHandler& onPacket) {
    UINT32 packetSize = 0;
    HRESULT hr = S_OK;
    while (SUCCEEDED(hr = captureClient->GetNextPacketSize(&packetSize)) && packetSize > 0) {
        BYTE* data = nullptr;
        UINT32 frames = 0;
        DWORD flags = 0;
        hr = captureClient->GetBuffer(&data, &frames, &flags, nullptr, nullptr);
        if (FAILED(hr)) {
            if (!isDeviceLoss(hr)) {
                SPDLOG_ERROR("GetBuffer failed: {:#x}", hr32(hr));
            }
            return hr;
        }
        CapturedAudioPacket packet;
        packet.data = data;
        packet.frames = frames;
        packet.silent = (flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0;
        packet.format = streamFormat;
        onPacket(packet);
        hr = captureClient->ReleaseBuffer(frames);
        if (FAILED(hr)) {
            if (!isDeviceLoss(hr)) {
                SPDLOG_ERROR("ReleaseBuffer failed: {:#x}", hr32(hr));
            }
            return hr;
        }
    }
    return hr;
}

void WasapiCapture::deviceLost(HRESULT hr) {
    closeDevice();
    nextAttempt = Clock::now();  // the next default is usually there already
    if (!lossReported) {
        lossReported = true;
        SPDLOG_WARN("Lost the audio device ({:#x}); no sound is sent until the default device opens, trying "
                    "again every {} s",
                    hr32(hr), kRetryInterval.count());
    }
}

void WasapiCapture::reopen() {
    nextAttempt = Clock::now() + kRetryInterval;
    OpenFailure failure = openDevice();
    if (!failure.what && FAILED(failure.hr = audioClient->Start())) {
        failure.what = "Failed to start audio client";
    }
    if (!failure.what) {
        if (lossReported) {
            lossReported = false;
            SPDLOG_INFO("Audio capture goes on: {} Hz, {} channels", streamFormat.sampleRate, streamFormat.channels);
        }
        return;
    }
    closeDevice();
    if (lossReported) {
        SPDLOG_DEBUG("Audio device still not open: {}: {:#x}", failure.what, hr32(failure.hr));
        return;
    }
    lossReported = true;
    SPDLOG_WARN("Cannot open the default audio device ({}: {:#x}); no sound is sent until it opens, trying again "
                "every {} s",
                failure.what, hr32(failure.hr), kRetryInterval.count());
}

}  // namespace

long createSystemDeviceEnumerator(IMMDeviceEnumerator** enumerator) {
    return CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL, __uuidof(IMMDeviceEnumerator),
                            reinterpret_cast<void**>(enumerator));
}

std::unique_ptr<AudioCaptureBackend> createWasapiCapture(DeviceEnumeratorFactory makeEnumerator) {
    return std::make_unique<WasapiCapture>(std::move(makeEnumerator));
}

std::unique_ptr<AudioCaptureBackend> createAudioCaptureBackend() {
    return createWasapiCapture(createSystemDeviceEnumerator);
}

}  // namespace quillane::host
