// Sound capture through WASAPI: loopback of the default render endpoint (or the default capture
// endpoint) in shared, event-driven mode. Where the mix format is not 48 kHz stereo, the audio
// engine is asked to convert, so the encoder gets the layout it was set up for.
#include "audio/AudioCaptureBackend.h"

#include <initguid.h>
#include <windows.h>
#include <audioclient.h>
#include <functiondiscoverykeys_devpkey.h>
#include <mmdeviceapi.h>
#include <mmreg.h>
#include <objbase.h>

#include <spdlog/spdlog.h>

#include <string>

namespace quillane::host {

namespace {

constexpr REFERENCE_TIME kBufferDuration = 200000;  // 100-ns units: 20 ms
constexpr std::uint32_t kWantedRate = 48000;
constexpr std::uint32_t kWantedChannels = 2;
// KSDATAFORMAT_SUBTYPE_IEEE_FLOAT
constexpr GUID kSubtypeFloat{0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
constexpr GUID kSubtypePcm{0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

template <class T>
void release(T*& p) {
    if (p) {
        p->Release();
        p = nullptr;
    }
}

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
    IPropertyStore* store = nullptr;
    if (FAILED(device->OpenPropertyStore(STGM_READ, &store))) {
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
    store->Release();
    return name;
}

class WasapiCapture : public AudioCaptureBackend {
public:
    WasapiCapture() = default;
    ~WasapiCapture() override;

    bool open(bool loopback) override;
    AudioStreamFormat format() const override { return streamFormat; }
    bool startStream() override;
    void stopStream() override;
    void prepareThread() override;
    void finishThread() override {
        if (threadComInitialized) {
            CoUninitialize();
            threadComInitialized = false;
        }
    }
    void waitAndDrain(std::chrono::milliseconds timeout, const PacketHandler& onPacket) override;
    void wake() override {
        if (captureEvent) {
            SetEvent(captureEvent);
        }
    }

private:
    bool initializeDevice(bool loopback);
    HRESULT initializeClient(DWORD flags);

    IMMDevice* device = nullptr;
    IAudioClient* audioClient = nullptr;
    IAudioCaptureClient* captureClient = nullptr;
    WAVEFORMATEX* mixFormat = nullptr;
    HANDLE captureEvent = nullptr;
    AudioStreamFormat streamFormat;
    bool threadComInitialized = false;
};

WasapiCapture::~WasapiCapture() {
    if (captureEvent) {
        CloseHandle(captureEvent);
    }
    if (mixFormat) {
        CoTaskMemFree(mixFormat);
    }
    release(captureClient);
    release(audioClient);
    release(device);
}

bool WasapiCapture::open(bool loopback) {
    captureEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!captureEvent) {
        SPDLOG_ERROR("Failed to create capture event");
        return false;
    }
    return initializeDevice(loopback);
}

bool WasapiCapture::initializeDevice(bool loopback) {
    IMMDeviceEnumerator* enumerator = nullptr;
    HRESULT hr = CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL, __uuidof(IMMDeviceEnumerator),
                                  reinterpret_cast<void**>(&enumerator));
    if (FAILED(hr)) {
        SPDLOG_ERROR("Failed to create device enumerator: {:#x}", static_cast<unsigned long>(hr));
        return false;
    }
    hr = enumerator->GetDefaultAudioEndpoint(loopback ? eRender : eCapture, eConsole, &device);
    enumerator->Release();
    if (FAILED(hr)) {
        SPDLOG_ERROR("Failed to get default audio endpoint: {:#x}", static_cast<unsigned long>(hr));
        return false;
    }
    if (const std::string name = friendlyName(device); !name.empty()) {
        SPDLOG_INFO("Using audio device: {}", name);
    }
    hr = device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, reinterpret_cast<void**>(&audioClient));
    if (FAILED(hr)) {
        SPDLOG_ERROR("Failed to activate audio client: {:#x}", static_cast<unsigned long>(hr));
        return false;
    }
    hr = audioClient->GetMixFormat(&mixFormat);
    if (FAILED(hr)) {
        SPDLOG_ERROR("Failed to get mix format: {:#x}", static_cast<unsigned long>(hr));
        return false;
    }
    hr = initializeClient(AUDCLNT_STREAMFLAGS_EVENTCALLBACK | (loopback ? AUDCLNT_STREAMFLAGS_LOOPBACK : 0));
    if (FAILED(hr)) {
        SPDLOG_ERROR("Failed to initialize audio client: {:#x}", static_cast<unsigned long>(hr));
        return false;
    }
    hr = audioClient->SetEventHandle(captureEvent);
    if (FAILED(hr)) {
        SPDLOG_ERROR("Failed to set event handle: {:#x}", static_cast<unsigned long>(hr));
        return false;
    }
    hr = audioClient->GetService(__uuidof(IAudioCaptureClient), reinterpret_cast<void**>(&captureClient));
    if (FAILED(hr)) {
        SPDLOG_ERROR("Failed to get capture client: {:#x}", static_cast<unsigned long>(hr));
        return false;
    }
    return true;
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
                    kWantedRate, static_cast<unsigned long>(hr));
    }
    streamFormat = {mixFormat->nSamplesPerSec, mixFormat->nChannels, sampleFormatOf(mixFormat)};
    return audioClient->Initialize(AUDCLNT_SHAREMODE_SHARED, flags, kBufferDuration, 0, mixFormat, nullptr);
}

bool WasapiCapture::startStream() {
    const HRESULT hr = audioClient->Start();
    if (FAILED(hr)) {
        SPDLOG_ERROR("Failed to start audio client: {:#x}", static_cast<unsigned long>(hr));
        return false;
    }
    return true;
}

void WasapiCapture::stopStream() {
    audioClient->Stop();
}

void WasapiCapture::prepareThread() {
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    // The audio interfaces are free-threaded; the thread still joins the multithreaded apartment.
    threadComInitialized = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
}

void WasapiCapture::waitAndDrain(std::chrono::milliseconds timeout, const PacketHandler& onPacket) {
    if (WaitForSingleObject(captureEvent, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) {
        return;
    }
    UINT32 packetSize = 0;
    while (SUCCEEDED(captureClient->GetNextPacketSize(&packetSize)) && packetSize > 0) {
        BYTE* data = nullptr;
        UINT32 frames = 0;
        DWORD flags = 0;
        HRESULT hr = captureClient->GetBuffer(&data, &frames, &flags, nullptr, nullptr);
        if (FAILED(hr)) {
            SPDLOG_ERROR("GetBuffer failed: {:#x}", static_cast<unsigned long>(hr));
            return;
        }
        CapturedAudioPacket packet;
        packet.data = data;
        packet.frames = frames;
        packet.silent = (flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0;
        onPacket(packet);
        hr = captureClient->ReleaseBuffer(frames);
        if (FAILED(hr)) {
            SPDLOG_ERROR("ReleaseBuffer failed: {:#x}", static_cast<unsigned long>(hr));
            return;
        }
    }
}

}  // namespace

std::unique_ptr<AudioCaptureBackend> createAudioCaptureBackend() {
    return std::make_unique<WasapiCapture>();
}

}  // namespace quillane::host
