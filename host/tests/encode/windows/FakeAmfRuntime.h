#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "encode/windows/AmfRuntime.h"

namespace quillane::host::test {

// A stand-in for amfrt64.dll, built under that name in a folder of its own: it
// records what the encoder sets and submits and answers with small Annex B units.
// The encoder under test loads it by path; its state is exported.
struct FakeAmfControl {
    struct Property {
        std::wstring name;
        quillane::host::amf::VariantType type;
        std::int64_t value;  // Int64 value, Bool as 0/1, Rate numerator
        std::uint32_t denominator;
    };

    // Answers the next calls give.
    quillane::host::amf::Result initResult = 0;
    quillane::host::amf::Result createContextResult = 0;
    quillane::host::amf::Result initDx11Result = 0;
    quillane::host::amf::Result createComponentResult = 0;
    quillane::host::amf::Result componentInitResult = 0;
    quillane::host::amf::Result submitResult = 0;
    int inputFullAnswers = 0;     // that many submissions answer AMF_INPUT_FULL first
    std::size_t outputLatency = 0;  // a unit comes out once that many later frames are in
    bool omitOutputDataType = false;

    // What the encoder did.
    std::uint64_t initVersion = 0;
    void* dx11Device = nullptr;
    std::int32_t dx11Version = 0;
    std::wstring componentId;
    std::vector<Property> componentProperties;  // in the order set
    std::int32_t initFormat = -1;
    std::int32_t initWidth = 0;
    std::int32_t initHeight = 0;
    int contextsCreated = 0;
    int contextsTerminated = 0;
    int contextsFreed = 0;
    int componentsCreated = 0;
    int componentsTerminated = 0;
    int componentsFreed = 0;
    int surfacesCreated = 0;
    int surfacesFreed = 0;  // last reference gone; the observer was told
    int buffersCreated = 0;
    int buffersFreed = 0;
    int submitCalls = 0;
    int inputFullReturned = 0;
    std::vector<std::uintptr_t> submittedTextures;  // the texture behind each accepted surface
    std::vector<std::int64_t> submittedPts;
    std::vector<std::int64_t> forcedPictureTypes;   // per accepted surface, -1 when not set
};

extern "C" {
using FakeAmfControlFunction = FakeAmfControl* (*)();
}

}  // namespace quillane::host::test
