#include "encode/windows/AmfEncoder.h"

#include <windows.h>

#include <algorithm>
#include <array>

#include <gtest/gtest.h>

#include "D3DTestDevice.h"
#include "EncodeLog.h"
#include "FakeAmfRuntime.h"
#include "encode/EncoderFactory.h"
#include "platform/Paths.h"

namespace quillane::host::test {
namespace {

using spdlog::level::err;
using spdlog::level::info;
using Bytes = std::vector<std::uint8_t>;
using Kind = AmfProperty::Kind;

// The stand-in runtime in the "amf" folder beside this program.
std::wstring fakeRuntimePath() { return (executableFolder() / L"amf" / L"amfrt64.dll").wstring(); }

std::vector<AmfProperty> recorded(const FakeAmfControl& fake) {
    std::vector<AmfProperty> properties;
    for (const FakeAmfControl::Property& p : fake.componentProperties) {
        const Kind kind = p.type == amf::VariantType::Bool   ? Kind::Bool
                          : p.type == amf::VariantType::Rate ? Kind::Rate
                                                             : Kind::Int64;
        properties.push_back({p.name.c_str(), kind, p.value, p.denominator});
    }
    return properties;
}

// The fake runtime is held for the whole test so that its state outlives the
// encoder's own load and free; `unloadFake` lets go of it to see that nothing
// else holds it.
class AmfEncoderTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (gpu.device == nullptr) {
            GTEST_SKIP() << "no Direct3D 11 device";
        }
        loadFake();
        texture = gpu.makeTexture(640, 480);
        ASSERT_NE(texture, nullptr);
    }
    void TearDown() override {
        if (texture != nullptr) {
            texture->Release();
        }
        unloadFake();
    }
    void loadFake() {
        runtime = LoadLibraryW(fakeRuntimePath().c_str());
        ASSERT_NE(runtime, nullptr);
        auto state = reinterpret_cast<FakeAmfControlFunction>(
            reinterpret_cast<void (*)()>(GetProcAddress(runtime, "FakeAmfControlState")));
        ASSERT_NE(state, nullptr);
        fake = state();
        *fake = FakeAmfControl{};
    }
    void unloadFake() {
        if (runtime != nullptr) {
            FreeLibrary(runtime);
            runtime = nullptr;
            fake = nullptr;
        }
    }
    static bool fakeLoaded() { return GetModuleHandleW(fakeRuntimePath().c_str()) != nullptr; }

    std::vector<EncodedUnit> encode(AmfEncoder& encoder, bool* returned = nullptr) {
        return encodeOne(encoder, texture, returned);
    }

    D3DTestDevice gpu;
    HMODULE runtime = nullptr;
    FakeAmfControl* fake = nullptr;
    ID3D11Texture2D* texture = nullptr;
    EncoderConfig config = smallEncoderConfig();
};

