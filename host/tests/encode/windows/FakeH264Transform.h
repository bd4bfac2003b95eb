#pragma once

#include <windows.h>
#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mftransform.h>
#include <codecapi.h>
#include <strmif.h>

#include <cstring>
#include <deque>
#include <vector>

#include "windows/FakeComObject.h"

namespace quillane::host::test {

// An H.264 encoder transform for the tests: the asynchronous (hardware) kind,
// driven by its events, or the synchronous (software) kind. Each input gives one
// small Annex B unit; it records what the encoder asks of it.
class FakeH264Transform final
    : public FakeComObject<IMFTransform, ICodecAPI, IMFMediaEventGenerator, IMFShutdown> {
public:
    struct Setting {
        GUID api;
        VARTYPE type;
        ULONG value;  // ulVal, or the 16 bits of boolVal for VT_BOOL
        bool operator==(const Setting&) const = default;
    };

    explicit FakeH264Transform(bool isAsync) : async(isAsync) {
        MFCreateAttributes(&attributes, 2);
        if (async) {
            attributes->SetUINT32(MF_TRANSFORM_ASYNC, TRUE);
            MFCreateEventQueue(&queue);
        }
    }
    ~FakeH264Transform() {
        if (queue != nullptr) {
            queue->Shutdown();
            queue->Release();
        }
        for (IUnknown* held : std::initializer_list<IUnknown*>{attributes, outputType, inputType}) {
            if (held != nullptr) {
                held->Release();
            }
        }
    }

    // Knobs.
    const bool async;
    int notAccepting = 0;            // that many inputs answer MF_E_NOTACCEPTING
    bool stall = false;              // takes inputs, gives nothing back
    bool holdInputRequests = false;  // asks for the next input only when askForInput is called
    bool holdOutputs = false;        // keeps its units until it is told to drain, as a look-ahead encoder does
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
    bool shutDown = false;

    void askForInput() {
        ++inputRequests;
        queue->QueueEventParamVar(METransformNeedInput, GUID_NULL, S_OK, nullptr);
    }
    // The settings made for `api`, in order.
    std::vector<ULONG> valuesOf(const GUID& api) const {
        std::vector<ULONG> values;
        for (const Setting& s : settings) {
            if (s.api == api) {
                values.push_back(s.value);
            }
        }
        return values;
    }

    // IUnknown
    void* facet(REFIID iid) override {
        if (iid == __uuidof(IUnknown) || iid == __uuidof(IMFTransform)) return static_cast<IMFTransform*>(this);
        if (iid == IID_ICodecAPI) return static_cast<ICodecAPI*>(this);
        if (async && iid == __uuidof(IMFMediaEventGenerator)) return static_cast<IMFMediaEventGenerator*>(this);
        if (async && iid == __uuidof(IMFShutdown)) return static_cast<IMFShutdown*>(this);
        return nullptr;
    }

    // IMFTransform
    HRESULT STDMETHODCALLTYPE GetStreamLimits(DWORD*, DWORD*, DWORD*, DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetStreamCount(DWORD* inputCount, DWORD* outputCount) override {
        *inputCount = *outputCount = 1;
        return S_OK;
    }
    // The synchronous kind has no ids of its own: they are 0.
    HRESULT STDMETHODCALLTYPE GetStreamIDs(DWORD, DWORD* inputIds, DWORD, DWORD* outputIds) override {
        if (!async) {
            return E_NOTIMPL;
        }
        *inputIds = kAsyncInputId;
        *outputIds = kAsyncOutputId;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetInputStreamInfo(DWORD, MFT_INPUT_STREAM_INFO*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetOutputStreamInfo(DWORD, MFT_OUTPUT_STREAM_INFO* info) override {
        *info = {};
        info->dwFlags = async ? MFT_OUTPUT_STREAM_PROVIDES_SAMPLES : 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetAttributes(IMFAttributes** out) override {
        attributes->AddRef();
        *out = attributes;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetInputStreamAttributes(DWORD, IMFAttributes**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetOutputStreamAttributes(DWORD, IMFAttributes**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DeleteInputStream(DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE AddInputStreams(DWORD, DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetInputAvailableType(DWORD, DWORD, IMFMediaType**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetOutputAvailableType(DWORD, DWORD, IMFMediaType**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetInputType(DWORD id, IMFMediaType* type, DWORD) override {
        return setType(id, kAsyncInputId, inputType, type);
    }
    HRESULT STDMETHODCALLTYPE SetOutputType(DWORD id, IMFMediaType* type, DWORD) override {
        return FAILED(setOutputTypeResult) ? setOutputTypeResult : setType(id, kAsyncOutputId, outputType, type);
    }
    HRESULT STDMETHODCALLTYPE GetInputCurrentType(DWORD, IMFMediaType**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetOutputCurrentType(DWORD, IMFMediaType**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetInputStatus(DWORD, DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetOutputStatus(DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetOutputBounds(LONGLONG, LONGLONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ProcessEvent(DWORD, IMFMediaEvent*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ProcessMessage(MFT_MESSAGE_TYPE message, ULONG_PTR) override {
        messages.push_back(message);
        if (message == MFT_MESSAGE_SET_D3D_MANAGER) {
            return d3dManagerResult;
        }
        if (message == MFT_MESSAGE_NOTIFY_START_OF_STREAM && async) {
            askForInput();
        } else if (message == MFT_MESSAGE_COMMAND_FLUSH) {
            outputs.clear();
        } else if (message == MFT_MESSAGE_COMMAND_DRAIN) {
            draining = true;
            if (async) {
                for (; unannounced > 0; --unannounced) {
                    queue->QueueEventParamVar(METransformHaveOutput, GUID_NULL, S_OK, nullptr);
                }
                queue->QueueEventParamVar(METransformDrainComplete, GUID_NULL, S_OK, nullptr);
            }
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ProcessInput(DWORD id, IMFSample* sample, DWORD) override {
        if (id != (async ? kAsyncInputId : 0)) {
            return MF_E_INVALIDSTREAMNUMBER;
        }
        if (async && MFGetAttributeUINT32(attributes, MF_TRANSFORM_ASYNC_UNLOCK, FALSE) == FALSE) {
            return MF_E_TRANSFORM_ASYNC_LOCKED;
        }
        if (notAccepting > 0) {
            --notAccepting;
            return MF_E_NOTACCEPTING;
        }
        if (async && inputRequests == 0) {
            ++unaskedInputs;
            return MF_E_NOTACCEPTING;
        }
        inputRequests -= async ? 1 : 0;
        LONGLONG time = -1;
        LONGLONG duration = -1;
        sample->GetSampleTime(&time);
        sample->GetSampleDuration(&duration);
        sampleTimes.push_back(time);
        sampleDurations.push_back(duration);
        IMFMediaBuffer* buffer = nullptr;
        sample->ConvertToContiguousBuffer(&buffer);
        BYTE* data = nullptr;
        DWORD length = 0;
        buffer->Lock(&data, nullptr, &length);
        inputs.emplace_back(data, data + length);
        buffer->Unlock();
        buffer->Release();

        // An IDR unit carries SPS, PPS and an IDR slice, others one P slice; the
        // last byte is the input's index.
        if (!stall) {
            Unit unit{idrNext ? std::vector<BYTE>{0, 0, 0, 1, 0x67, 0x4D, 0x40, 0x1F, 0, 0, 0, 1, 0x68, 0xEB, 0xE3, 0,
                                                  0, 1, 0x65, 0x88}
                              : std::vector<BYTE>{0, 0, 0, 1, 0x41, 0x9A},
                      idrNext};
            idrNext = false;
            unit.bytes.push_back(static_cast<BYTE>(inputs.size() - 1));
            outputs.push_back(std::move(unit));
            if (async && holdOutputs) {
                ++unannounced;
            } else if (async) {
                queue->QueueEventParamVar(METransformHaveOutput, GUID_NULL, S_OK, nullptr);
            }
        }
        if (async && !holdInputRequests) {
            askForInput();
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ProcessOutput(DWORD, DWORD count, MFT_OUTPUT_DATA_BUFFER* buffers,
                                            DWORD* status) override {
        *status = 0;
        if (count != 1 || outputs.empty() || (holdOutputs && !draining)) {
            return MF_E_TRANSFORM_NEED_MORE_INPUT;
        }
        const Unit unit = outputs.front();
        outputs.pop_front();
        IMFSample* sample = buffers[0].pSample;
        IMFMediaBuffer* buffer = nullptr;
        if (async) {  // provides its own samples
            MFCreateSample(&sample);
            MFCreateMemoryBuffer(static_cast<DWORD>(unit.bytes.size()), &buffer);
            sample->AddBuffer(buffer);
            buffers[0].pSample = sample;
        } else {
            sample->GetBufferByIndex(0, &buffer);
        }
        BYTE* data = nullptr;
        buffer->Lock(&data, nullptr, nullptr);
        std::memcpy(data, unit.bytes.data(), unit.bytes.size());
        buffer->Unlock();
        buffer->SetCurrentLength(static_cast<DWORD>(unit.bytes.size()));
        buffer->Release();
        sample->SetUINT32(MFSampleExtension_CleanPoint, unit.idr ? 1 : 0);
        return S_OK;
    }

    // ICodecAPI
    HRESULT STDMETHODCALLTYPE IsSupported(const GUID*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE IsModifiable(const GUID*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetParameterRange(const GUID*, VARIANT*, VARIANT*, VARIANT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetParameterValues(const GUID*, VARIANT**, ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetDefaultValue(const GUID*, VARIANT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetValue(const GUID*, VARIANT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetValue(const GUID* api, VARIANT* value) override {
        settings.push_back({*api, value->vt, value->vt == VT_BOOL ? static_cast<USHORT>(value->boolVal) : value->ulVal});
        idrNext = idrNext || *api == CODECAPI_AVEncVideoForceKeyFrame;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE RegisterForEvent(const GUID*, LONG_PTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE UnregisterForEvent(const GUID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetAllDefaults() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetValueWithNotify(const GUID*, VARIANT*, GUID**, ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetAllDefaultsWithNotify(GUID**, ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetAllSettings(IStream*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetAllSettings(IStream*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetAllSettingsWithNotify(IStream*, GUID**, ULONG*) override { return E_NOTIMPL; }

    // IMFMediaEventGenerator
    HRESULT STDMETHODCALLTYPE GetEvent(DWORD flags, IMFMediaEvent** event) override {
        return queue->GetEvent(flags, event);
    }
    HRESULT STDMETHODCALLTYPE BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) override {
        return queue->BeginGetEvent(callback, state);
    }
    HRESULT STDMETHODCALLTYPE EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) override {
        return queue->EndGetEvent(result, event);
    }
    HRESULT STDMETHODCALLTYPE QueueEvent(MediaEventType type, REFGUID extended, HRESULT status,
                                         const PROPVARIANT* value) override {
        return queue->QueueEventParamVar(type, extended, status, value);
    }

    // IMFShutdown
    HRESULT STDMETHODCALLTYPE Shutdown() override {
        shutDown = true;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetShutdownStatus(MFSHUTDOWN_STATUS*) override { return E_NOTIMPL; }

private:
    // Stream ids the asynchronous kind reports.
    static constexpr DWORD kAsyncInputId = 3;
    static constexpr DWORD kAsyncOutputId = 5;

    struct Unit {
        std::vector<BYTE> bytes;
        bool idr;
    };

    HRESULT setType(DWORD id, DWORD asyncId, IMFMediaType*& slot, IMFMediaType* type) {
        if (id != (async ? asyncId : 0)) {
            return MF_E_INVALIDSTREAMNUMBER;
        }
        if (slot != nullptr) {
            slot->Release();
        }
        slot = type;
        type->AddRef();
        return S_OK;
    }

    IMFAttributes* attributes = nullptr;
    IMFMediaEventQueue* queue = nullptr;
    std::deque<Unit> outputs;
    int inputRequests = 0;
    int unannounced = 0;  // held units no event told of yet
    bool draining = false;
    bool idrNext = true;
};

}  // namespace quillane::host::test
