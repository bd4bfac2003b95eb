#include "encode/windows/AmfEncoder.h"

#include <windows.h>
#include <d3d11.h>

#include <spdlog/spdlog.h>

#include "common/LineSource.h"
#include "platform/windows/D3D11Textures.h"
#include "platform/windows/SystemLibrary.h"

namespace quillane::host {
namespace {

// Textures that may be in the runtime's hands at once; more means the runtime
// stopped giving them back.
constexpr std::size_t kMaxRingDepth = 16;

amf::Variant toVariant(const AmfProperty& property) {
    switch (property.kind) {
    case AmfProperty::Kind::Bool: return amf::boolVariant(property.value != 0);
    case AmfProperty::Kind::Rate:
        return amf::rateVariant(static_cast<std::uint32_t>(property.value), property.denominator);
    case AmfProperty::Kind::Int64: break;
    }
    return amf::int64Variant(property.value);
}

void release(amf::Object*& object) {
    if (object != nullptr) {
        object->object().Release(object);
        object = nullptr;
    }
}

}  // namespace

AmfEncoder::AmfEncoder(std::wstring runtimePath) : runtimePath(std::move(runtimePath)) {}

AmfEncoder::~AmfEncoder() {
    shutdown();
    releaseAll();
}

bool AmfEncoder::initialize(EncoderDevice device, const EncoderConfig& config) {
    if (const std::optional<bool> refused = refuseInitialize("AMF", device != nullptr, config)) {
        return *refused;
    }
    releaseAll();
    holdDevice(device, d3dDevice, d3dContext);
    encoderConfig = config;
    hevc = amfIsHevc(config);
    nalRule = hevc ? NalRule::HEVC : NalRule::H264;
    if (!loadAmf()) {
        SPDLOG_ERROR("Failed to load AMF library");
        releaseAll();
        return false;
    }
    if (!createEncoder()) {
        SPDLOG_ERROR("Failed to create AMF encoder");
        releaseAll();
        return false;
    }
    initialized = true;
    if (std::size_t held = 0; StreamLineScope::allow(held)) {
        SPDLOG_INFO("AMF encoder initialized: {}x{} @ {}fps, {}kbps ({}){}", encoderConfig.width, encoderConfig.height,
                    encoderConfig.fps, encoderConfig.bitrateKbps, hevc ? "HEVC" : "H.264", heldNote(held));
    }
    return true;
}

bool AmfEncoder::loadAmf() {
    // The runtime comes with the display driver; only the system folder is searched.
    HMODULE module = runtimePath.empty() ? loadSystemLibrary(L"amfrt64.dll") : LoadLibraryW(runtimePath.c_str());
    if (module == nullptr) {
        SPDLOG_ERROR("Failed to load amfrt64.dll - AMD drivers may not be installed");
        return false;
    }
    library = module;
    auto init = reinterpret_cast<amf::InitFunction>(reinterpret_cast<void (*)()>(GetProcAddress(module, "AMFInit")));
    if (init == nullptr) {
        SPDLOG_ERROR("Failed to get AMFInit function");
        return false;
    }
    amf::Result result = init(amf::kVersion_1_5_0_0, &factory);
    if (result != amf::kOk || factory == nullptr) {
        SPDLOG_ERROR("AMFInit failed: {}", result);
        factory = nullptr;
        return false;
    }
    result = factory->table->CreateContext(factory, &amfContext);
    if (result != amf::kOk || amfContext == nullptr) {
        SPDLOG_ERROR("Failed to create AMF context: {}", result);
        release(amfContext);
        return false;
    }
    result = amfContext->context().InitDX11(amfContext, d3dDevice.Get(), amf::kDx11_0);
    if (result != amf::kOk) {
        SPDLOG_ERROR("Failed to init AMF context with D3D11: {}", result);
        return false;
    }
    return true;
}

bool AmfEncoder::createEncoder() {
    amf::Result result = factory->table->CreateComponent(factory, amfContext, amfComponentId(hevc), &encoder);
    if (result != amf::kOk || encoder == nullptr) {
        SPDLOG_ERROR("Failed to create AMF encoder component: {}", result);
        release(encoder);
        return false;
    }
    for (const AmfProperty& property : amfEncoderProperties(encoderConfig)) {
        setProperty(encoder, property);
    }
    if (std::size_t held = 0; encoderConfig.fullRange && StreamLineScope::allow(held)) {
        SPDLOG_INFO("AMF {}: Full range color (0-255) enabled{}", hevc ? "HEVC" : "H.264", heldNote(held));
    }
    result = encoder->component().Init(encoder, amf::kSurfaceBgra, static_cast<std::int32_t>(encoderConfig.width),
                                        static_cast<std::int32_t>(encoderConfig.height));
    if (result != amf::kOk) {
        SPDLOG_ERROR("AMF ENCODER ERROR: Failed to init {}x{} (error {}). {}", encoderConfig.width, encoderConfig.height, result,
                      amfInitHint(result));
        return false;
    }
    return true;
}

void AmfEncoder::setProperty(amf::Object* object, const AmfProperty& property) {
    object->object().SetProperty(object, property.name, toVariant(property));
}

void AmfEncoder::releaseAll() {
    // The component and the context let go of every surface when they terminate,
    // so the ring textures are free after them.
    if (encoder != nullptr) {
        encoder->component().Terminate(encoder);
        release(encoder);
    }
    if (amfContext != nullptr) {
        amfContext->context().Terminate(amfContext);
        release(amfContext);
    }
    ring.clear();
    factory = nullptr;  // owned by the runtime
    if (library != nullptr) {
        FreeLibrary(static_cast<HMODULE>(library));
        library = nullptr;
    }
    d3dContext.Reset();
    d3dDevice.Reset();
}

void AmfEncoder::shutdown() {
    if (!initialized) {
        return;
    }
    initialized = false;
    releaseAll();  // output still inside the component is dropped
    if (std::size_t held = 0; StreamLineScope::allow(held)) SPDLOG_INFO("AMF encoder shutdown{}", heldNote(held));
}

bool AmfEncoder::reconfigure(const EncoderConfig& config) {
    if (!initialized) {
        SPDLOG_ERROR("AMF encoder not initialized, cannot reconfigure");
        return false;
    }
    const Microsoft::WRL::ComPtr<ID3D11Device> device = d3dDevice;  // shutdown lets go of the encoder's reference
    return reconfigureOrReopen("AMF", device.Get(), config);
}

void AmfEncoder::applyPendingBitrate() {
    const std::optional<PendingBitrate::Rates> rates = pendingBitrate.take();
    if (!rates) {
        return;
    }
    for (const AmfProperty& property : amfBitrateProperties(hevc, rates->bitrateKbps, rates->maxBitrateKbps)) {
        setProperty(encoder, property);
    }
    encoderConfig.bitrateKbps = rates->bitrateKbps;
    encoderConfig.maxBitrateKbps = rates->maxBitrateKbps;
    SPDLOG_INFO("AMF bitrate updated to {} / {} kbps", rates->bitrateKbps, rates->maxBitrateKbps);
}

void AmfEncoder::onSurfaceReleased(amf::SurfaceObserver* observer, amf::Object*) {
    reinterpret_cast<RingSlot*>(observer)->busy.store(false, std::memory_order_release);
}

AmfEncoder::RingSlot* AmfEncoder::freeSlot() {
    for (const std::unique_ptr<RingSlot>& slot : ring) {
        if (!slot->busy.load(std::memory_order_acquire)) {
            return slot.get();
        }
    }
    if (ring.size() >= kMaxRingDepth) {
        SPDLOG_ERROR("AMF encoder: all {} input textures are still in use", ring.size());
        return nullptr;
    }
    const D3D11_TEXTURE2D_DESC desc =
        bgraTextureDesc(encoderConfig.width, encoderConfig.height, D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE);
    auto slot = std::make_unique<RingSlot>();
    static const amf::SurfaceObserverTable table{&AmfEncoder::onSurfaceReleased};
    slot->observer.table = &table;
    const HRESULT hr = d3dDevice->CreateTexture2D(&desc, nullptr, slot->texture.ReleaseAndGetAddressOf());
    if (FAILED(hr)) {
        SPDLOG_ERROR("Failed to create input texture: {:#x}", static_cast<std::uint32_t>(hr));
        return nullptr;
    }
    ring.push_back(std::move(slot));
    return ring.back().get();
}

bool AmfEncoder::encodeFrame(EncoderInput input) {
    if (!initialized || input == nullptr) {
        return false;
    }
    const auto start = std::chrono::steady_clock::now();
    applyPendingBitrate();
    RingSlot* slot = freeSlot();
    if (slot == nullptr) {
        drainOutput();  // gives the runtime a chance to let go of textures
        slot = freeSlot();
        if (slot == nullptr) {
            return false;
        }
    }
    d3dContext->CopyResource(slot->texture.Get(), input);
    slot->busy = true;
    amf::Object* surface = nullptr;
    const amf::Result created =
        amfContext->context().CreateSurfaceFromDX11Native(amfContext, slot->texture.Get(), &surface, &slot->observer);
    if (created != amf::kOk || surface == nullptr) {
        SPDLOG_ERROR("Failed to create AMF surface from texture: {}", created);
        release(surface);
        slot->busy = false;
        return false;
    }
    surface->data().SetPts(surface, submitCounter);
    const bool keyframeWanted = takeKeyframeRequest();
    if (keyframeWanted) {
        setProperty(surface, amfForceIdrProperty(hevc));
    }
    const bool submitted = submit(surface);
    release(surface);  // the component holds its own reference while it needs one
    if (!submitted) {
        if (keyframeWanted) {
            restoreKeyframeRequest();
        }
        return false;
    }
    ++submitCounter;
    drainOutput();
    stats.addEncodeTime(start);
    return true;
}

bool AmfEncoder::submit(amf::Object* surface) {
    amf::Result result = encoder->component().SubmitInput(encoder, surface);
    if (result == amf::kInputFull) {
        drainOutput();
        result = encoder->component().SubmitInput(encoder, surface);
    }
    if (result != amf::kOk) {
        SPDLOG_ERROR("Failed to submit frame to AMF encoder: {}", result);
        return false;
    }
    return true;
}

void AmfEncoder::drainOutput() {
    for (;;) {
        amf::Object* data = nullptr;
        if (encoder->component().QueryOutput(encoder, &data) != amf::kOk || data == nullptr) {
            release(data);
            return;
        }
        amf::Object* buffer = nullptr;
        if (data->object().QueryInterface(data, &amf::kBufferIid, reinterpret_cast<void**>(&buffer)) == amf::kOk &&
            buffer != nullptr) {
            deliver(buffer);
        }
        release(buffer);
        release(data);
    }
}

void AmfEncoder::deliver(amf::Object* buffer) {
    const auto* bytes = static_cast<const std::uint8_t*>(buffer->buffer().GetNative(buffer));
    const std::size_t size = buffer->buffer().GetSize(buffer);
    if (bytes == nullptr || size == 0 || !outputCallback) {
        return;
    }
    amf::Variant type{};
    const bool typeRead = buffer->object().GetProperty(buffer, amfOutputDataTypeName(hevc), &type) == amf::kOk &&
                          type.type == amf::VariantType::Int64;
    // Without the runtime's word, only a unit that holds an IDR slice is a keyframe.
    const bool keyframe = typeRead ? type.int64Value == 0 : containsIdr(bytes, size, nalRule);
    if (keyframe) {
        parameterSets.scan(bytes, size, nalRule);
    }
    const std::int64_t pts = buffer->data().GetPts(buffer);
    EncodedFrame frame;
    frame.data = bytes;
    frame.size = size;
    frame.timestampUs = pts;
    frame.isKeyframe = keyframe;
    frame.frameNumber = static_cast<std::uint32_t>(pts);
    outputCallback(frame);
    stats.addFrame(size);
}

}  // namespace quillane::host