// Setup, frames through a ring of the encoder's own textures with output one
// frame late, a forced IDR, and a shutdown that lets go of everything.
TEST_F(AmfEncoderTest, H264SessionFramesAndKeyframes) {
    test::EncodeLog log;
    fake->outputLatency = 1;
    AmfEncoder encoder(fakeRuntimePath());
    ASSERT_TRUE(encoder.initialize(gpu.device, config));
    EXPECT_TRUE(log.has(info, "AMF encoder initialized: 640x480 @ 60fps, 6000kbps (H.264)"));
    EXPECT_EQ(fake->initVersion, 0x0001000500000000ull);
    EXPECT_EQ(fake->dx11Device, gpu.device);
    EXPECT_EQ(fake->dx11Version, 110);
    EXPECT_EQ(fake->componentId, L"AMFVideoEncoderVCE_AVC");
    EXPECT_EQ(recorded(*fake), amfEncoderProperties(config));
    EXPECT_EQ((std::array{fake->initFormat, fake->initWidth, fake->initHeight}), (std::array{3, 640, 480}));

    bool returned = false;
    EXPECT_TRUE(encode(encoder, &returned).empty());  // still inside the component
    EXPECT_TRUE(returned);
    std::vector<EncodedUnit> units = encode(encoder);
    ASSERT_EQ(units.size(), 1u);
    EXPECT_TRUE(units[0].isKeyframe);
    EXPECT_EQ(units[0].frameNumber, 0u);
    const ParameterSets sets = encoder.getParameterSets();
    EXPECT_EQ(sets.sps, (Bytes{0x67, 0x4D, 0x00, 0x28}));
    EXPECT_EQ(sets.pps, (Bytes{0x68, 0xEE, 0x3C, 0x80}));
    EXPECT_TRUE(sets.isValid);
    for (std::int64_t i = 2; i < 5; ++i) {
        units = encode(encoder);
        ASSERT_EQ(units.size(), 1u);
        EXPECT_FALSE(units[0].isKeyframe);
        EXPECT_EQ(units[0].timestampUs, i - 1);
        EXPECT_EQ(units[0].bytes.back(), i - 1);
    }
    // The runtime reads the encoder's copies, never the caller's texture; with one
    // frame in flight two copies take turns.
    ASSERT_EQ(fake->submittedTextures.size(), 5u);
    EXPECT_EQ(fake->submittedPts, (std::vector<std::int64_t>{0, 1, 2, 3, 4}));
    EXPECT_EQ(std::count(fake->submittedTextures.begin(), fake->submittedTextures.end(),
                         reinterpret_cast<std::uintptr_t>(texture)),
              0);
    EXPECT_NE(fake->submittedTextures[0], fake->submittedTextures[1]);
    EXPECT_EQ(fake->submittedTextures[2], fake->submittedTextures[0]);
    EXPECT_EQ(fake->surfacesCreated - fake->surfacesFreed, 1);

    encoder.requestKeyframe();
    encode(encoder);
    units = encode(encoder);
    ASSERT_EQ(units.size(), 1u);
    EXPECT_TRUE(units[0].isKeyframe);
    EXPECT_EQ(fake->forcedPictureTypes, (std::vector<std::int64_t>{-1, -1, -1, -1, -1, 2, -1}));
    EXPECT_EQ(encoder.getStats().framesEncoded, 6u);

    encoder.shutdown();
    EXPECT_FALSE(encoder.isInitialized());
    EXPECT_TRUE(log.has(info, "AMF encoder shutdown"));
    EXPECT_EQ((std::array{fake->componentsTerminated, fake->componentsFreed, fake->contextsTerminated,
                          fake->contextsFreed}),
              (std::array{1, 1, 1, 1}));
    EXPECT_EQ(fake->surfacesFreed, fake->surfacesCreated);
    EXPECT_EQ(fake->buffersFreed, fake->buffersCreated);
    unloadFake();
    EXPECT_FALSE(fakeLoaded());
}

// A full input queue is drained and the frame offered once more; a second refusal
// loses the frame but neither its surface nor the keyframe request.
TEST_F(AmfEncoderTest, InputFullAndRefusedFrames) {
    test::EncodeLog log;
    fake->outputLatency = 1;
    AmfEncoder encoder(fakeRuntimePath());
    ASSERT_TRUE(encoder.initialize(gpu.device, config));
    encode(encoder);
    fake->inputFullAnswers = 1;
    bool returned = false;
    std::vector<EncodedUnit> units = encode(encoder, &returned);
    EXPECT_TRUE(returned);
    EXPECT_EQ(fake->inputFullReturned, 1);
    EXPECT_EQ(fake->submitCalls, 3);
    EXPECT_EQ(units.size(), 1u);

    encoder.requestKeyframe();
    fake->inputFullAnswers = 2;
    units = encode(encoder, &returned);
    EXPECT_FALSE(returned);
    EXPECT_TRUE(log.has(err, "Failed to submit frame to AMF encoder: 25"));
    fake->submitResult = amf::kFail;
    EXPECT_FALSE(encoder.encodeFrame(texture));
    EXPECT_TRUE(log.has(err, "Failed to submit frame to AMF encoder: 1"));
    EXPECT_EQ(fake->surfacesCreated - fake->surfacesFreed, 1);  // only the accepted frame still in flight

    fake->submitResult = amf::kOk;
    encode(encoder);
    EXPECT_EQ(fake->forcedPictureTypes.back(), 2);
    EXPECT_EQ(fake->submittedPts.back(), 2);  // refused frames take no number
    EXPECT_FALSE(encoder.encodeFrame(nullptr));
}

