#pragma once

// The part of AMD's Advanced Media Framework runtime ("amfrt64.dll") that the AMF
// encoder calls, declared in the runtime's C layout: each interface is a pointer to
// a table of function pointers whose first argument is the object itself. Only the
// methods called here are typed; the others are kept as unused slots so that every
// typed method sits at its published position.
//
// Checked against AMD's published AMF SDK material: the method order of every typed
// slot against the SDK's C interface tables (AMFInterface, AMFPropertyStorage and
// AMFPropertyStorageEx, AMFData, AMFBuffer, AMFContext, AMFComponent,
// AMFSurfaceObserver), the AMFFactory order, AMFInit and the result codes against
// the AMF API reference, the AMFBuffer interface id against its declaration, and the
// variant's union against its member list. The static_asserts at the end pin each
// slot.

#include <cstddef>
#include <cstdint>

namespace quillane::host::amf {

using Result = std::int32_t;  // AMF_RESULT
inline constexpr Result kOk = 0;
inline constexpr Result kFail = 1;
inline constexpr Result kOutOfRange = 5;
inline constexpr Result kOutOfMemory = 6;
inline constexpr Result kNotSupported = 10;
inline constexpr Result kNotInitialized = 13;
inline constexpr Result kInputFull = 25;

inline constexpr std::uint64_t kVersion_1_5_0_0 = 0x0001000500000000ull;  // AMF_MAKE_FULL_VERSION(1, 5, 0, 0)
inline constexpr std::int32_t kDx11_0 = 110;                              // AMF_DX11_0
inline constexpr std::int32_t kSurfaceBgra = 3;                           // AMF_SURFACE_BGRA

// AMF_VARIANT_TYPE values used here.
enum class VariantType : std::int32_t { Empty = 0, Bool = 1, Int64 = 2, Rate = 7 };

struct Rate {
    std::uint32_t num;
    std::uint32_t den;
};

// AMFVariantStruct: the type, then a 16-byte union (its largest members are four
// 32-bit values); 24 bytes in all.
struct Variant {
    VariantType type;
    union {
        bool boolValue;
        std::int64_t int64Value;
        Rate rateValue;
        unsigned char raw[16];
    };
};
static_assert(sizeof(Variant) == 24 && offsetof(Variant, int64Value) == 8);

inline Variant int64Variant(std::int64_t v) {
    Variant variant{};
    variant.type = VariantType::Int64;
    variant.int64Value = v;
    return variant;
}
inline Variant boolVariant(bool v) {
    Variant variant{};
    variant.type = VariantType::Bool;
    variant.boolValue = v;
    return variant;
}
inline Variant rateVariant(std::uint32_t num, std::uint32_t den) {
    Variant variant{};
    variant.type = VariantType::Rate;
    variant.rateValue = Rate{num, den};
    return variant;
}

// AMFGuid: same layout as a Windows GUID.
struct Guid {
    std::uint32_t data1;
    std::uint16_t data2;
    std::uint16_t data3;
    std::uint8_t data4[8];
};
inline constexpr Guid kBufferIid{0xb04b7248, 0xb6f0, 0x4321, {0xb6, 0x91, 0xba, 0xa4, 0x74, 0x0f, 0x9f, 0xcb}};

using Slot = void (*)();

struct Object;  // any AMFInterface-derived object: AMFData, AMFBuffer, AMFSurface, AMFContext, AMFComponent
struct SurfaceObserver;

// AMFInterface (slots 0-2), AMFPropertyStorage (3-12), AMFPropertyStorageEx (13-16)
// as one prefix; every interface below starts with the first two groups.
struct ObjectTable {
    long (*Acquire)(Object*);                                              // 0
    long (*Release)(Object*);                                              // 1
    Result (*QueryInterface)(Object*, const Guid* iid, void** out);        // 2
    Result (*SetProperty)(Object*, const wchar_t* name, Variant value);    // 3
    Result (*GetProperty)(Object*, const wchar_t* name, Variant* value);   // 4
    Slot propertyStorageRest[8];  // HasProperty .. RemoveObserver, 5-12
};

// AMFData after the property storage: GetMemoryType 13 .. IsReusable 18, SetPts 19, GetPts 20.
struct DataTable {
    ObjectTable base;
    Slot dataHead[6];
    void (*SetPts)(Object*, std::int64_t pts);  // 19
    std::int64_t (*GetPts)(Object*);            // 20
    Slot duration[2];                           // SetDuration 21, GetDuration 22
};

// AMFBuffer after AMFData: SetSize 23, GetSize 24, GetNative 25.
struct BufferTable {
    DataTable data;
    Slot setSize;
    std::size_t (*GetSize)(Object*);  // 24
    void* (*GetNative)(Object*);      // 25
};

// AMFContext after the property storage.
struct ContextTable {
    ObjectTable base;
    Result (*Terminate)(Object*);                                                  // 13
    Slot dx9[4];                                                                   // 14-17
    Result (*InitDX11)(Object*, void* device, std::int32_t dxVersion);             // 18
    Slot betweenDx11AndWrap[30];                                                   // GetDX11Device 19 .. CreateSurfaceFromDX9Native 48
    Result (*CreateSurfaceFromDX11Native)(Object*, void* texture, Object** surface,
                                          SurfaceObserver* observer);              // 49
};

// AMFComponent after AMFPropertyStorageEx (13-16).
struct ComponentTable {
    ObjectTable base;
    Slot propertyStorageEx[4];                                                     // 13-16
    Result (*Init)(Object*, std::int32_t format, std::int32_t width, std::int32_t height);  // 17
    Slot reInit;                                                                   // 18
    Result (*Terminate)(Object*);                                                  // 19
    Slot drainAndFlush[2];                                                         // 20-21
    Result (*SubmitInput)(Object*, Object* data);                                  // 22
    Result (*QueryOutput)(Object*, Object** data);                                 // 23
};

// AMFFactory is no AMFInterface: CreateContext 0, CreateComponent 1.
struct Factory;
struct FactoryTable {
    Result (*CreateContext)(Factory*, Object** context);
    Result (*CreateComponent)(Factory*, Object* context, const wchar_t* id, Object** component);
};
struct Factory {
    const FactoryTable* table;
};

// Every AMF object starts with its table; which table depends on the interface.
struct Object {
    const void* table;
    const ObjectTable& object() const { return *static_cast<const ObjectTable*>(table); }
    const DataTable& data() const { return *static_cast<const DataTable*>(table); }
    const BufferTable& buffer() const { return *static_cast<const BufferTable*>(table); }
    const ContextTable& context() const { return *static_cast<const ContextTable*>(table); }
    const ComponentTable& component() const { return *static_cast<const ComponentTable*>(table); }
};

// AMFSurfaceObserver: one method, told when the runtime has let go of a surface.
struct SurfaceObserverTable {
    void (*OnSurfaceDataRelease)(SurfaceObserver*, Object* surface);  // 0
};
struct SurfaceObserver {
    const SurfaceObserverTable* table;
};

using InitFunction = Result (*)(std::uint64_t version, Factory** factory);  // AMFInit

constexpr std::size_t slotOf(std::size_t offset) { return offset / sizeof(Slot); }
static_assert(slotOf(offsetof(ObjectTable, Release)) == 1 && slotOf(offsetof(ObjectTable, QueryInterface)) == 2);
static_assert(slotOf(offsetof(ObjectTable, SetProperty)) == 3 && slotOf(offsetof(ObjectTable, GetProperty)) == 4);
static_assert(sizeof(ObjectTable) == 13 * sizeof(Slot));
static_assert(slotOf(offsetof(DataTable, SetPts)) == 19 && slotOf(offsetof(DataTable, GetPts)) == 20);
static_assert(slotOf(offsetof(BufferTable, GetSize)) == 24 && slotOf(offsetof(BufferTable, GetNative)) == 25);
static_assert(slotOf(offsetof(ContextTable, Terminate)) == 13 && slotOf(offsetof(ContextTable, InitDX11)) == 18);
static_assert(slotOf(offsetof(ContextTable, CreateSurfaceFromDX11Native)) == 49);
static_assert(slotOf(offsetof(ComponentTable, Init)) == 17 && slotOf(offsetof(ComponentTable, Terminate)) == 19);
static_assert(slotOf(offsetof(ComponentTable, SubmitInput)) == 22 && slotOf(offsetof(ComponentTable, QueryOutput)) == 23);
static_assert(slotOf(offsetof(FactoryTable, CreateComponent)) == 1);

}  // namespace quillane::host::amf
