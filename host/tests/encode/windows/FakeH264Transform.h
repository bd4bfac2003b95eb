#pragma once

#include <windows.h>
#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mftransform.h>
#include <codecapi.h>
#include <strmif.h>

#include <deque>
#include <vector>

// An H.264 encoder transform for the tests: the asynchronous (hardware) kind,
// driven by its events, or the synchronous (software) kind. Each input gives one
// small Annex B unit; it records what the encoder asks of it.
class FakeH264Transform final : public IMFTransform,
                                public ICodecAPI,
                                public IMFMediaEventGenerator,
                                public IMFShutdown {
public:
    struct Setting {
        GUID api;
        VARTYPE type;
        ULONG value;  // ulVal, or the 16 bits of boolVal for VT_BOOL
    };

    explicit FakeH264Transform(bool async);
    ~FakeH264Transform();

    // Knobs.
    const bool async;
    int notAccepting = 0;          // that many inputs answer MF_E_NOTACCEPTING
    bool stall = false;            // takes inputs, gives nothing back
    bool holdInputRequests = false;  // asks for the next input only when askForInput is called
    HRESULT setOutputTypeResult = S_OK;
    HRESULT d3dManagerResult = S_OK;

    // Records.
    std::vector<MFT_MESSAGE_TYPE> messages;
    std::vector<Setting> settings;
    IMFMediaType* outputType = nullptr;
    IMFMediaType* inputType = nullptr;
    std::vector<LONGLONG> sampleTimes;
    std::vector<LONGLONG> sampleDurations;
    std::vector<std::vector<BYTE>> inputs;  // the NV12 bytes of each accepted input
    int unaskedInputs = 0;                  // inputs offered without a request (async)
    int lockedInputs = 0;                   // inputs offered before the async unlock
    int wrongStreamInputs = 0;
    bool shutDown = false;

    void askForInput();
    LONG references() const { return refs; }
    // The settings made for `api`, in order.
    std::vector<ULONG> valuesOf(const GUID& api) const;

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs); }
    ULONG STDMETHODCALLTYPE Release() override;

    // IMFTransform
    HRESULT STDMETHODCALLTYPE GetStreamLimits(DWORD*, DWORD*, DWORD*, DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetStreamCount(DWORD* inputs, DWORD* outputs) override;
    HRESULT STDMETHODCALLTYPE GetStreamIDs(DWORD, DWORD* inputIds, DWORD, DWORD* outputIds) override;
    HRESULT STDMETHODCALLTYPE GetInputStreamInfo(DWORD, MFT_INPUT_STREAM_INFO*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetOutputStreamInfo(DWORD id, MFT_OUTPUT_STREAM_INFO* info) override;
    HRESULT STDMETHODCALLTYPE GetAttributes(IMFAttributes** out) override;
    HRESULT STDMETHODCALLTYPE GetInputStreamAttributes(DWORD, IMFAttributes**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetOutputStreamAttributes(DWORD, IMFAttributes**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DeleteInputStream(DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE AddInputStreams(DWORD, DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetInputAvailableType(DWORD, DWORD, IMFMediaType**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetOutputAvailableType(DWORD, DWORD, IMFMediaType**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetInputType(DWORD id, IMFMediaType* type, DWORD) override;
    HRESULT STDMETHODCALLTYPE SetOutputType(DWORD id, IMFMediaType* type, DWORD) override;
    HRESULT STDMETHODCALLTYPE GetInputCurrentType(DWORD, IMFMediaType**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetOutputCurrentType(DWORD, IMFMediaType**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetInputStatus(DWORD, DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetOutputStatus(DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetOutputBounds(LONGLONG, LONGLONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ProcessEvent(DWORD, IMFMediaEvent*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ProcessMessage(MFT_MESSAGE_TYPE message, ULONG_PTR param) override;
    HRESULT STDMETHODCALLTYPE ProcessInput(DWORD id, IMFSample* sample, DWORD) override;
    HRESULT STDMETHODCALLTYPE ProcessOutput(DWORD, DWORD count, MFT_OUTPUT_DATA_BUFFER* buffers,
                                            DWORD* status) override;

    // ICodecAPI
    HRESULT STDMETHODCALLTYPE IsSupported(const GUID*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE IsModifiable(const GUID*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetParameterRange(const GUID*, VARIANT*, VARIANT*, VARIANT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetParameterValues(const GUID*, VARIANT**, ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetDefaultValue(const GUID*, VARIANT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetValue(const GUID*, VARIANT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetValue(const GUID* api, VARIANT* value) override;
    HRESULT STDMETHODCALLTYPE RegisterForEvent(const GUID*, LONG_PTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE UnregisterForEvent(const GUID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetAllDefaults() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetValueWithNotify(const GUID*, VARIANT*, GUID**, ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetAllDefaultsWithNotify(GUID**, ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetAllSettings(IStream*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetAllSettings(IStream*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetAllSettingsWithNotify(IStream*, GUID**, ULONG*) override { return E_NOTIMPL; }

    // IMFMediaEventGenerator
    HRESULT STDMETHODCALLTYPE GetEvent(DWORD flags, IMFMediaEvent** event) override;
    HRESULT STDMETHODCALLTYPE BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) override;
    HRESULT STDMETHODCALLTYPE EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) override;
    HRESULT STDMETHODCALLTYPE QueueEvent(MediaEventType type, REFGUID extended, HRESULT status,
                                         const PROPVARIANT* value) override;

    // IMFShutdown
    HRESULT STDMETHODCALLTYPE Shutdown() override;
    HRESULT STDMETHODCALLTYPE GetShutdownStatus(MFSHUTDOWN_STATUS*) override { return E_NOTIMPL; }

private:
    struct Unit {
        std::vector<BYTE> bytes;
        bool idr;
    };
    void post(MediaEventType type);

    LONG refs = 1;
    IMFAttributes* attributes = nullptr;
    IMFMediaEventQueue* queue = nullptr;
    std::deque<Unit> outputs;
    int inputRequests = 0;
    bool idrNext = true;
};