// An HEVC session; bitrate changes wait for the encoding thread's next frame and
// the newest one wins.
TEST_F(AmfEncoderTest, HevcSessionAndBitrateUpdates) {
    test::EncodeLog log;
    config.codec = "hevc";
    config.fullRange = true;
    AmfEncoder encoder(fakeRuntimePath());
    ASSERT_TRUE(encoder.initialize(gpu.device, config));
    EXPECT_TRUE(log.has(info, "AMF encoder initialized: 640x480 @ 60fps, 6000kbps (HEVC)"));
    EXPECT_TRUE(log.has(info, "AMF HEVC: Full range color (0-255) enabled"));
    EXPECT_EQ(fake->componentId, L"AMFVideoEncoderHW_HEVC");
    EXPECT_EQ(recorded(*fake), amfEncoderProperties(config));
    const std::size_t setup = fake->componentProperties.size();
    encoder.setBitrate(2000, 3000);
    encoder.setBitrate(2500, 3500);
    EXPECT_EQ(fake->componentProperties.size(), setup);
    encode(encoder);
    const std::vector<AmfProperty> all = recorded(*fake);
    EXPECT_EQ(std::vector(all.begin() + setup, all.end()),
              (std::vector<AmfProperty>{{L"HevcTargetBitrate", Kind::Int64, 2'500'000, 0},
                                        {L"HevcPeakBitrate", Kind::Int64, 3'500'000, 0}}));
    EXPECT_TRUE(log.has(info, "AMF bitrate updated to 2500 / 3500 kbps"));
    EXPECT_FALSE(log.has(info, "AMF bitrate updated to 2000 / 3000 kbps"));
    encoder.requestKeyframe();
    encode(encoder);
    EXPECT_EQ(fake->componentProperties.size(), setup + 2);
    EXPECT_EQ(fake->forcedPictureTypes, (std::vector<std::int64_t>{-1, 2}));

    EncoderConfig sameSize = config;
    sameSize.bitrateKbps = 4000;
    EXPECT_TRUE(encoder.reconfigure(sameSize));
    encode(encoder);
    EXPECT_EQ(fake->componentProperties[setup + 2].value, 4'000'000);

    // Another size opens a new component on the same device.
    EncoderConfig otherSize = sameSize;
    otherSize.width = 1280;
    EXPECT_TRUE(encoder.reconfigure(otherSize));
    EXPECT_TRUE(log.has(info, "AMF resolution change requires reinit: 640x480 -> 1280x480"));
    EXPECT_EQ(fake->componentsFreed, 1);
    EXPECT_EQ(fake->componentsCreated, 2);
    EXPECT_EQ(fake->initWidth, 1280);
    EXPECT_EQ(fake->dx11Device, gpu.device);
    EXPECT_EQ(fake->componentProperties[setup + 4 + 5].value, 4'000'000);  // the new config's target
}

// Without the picture type only units with an IDR slice count as keyframes.
TEST_F(AmfEncoderTest, UnreadablePictureTypeFallsBackToTheSlices) {
    fake->omitOutputDataType = true;
    AmfEncoder encoder(fakeRuntimePath());
    ASSERT_TRUE(encoder.initialize(gpu.device, config));
    std::vector<EncodedUnit> units = encode(encoder);
    ASSERT_EQ(units.size(), 1u);
    EXPECT_TRUE(units[0].isKeyframe);
    EXPECT_TRUE(encoder.getParameterSets().isValid);
    units = encode(encoder);
    ASSERT_EQ(units.size(), 1u);
    EXPECT_FALSE(units[0].isKeyframe);
}

