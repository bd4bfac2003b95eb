#include "FakeH264Transform.h"

#include <cstring>

namespace {

// Stream ids the asynchronous kind reports; the synchronous kind reports none.
constexpr DWORD kAsyncInputId = 3;
constexpr DWORD kAsyncOutputId = 5;

}  // namespace

FakeH264Transform::FakeH264Transform(bool isAsync) : async(isAsync) {
    MFCreateAttributes(&attributes, 2);
    if (async) {
        attributes->SetUINT32(MF_TRANSFORM_ASYNC, TRUE);
        MFCreateEventQueue(&queue);
    }
}

FakeH264Transform::~FakeH264Transform() {
    if (queue != nullptr) {
        queue->Shutdown();
        queue->Release();
    }
    attributes->Release();
    if (outputType != nullptr) {
        outputType->Release();
    }
    if (inputType != nullptr) {
        inputType->Release();
    }
}

HRESULT FakeH264Transform::QueryInterface(REFIID iid, void** out) {
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IMFTransform)) {
        *out = static_cast<IMFTransform*>(this);
    } else if (iid == IID_ICodecAPI) {
        *out = static_cast<ICodecAPI*>(this);
    } else if (async && iid == __uuidof(IMFMediaEventGenerator)) {
        *out = static_cast<IMFMediaEventGenerator*>(this);
    } else if (async && iid == __uuidof(IMFShutdown)) {
        *out = static_cast<IMFShutdown*>(this);
    } else {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG FakeH264Transform::Release() {
    const ULONG left = InterlockedDecrement(&refs);
    if (left == 0) {
        delete this;
    }
    return left;
}

std::vector<ULONG> FakeH264Transform::valuesOf(const GUID& api) const {
    std::vector<ULONG> values;
    for (const Setting& s : settings) {
        if (s.api == api) {
            values.push_back(s.value);
        }
    }
    return values;
}

HRESULT FakeH264Transform::GetStreamCount(DWORD* inputCount, DWORD* outputCount) {
    *inputCount = 1;
    *outputCount = 1;
    return S_OK;
}

HRESULT FakeH264Transform::GetStreamIDs(DWORD, DWORD* inputIds, DWORD, DWORD* outputIds) {
    if (!async) {
        return E_NOTIMPL;  // ids are 0
    }
    *inputIds = kAsyncInputId;
    *outputIds = kAsyncOutputId;
    return S_OK;
}

HRESULT FakeH264Transform::GetOutputStreamInfo(DWORD, MFT_OUTPUT_STREAM_INFO* info) {
    *info = {};
    info->dwFlags = async ? MFT_OUTPUT_STREAM_PROVIDES_SAMPLES : 0;
    return S_OK;
}

HRESULT FakeH264Transform::GetAttributes(IMFAttributes** out) {
    attributes->AddRef();
    *out = attributes;
    return S_OK;
}

HRESULT FakeH264Transform::SetInputType(DWORD id, IMFMediaType* type, DWORD) {
    if (id != (async ? kAsyncInputId : 0)) {
        return MF_E_INVALIDSTREAMNUMBER;
    }
    if (inputType != nullptr) {
        inputType->Release();
    }
    inputType = type;
    type->AddRef();
    return S_OK;
}

HRESULT FakeH264Transform::SetOutputType(DWORD id, IMFMediaType* type, DWORD) {
    if (id != (async ? kAsyncOutputId : 0)) {
        return MF_E_INVALIDSTREAMNUMBER;
    }
    if (FAILED(setOutputTypeResult)) {
        return setOutputTypeResult;
    }
    if (outputType != nullptr) {
        outputType->Release();
    }
    outputType = type;
    type->AddRef();
    return S_OK;
}

void FakeH264Transform::post(MediaEventType type) {
    queue->QueueEventParamVar(type, GUID_NULL, S_OK, nullptr);
}

void FakeH264Transform::askForInput() {
    ++inputRequests;
    post(METransformNeedInput);
}

HRESULT FakeH264Transform::ProcessMessage(MFT_MESSAGE_TYPE message, ULONG_PTR) {
    messages.push_back(message);
    switch (message) {
    case MFT_MESSAGE_SET_D3D_MANAGER: return d3dManagerResult;
    case MFT_MESSAGE_NOTIFY_START_OF_STREAM:
        if (async) {
            askForInput();
        }
        return S_OK;
    case MFT_MESSAGE_COMMAND_FLUSH: outputs.clear(); return S_OK;
    default: return S_OK;
    }
}

HRESULT FakeH264Transform::ProcessInput(DWORD id, IMFSample* sample, DWORD) {
    if (id != (async ? kAsyncInputId : 0)) {
        ++wrongStreamInputs;
        return MF_E_INVALIDSTREAMNUMBER;
    }
    if (async && MFGetAttributeUINT32(attributes, MF_TRANSFORM_ASYNC_UNLOCK, FALSE) == FALSE) {
        ++lockedInputs;
        return MF_E_TRANSFORM_ASYNC_LOCKED;
    }
    if (notAccepting > 0) {
        --notAccepting;
        return MF_E_NOTACCEPTING;
    }
    if (async) {
        if (inputRequests == 0) {
            ++unaskedInputs;
            return MF_E_NOTACCEPTING;
        }
        --inputRequests;
    }
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

    if (!stall) {
        Unit unit;
        unit.idr = idrNext;
        idrNext = false;
        if (unit.idr) {
            unit.bytes = {0, 0, 0, 1, 0x67, 0x4D, 0x40, 0x1F, 0, 0, 0, 1, 0x68, 0xEB, 0xE3, 0, 0, 1, 0x65, 0x88};
        } else {
            unit.bytes = {0, 0, 0, 1, 0x41, 0x9A};
        }
        unit.bytes.push_back(static_cast<BYTE>(inputs.size() - 1));
        outputs.push_back(std::move(unit));
        if (async) {
            post(METransformHaveOutput);
        }
    }
    if (async && !holdInputRequests) {
        askForInput();
    }
    return S_OK;
}

HRESULT FakeH264Transform::ProcessOutput(DWORD, DWORD count, MFT_OUTPUT_DATA_BUFFER* buffers, DWORD* status) {
    *status = 0;
    if (count != 1 || outputs.empty()) {
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
    DWORD capacity = 0;
    buffer->Lock(&data, &capacity, nullptr);
    std::memcpy(data, unit.bytes.data(), unit.bytes.size());
    buffer->Unlock();
    buffer->SetCurrentLength(static_cast<DWORD>(unit.bytes.size()));
    buffer->Release();
    sample->SetUINT32(MFSampleExtension_CleanPoint, unit.idr ? 1 : 0);
    return S_OK;
}

HRESULT FakeH264Transform::SetValue(const GUID* api, VARIANT* value) {
    settings.push_back({*api, value->vt, value->vt == VT_BOOL ? static_cast<USHORT>(value->boolVal) : value->ulVal});
    if (*api == CODECAPI_AVEncVideoForceKeyFrame) {
        idrNext = true;
    }
    return S_OK;
}

HRESULT FakeH264Transform::GetEvent(DWORD flags, IMFMediaEvent** event) { return queue->GetEvent(flags, event); }

HRESULT FakeH264Transform::BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) {
    return queue->BeginGetEvent(callback, state);
}

HRESULT FakeH264Transform::EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) {
    return queue->EndGetEvent(result, event);
}

HRESULT FakeH264Transform::QueueEvent(MediaEventType type, REFGUID extended, HRESULT status,
                                      const PROPVARIANT* value) {
    return queue->QueueEventParamVar(type, extended, status, value);
}

HRESULT FakeH264Transform::Shutdown() {
    shutDown = true;
    return S_OK;
}
