#include "FakeAmfRuntime.h"

#include <cstring>
#include <deque>
#include <map>

namespace quillane::host::test {

namespace {

namespace amf = quillane::host::amf;

FakeAmfControl control;

enum class Kind { Context, Component, Surface, Buffer };

// One object of any kind; the table pointer comes first, as the runtime's layout wants.
struct FakeObject {
    FakeObject(const void* t, Kind k) : table(t), kind(k) {}

    const void* table;
    Kind kind;
    long refs = 1;
    std::map<std::wstring, amf::Variant> properties;
    std::int64_t pts = 0;
    void* texture = nullptr;
    amf::SurfaceObserver* observer = nullptr;
    std::vector<std::uint8_t> bytes;
    std::deque<FakeObject*> pending;  // component: surfaces in, no unit out yet
    bool idrNext = true;
};

FakeObject* self(amf::Object* object) { return reinterpret_cast<FakeObject*>(object); }
amf::Object* handle(FakeObject* object) { return reinterpret_cast<amf::Object*>(object); }

long acquire(amf::Object* object) { return ++self(object)->refs; }

long release(amf::Object* object) {
    FakeObject* o = self(object);
    const long left = --o->refs;
    if (left > 0) {
        return left;
    }
    switch (o->kind) {
    case Kind::Context: ++control.contextsFreed; break;
    case Kind::Component:
        ++control.componentsFreed;
        for (FakeObject* surface : o->pending) {
            release(handle(surface));
        }
        break;
    case Kind::Surface:
        ++control.surfacesFreed;
        if (o->observer != nullptr) {
            o->observer->table->OnSurfaceDataRelease(o->observer, object);
        }
        break;
    case Kind::Buffer: ++control.buffersFreed; break;
    }
    delete o;
    return 0;
}

amf::Result queryInterface(amf::Object* object, const amf::Guid* iid, void** out) {
    if (self(object)->kind == Kind::Buffer && std::memcmp(iid, &amf::kBufferIid, sizeof *iid) == 0) {
        acquire(object);
        *out = object;
        return amf::kOk;
    }
    *out = nullptr;
    return 8;  // AMF_NO_INTERFACE
}

amf::Result setProperty(amf::Object* object, const wchar_t* name, amf::Variant value) {
    FakeObject* o = self(object);
    o->properties[name] = value;
    if (o->kind == Kind::Component) {
        const std::int64_t number = value.type == amf::VariantType::Bool   ? (value.boolValue ? 1 : 0)
                                    : value.type == amf::VariantType::Rate ? value.rateValue.num
                                                                           : value.int64Value;
        control.componentProperties.push_back(
            {name, value.type, number, value.type == amf::VariantType::Rate ? value.rateValue.den : 0});
    }
    return amf::kOk;
}

amf::Result getProperty(amf::Object* object, const wchar_t* name, amf::Variant* value) {
    const auto& properties = self(object)->properties;
    const auto it = properties.find(name);
    if (it == properties.end()) {
        return 11;  // AMF_NOT_FOUND
    }
    *value = it->second;
    return amf::kOk;
}

constexpr amf::ObjectTable kObjectTable{acquire, release, queryInterface, setProperty, getProperty, {}};

void setPts(amf::Object* object, std::int64_t pts) { self(object)->pts = pts; }
std::int64_t getPts(amf::Object* object) { return self(object)->pts; }
std::size_t getSize(amf::Object* object) { return self(object)->bytes.size(); }
void* getNative(amf::Object* object) { return self(object)->bytes.data(); }

const amf::DataTable kSurfaceTable{kObjectTable, {}, setPts, getPts, {}};
const amf::BufferTable kBufferTable{{kObjectTable, {}, setPts, getPts, {}}, nullptr, getSize, getNative};

amf::Result contextTerminate(amf::Object*) {
    ++control.contextsTerminated;
    return amf::kOk;
}

amf::Result initDx11(amf::Object*, void* device, std::int32_t version) {
    control.dx11Device = device;
    control.dx11Version = version;
    return control.initDx11Result;
}

amf::Result wrapTexture(amf::Object*, void* texture, amf::Object** surface, amf::SurfaceObserver* observer) {
    auto* o = new FakeObject{&kSurfaceTable, Kind::Surface};
    o->texture = texture;
    o->observer = observer;
    ++control.surfacesCreated;
    *surface = handle(o);
    return amf::kOk;
}

const amf::ContextTable kContextTable{kObjectTable, contextTerminate, {}, initDx11, {}, wrapTexture};

amf::Result componentInit(amf::Object*, std::int32_t format, std::int32_t width, std::int32_t height) {
    control.initFormat = format;
    control.initWidth = width;
    control.initHeight = height;
    return control.componentInitResult;
}

amf::Result componentTerminate(amf::Object* object) {
    ++control.componentsTerminated;
    FakeObject* o = self(object);
    for (FakeObject* surface : o->pending) {
        release(handle(surface));
    }
    o->pending.clear();
    return amf::kOk;
}

amf::Result submitInput(amf::Object* object, amf::Object* data) {
    ++control.submitCalls;
    if (control.inputFullAnswers > 0) {
        --control.inputFullAnswers;
        ++control.inputFullReturned;
        return amf::kInputFull;
    }
    if (control.submitResult != amf::kOk) {
        return control.submitResult;
    }
    FakeObject* surface = self(data);
    acquire(data);
    self(object)->pending.push_back(surface);
    control.submittedTextures.push_back(reinterpret_cast<std::uintptr_t>(surface->texture));
    control.submittedPts.push_back(surface->pts);
    const auto forced = surface->properties.find(L"ForcePictureType");
    const auto forcedHevc = surface->properties.find(L"HevcForcePictureType");
    control.forcedPictureTypes.push_back(forced != surface->properties.end()       ? forced->second.int64Value
                                         : forcedHevc != surface->properties.end() ? forcedHevc->second.int64Value
                                                                                   : -1);
    return amf::kOk;
}

// An IDR unit carries SPS, PPS and an IDR slice; others one P slice. The last
// byte echoes the frame's time stamp.
amf::Result queryOutput(amf::Object* object, amf::Object** data) {
    FakeObject* component = self(object);
    *data = nullptr;
    if (component->pending.size() <= control.outputLatency) {
        return 24;  // AMF_REPEAT: nothing ready
    }
    FakeObject* surface = component->pending.front();
    component->pending.pop_front();
    const auto forced = surface->properties.count(L"ForcePictureType") + surface->properties.count(L"HevcForcePictureType");
    const bool idr = component->idrNext || forced > 0;
    component->idrNext = false;
    auto* buffer = new FakeObject{&kBufferTable, Kind::Buffer};
    ++control.buffersCreated;
    buffer->pts = surface->pts;
    if (idr) {
        buffer->bytes = {0, 0, 0, 1, 0x67, 0x4D, 0x00, 0x28, 0, 0, 0, 1, 0x68, 0xEE, 0x3C, 0x80, 0, 0, 1, 0x65, 0x88};
    } else {
        buffer->bytes = {0, 0, 0, 1, 0x41, 0x9A};
    }
    buffer->bytes.push_back(static_cast<std::uint8_t>(surface->pts));
    if (!control.omitOutputDataType) {
        buffer->properties[L"OutputDataType"] = amf::int64Variant(idr ? 0 : 2);
    }
    release(handle(surface));
    *data = handle(buffer);
    return amf::kOk;
}

const amf::ComponentTable kComponentTable{kObjectTable, {}, componentInit, nullptr, componentTerminate, {},
                                          submitInput,  queryOutput};

amf::Result createContext(amf::Factory*, amf::Object** context) {
    if (control.createContextResult != amf::kOk) {
        return control.createContextResult;
    }
    ++control.contextsCreated;
    *context = handle(new FakeObject{&kContextTable, Kind::Context});
    return amf::kOk;
}

amf::Result createComponent(amf::Factory*, amf::Object*, const wchar_t* id, amf::Object** component) {
    control.componentId = id;
    if (control.createComponentResult != amf::kOk) {
        return control.createComponentResult;
    }
    ++control.componentsCreated;
    *component = handle(new FakeObject{&kComponentTable, Kind::Component});
    return amf::kOk;
}

const amf::FactoryTable kFactoryTable{createContext, createComponent};
amf::Factory factory{&kFactoryTable};

}  // namespace

extern "C" {

__declspec(dllexport) amf::Result AMFInit(std::uint64_t version, amf::Factory** out) {
    control.initVersion = version;
    if (control.initResult != amf::kOk) {
        return control.initResult;
    }
    *out = &factory;
    return amf::kOk;
}

__declspec(dllexport) FakeAmfControl* FakeAmfControlState() {
    return &control;
}

}

}  // namespace quillane::host::test