// Each failing step logs its own line and the summary, and leaves the runtime
// unloaded with every object it made released.
TEST_F(AmfEncoderTest, FailedInitializeReleasesEverything) {
    struct Case {
        void (*arrange)(FakeAmfControl&);
        const char* line;
        const char* summary;
    };
    const Case cases[] = {
        {[](FakeAmfControl& f) { f.initResult = amf::kNotSupported; }, "AMFInit failed: 10", "Failed to load AMF library"},
        {[](FakeAmfControl& f) { f.createContextResult = amf::kFail; }, "Failed to create AMF context: 1",
         "Failed to load AMF library"},
        {[](FakeAmfControl& f) { f.initDx11Result = 18; }, "Failed to init AMF context with D3D11: 18",
         "Failed to load AMF library"},
        {[](FakeAmfControl& f) { f.createComponentResult = amf::kNotSupported; },
         "Failed to create AMF encoder component: 10", "Failed to create AMF encoder"},
        {[](FakeAmfControl& f) { f.componentInitResult = amf::kOutOfRange; },
         "AMF ENCODER ERROR: Failed to init 640x480 (error 5). Resolution may be too small (min ~64x64) or too large",
         "Failed to create AMF encoder"},
        {[](FakeAmfControl& f) { f.componentInitResult = 99; },
         "AMF ENCODER ERROR: Failed to init 640x480 (error 99). Try updating AMD drivers", "Failed to create AMF encoder"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        test::EncodeLog log;
        c.arrange(*fake);
        {
            AmfEncoder encoder(fakeRuntimePath());
            EXPECT_FALSE(encoder.initialize(gpu.device, config));
            EXPECT_FALSE(encoder.isInitialized());
            EXPECT_TRUE(log.has(err, c.line));
            EXPECT_TRUE(log.has(err, c.summary));
            EXPECT_EQ(fake->contextsFreed, fake->contextsCreated);
            EXPECT_EQ(fake->componentsFreed, fake->componentsCreated);
            unloadFake();
            EXPECT_FALSE(fakeLoaded());
        }
        loadFake();
    }

    test::EncodeLog log;
    AmfEncoder missing(L"no-such-folder\\amfrt64.dll");
    EXPECT_FALSE(missing.initialize(gpu.device, config));
    EXPECT_TRUE(log.has(err, "Failed to load amfrt64.dll - AMD drivers may not be installed"));
    EXPECT_TRUE(log.has(err, "Failed to load AMF library"));
    EXPECT_FALSE(missing.reconfigure(config));
    EXPECT_TRUE(log.has(err, "AMF encoder not initialized, cannot reconfigure"));
    EXPECT_FALSE(missing.encodeFrame(texture));
}

// An AMD adapter whose runtime loads gets this encoder from the factory.
TEST_F(AmfEncoderTest, FactoryCreatesItForAmdAdapters) {
    test::EncodeLog log;
    EncoderProbes probes = platformEncoderProbes();
    probes.adapterVendorId = [](EncoderDevice) { return std::optional<std::uint32_t>(0x1002); };
    probes.runtimeLoadable = [](const char* name) { return std::string(name) == "amfrt64.dll"; };
    const auto platformMake = probes.makeEncoder;
    probes.makeEncoder = [&](EncoderType type) -> std::unique_ptr<EncoderBase> {
        if (type == EncoderType::AMF) {
            return std::make_unique<AmfEncoder>(fakeRuntimePath());
        }
        return platformMake(type);
    };
    EXPECT_EQ(EncoderFactory::getAvailableEncoders(gpu.device, probes), std::vector<EncoderType>{EncoderType::AMF});
    std::unique_ptr<EncoderBase> encoder = EncoderFactory::createBestEncoder(gpu.device, config, probes);
    ASSERT_NE(encoder, nullptr);
    EXPECT_STREQ(encoder->getName(), "AMF");
    EXPECT_TRUE(log.has(info, "AMF encoder available"));
    EXPECT_TRUE(log.has(info, "Created AMF encoder"));
    // The platform's own AMF encoder looks only in the system folder, where Wine has none.
    encoder.reset();
    unloadFake();
    std::unique_ptr<EncoderBase> platformAmf = platformMake(EncoderType::AMF);
    ASSERT_NE(platformAmf, nullptr);
    EXPECT_FALSE(platformAmf->initialize(gpu.device, config));
}

}  // namespace
}  // namespace quillane::host::test
