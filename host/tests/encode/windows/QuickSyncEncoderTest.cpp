#include "encode/windows/QuickSyncEncoder.h"

#include <d3d11.h>

#include <array>

#include <gtest/gtest.h>

#include "D3DTestDevice.h"
#include "EncodeLog.h"
#include "FakeH264Transform.h"
#include "encode/EncoderFactory.h"
#include "encode/MediaFoundationParams.h"

namespace quillane::host::test {
namespace {

using spdlog::level::err;
using spdlog::level::info;
using spdlog::level::warn;
using Bytes = std::vector<std::uint8_t>;
constexpr std::uint32_t kHardwareFlags = MFT_ENUM_FLAG_HARDWARE | MFT_ENUM_FLAG_SORTANDFILTER;

// The transforms a machine offers, per enumeration kind; each activation hands out
// a new reference to the next one of its kind.
struct FakeMachine {
    std::vector<FakeH264Transform*> hardware;
    std::vector<FakeH264Transform*> software;
    HRESULT activateResult = S_OK;
    std::vector<std::uint32_t> flagsAsked;

    ~FakeMachine() {
        for (const auto* kind : {&hardware, &software}) {
            for (FakeH264Transform* t : *kind) {
                t->Release();
            }
        }
    }
    FakeH264Transform* addHardware() { return hardware.emplace_back(new FakeH264Transform(true)); }
    FakeH264Transform* addSoftware() { return software.emplace_back(new FakeH264Transform(false)); }

    MftFinder finder() {
        return [this](std::uint32_t flags) {
            const std::size_t index = std::count(flagsAsked.begin(), flagsAsked.end(), flags);
            flagsAsked.push_back(flags);
            std::vector<FakeH264Transform*>& kind = flags == kHardwareFlags ? hardware : software;
            MftCandidate candidate;
            if (kind.empty()) {
                return candidate;
            }
            FakeH264Transform* transform = kind[std::min(index, kind.size() - 1)];
            candidate.found = true;
            candidate.activateResult = activateResult;
            candidate.friendlyName = flags == kHardwareFlags ? L"Fake Hardware H.264 Encoder" : L"Fake Software MFT";
            if (SUCCEEDED(activateResult)) {
                transform->AddRef();
                candidate.transform = transform;
            }
            return candidate;
        };
    }
};

UINT32 attribute(IMFMediaType* type, const GUID& key) { return MFGetAttributeUINT32(type, key, 0xFFFFFFFF); }

GUID subtypeOf(IMFMediaType* type) {
    GUID subtype{};
    type->GetGUID(MF_MT_SUBTYPE, &subtype);
    return subtype;
}

class QuickSyncEncoderTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (gpu.device == nullptr) {
            GTEST_SKIP() << "no Direct3D 11 device";
        }
        texture = redTexture(640, 480);
        ASSERT_NE(texture, nullptr);
    }
    void TearDown() override {
        if (texture != nullptr) {
            texture->Release();
        }
    }
    // Pure red: B 0, G 0, R 255.
    ID3D11Texture2D* redTexture(UINT width, UINT height) const { return gpu.makeTexture(width, height, 0xFFFF0000u); }

    std::vector<EncodedUnit> encode(QuickSyncEncoder& encoder, bool* returned = nullptr) {
        return encodeOne(encoder, texture, returned);
    }

    D3DTestDevice gpu;
    ID3D11Texture2D* texture = nullptr;
    EncoderConfig config = smallEncoderConfig();
};

// A hardware transform driven through its events: setup, frames, a keyframe
// request, a bitrate change, a resolution change and a shutdown.
TEST_F(QuickSyncEncoderTest, HardwareTransformThroughItsEvents) {
    test::EncodeLog log;
    FakeMachine machine;
    FakeH264Transform* hw = machine.addHardware();
    QuickSyncEncoder encoder(machine.finder());
    ASSERT_TRUE(encoder.initialize(gpu.device, config));
    EXPECT_TRUE(log.has(info, "Using encoder: Fake Hardware H.264 Encoder"));
    EXPECT_TRUE(log.has(info, "QuickSync encoder initialized: 640x480 @ 6000 kbps, 60 fps"));
    EXPECT_EQ(machine.flagsAsked, std::vector<std::uint32_t>{0x44});
    EXPECT_EQ(hw->messages, (std::vector<MFT_MESSAGE_TYPE>{MFT_MESSAGE_SET_D3D_MANAGER,
                                                           MFT_MESSAGE_NOTIFY_BEGIN_STREAMING,
                                                           MFT_MESSAGE_NOTIFY_START_OF_STREAM}));
    EXPECT_EQ(hw->settings, (std::vector<FakeH264Transform::Setting>{
                                {CODECAPI_AVLowLatencyMode, VT_BOOL, 0xFFFF},
                                {CODECAPI_AVEncCommonRateControlMode, VT_UI4, 0},  // CBR
                                {CODECAPI_AVEncCommonMeanBitRate, VT_UI4, 6'000'000},
                                {CODECAPI_AVEncCommonMaxBitRate, VT_UI4, 15'000'000},
                                {CODECAPI_AVEncMPVGOPSize, VT_UI4, 60},
                                {CODECAPI_AVEncMPVDefaultBPictureCount, VT_UI4, 0}}));
    ASSERT_NE(hw->outputType, nullptr);
    ASSERT_NE(hw->inputType, nullptr);
    EXPECT_TRUE(subtypeOf(hw->outputType) == MFVideoFormat_H264);
    EXPECT_TRUE(subtypeOf(hw->inputType) == MFVideoFormat_NV12);
    EXPECT_EQ(attribute(hw->outputType, MF_MT_AVG_BITRATE), 6'000'000u);
    EXPECT_EQ(attribute(hw->outputType, MF_MT_MPEG2_PROFILE), 77u);
    EXPECT_EQ(attribute(hw->outputType, MF_MT_MPEG2_LEVEL), 32u);  // 15 Mbit/s peak is above 3.1
    EXPECT_EQ(attribute(hw->inputType, MF_MT_INTERLACE_MODE), 2u);

    std::vector<EncodedUnit> units = encode(encoder);
    ASSERT_EQ(units.size(), 1u);
    EXPECT_TRUE(units[0].isKeyframe);
    EXPECT_EQ(units[0].frameNumber, 0u);
    EXPECT_EQ(encoder.getParameterSets().sps, (Bytes{0x67, 0x4D, 0x40, 0x1F}));
    EXPECT_EQ(encoder.getParameterSets().pps, (Bytes{0x68, 0xEB, 0xE3}));
    for (std::uint32_t i = 1; i < 3; ++i) {
        units = encode(encoder);
        ASSERT_EQ(units.size(), 1u);
        EXPECT_FALSE(units[0].isKeyframe);
        EXPECT_EQ(units[0].bytes.back(), i);
    }
    EXPECT_EQ(hw->sampleTimes, (std::vector<LONGLONG>{0, 166666, 333333}));
    EXPECT_EQ(hw->sampleDurations, (std::vector<LONGLONG>{166666, 166666, 166666}));
    const std::vector<BYTE>& nv12 = hw->inputs.back();
    ASSERT_EQ(nv12.size(), 640u * 480 * 3 / 2);
    EXPECT_EQ((std::array{nv12[0], nv12[640 * 480], nv12[640 * 480 + 1]}),
              (std::array<BYTE, 3>{82, 90, 240}));  // pure red in BT.601 limited range

    encoder.requestKeyframe();
    encoder.setBitrate(2000, 3000);
    EXPECT_TRUE(hw->valuesOf(CODECAPI_AVEncVideoForceKeyFrame).empty());  // applied by the encoding thread
    units = encode(encoder);
    ASSERT_EQ(units.size(), 1u);
    EXPECT_TRUE(units[0].isKeyframe);
    EXPECT_EQ(hw->valuesOf(CODECAPI_AVEncVideoForceKeyFrame), std::vector<ULONG>{1});
    EXPECT_EQ(hw->valuesOf(CODECAPI_AVEncCommonMeanBitRate), (std::vector<ULONG>{6'000'000, 2'000'000}));
    EXPECT_EQ(hw->valuesOf(CODECAPI_AVEncCommonMaxBitRate), (std::vector<ULONG>{15'000'000, 3'000'000}));
    EXPECT_TRUE(log.has(info, "QuickSync bitrate updated to 2000 / 3000 kbps"));
    EXPECT_FALSE(encode(encoder).at(0).isKeyframe);
    EXPECT_EQ(hw->valuesOf(CODECAPI_AVEncVideoForceKeyFrame).size(), 1u);

    // Until the transform asks again, the newest frame waits; the capture thread does not.
    hw->holdInputRequests = true;
    encode(encoder);
    bool returned = false;
    EXPECT_TRUE(encode(encoder, &returned).empty());
    EXPECT_TRUE(returned);
    EXPECT_TRUE(encode(encoder).empty());
    const std::size_t taken = hw->inputs.size();
    hw->askForInput();
    units = encode(encoder);
    EXPECT_EQ(hw->inputs.size(), taken + 1);
    EXPECT_EQ(hw->sampleTimes.back(), LONGLONG(mfSampleTime(7, 60)));  // frame 7 waited, frame 6 was replaced
    EXPECT_EQ(units.size(), 1u);
    EXPECT_EQ(hw->unaskedInputs, 0);
    hw->holdInputRequests = false;
    hw->askForInput();

    // A new size starts a new transform; the old one is drained and shut down.
    FakeH264Transform* second = machine.addHardware();
    ID3D11Texture2D* large = redTexture(1280, 720);
    ASSERT_NE(large, nullptr);
    EncoderConfig larger = config;
    larger.width = 1280;
    larger.height = 720;
    int deliveredDuringReconfigure = 0;
    encoder.setOutputCallback([&](const EncodedFrame&) { ++deliveredDuringReconfigure; });
    EXPECT_TRUE(encoder.reconfigure(larger));
    EXPECT_EQ(deliveredDuringReconfigure, 0);
    EXPECT_TRUE(log.has(info, "QuickSync resolution change requires reinit: 640x480 -> 1280x720"));
    EXPECT_TRUE(hw->shutDown);
    EXPECT_EQ(hw->references(), 1);  // only the machine's own
    ASSERT_NE(second->inputType, nullptr);
    EXPECT_EQ(MFGetAttributeUINT64(second->inputType, MF_MT_FRAME_SIZE, 0), (1280ull << 32) | 720);
    units = encodeOne(encoder, large);
    ASSERT_EQ(units.size(), 1u);
    EXPECT_TRUE(units[0].isKeyframe);
    EXPECT_EQ(second->inputs.at(0).size(), 1280u * 720 * 3 / 2);
    large->Release();

    encoder.setOutputCallback([&](const EncodedFrame&) { ++deliveredDuringReconfigure; });
    encoder.shutdown();
    EXPECT_EQ(deliveredDuringReconfigure, 0) << "everything was delivered as it was encoded";
    EXPECT_TRUE(log.has(info, "Shutting down QuickSync encoder..."));
    EXPECT_TRUE(log.has(info, "QuickSync encoder shutdown complete"));
    EXPECT_EQ(second->messages.back(), MFT_MESSAGE_COMMAND_DRAIN);
    EXPECT_TRUE(second->shutDown);
    EXPECT_EQ(second->references(), 1);
    EXPECT_FALSE(encoder.encodeFrame(texture));
}

// Without a hardware transform the software one runs synchronously; a refused
// input is retried once after draining.
TEST_F(QuickSyncEncoderTest, SoftwareTransformAsFallback) {
    test::EncodeLog log;
    FakeMachine machine;
    FakeH264Transform* sw = machine.addSoftware();
    sw->d3dManagerResult = E_NOTIMPL;
    QuickSyncEncoder encoder(machine.finder());
    ASSERT_TRUE(encoder.initialize(gpu.device, config));
    EXPECT_TRUE(log.has(warn, "No hardware H.264 encoder found, trying software"));
    EXPECT_TRUE(log.has(warn, "Failed to set D3D manager on encoder: 0x80004001 - will use CPU path"));
    EXPECT_TRUE(log.has(info, "Using encoder: Fake Software MFT"));
    EXPECT_EQ(machine.flagsAsked, (std::vector<std::uint32_t>{0x44, 0x41}));

    std::vector<EncodedUnit> units = encode(encoder);
    ASSERT_EQ(units.size(), 1u);
    EXPECT_TRUE(units[0].isKeyframe);
    EXPECT_TRUE(encoder.getParameterSets().isValid);

    sw->notAccepting = 1;
    bool returned = false;
    units = encode(encoder, &returned);
    EXPECT_TRUE(returned);
    EXPECT_EQ(units.size(), 1u);
    sw->notAccepting = 2;
    EXPECT_TRUE(encode(encoder, &returned).empty());
    EXPECT_FALSE(returned);
    EXPECT_TRUE(log.has(err, "ProcessInput failed: 0xc00d36b5"));

    encoder.requestKeyframe();
    units = encode(encoder);
    ASSERT_EQ(units.size(), 1u);
    EXPECT_TRUE(units[0].isKeyframe);
    EXPECT_EQ(units[0].frameNumber, 2u);  // refused frames take no number
    EXPECT_EQ(encoder.getStats().framesEncoded, 3u);

    EncoderConfig sameSize = config;
    sameSize.bitrateKbps = 7000;
    EXPECT_TRUE(encoder.reconfigure(sameSize));
    encode(encoder);
    EXPECT_EQ(sw->valuesOf(CODECAPI_AVEncCommonMeanBitRate).back(), 7'000'000u);

    int delivered = 0;
    encoder.setOutputCallback([&](const EncodedFrame&) { ++delivered; });
    encoder.shutdown();
    EXPECT_EQ(delivered, 0) << "everything was delivered as it was encoded";
    const std::vector<MFT_MESSAGE_TYPE> tail(sw->messages.end() - 2, sw->messages.end());
    EXPECT_EQ(tail, (std::vector<MFT_MESSAGE_TYPE>{MFT_MESSAGE_NOTIFY_END_OF_STREAM, MFT_MESSAGE_COMMAND_DRAIN}));
    EXPECT_EQ(sw->references(), 1);
}

// Units a transform still holds at shutdown reach the callback then, in order,
// whether it is driven through its events or synchronously.
TEST_F(QuickSyncEncoderTest, ShutdownDeliversTheUnitsTheTransformStillHolds) {
    for (const bool hardware : {true, false}) {
        SCOPED_TRACE(hardware ? "hardware" : "software");
        test::EncodeLog log;
        FakeMachine machine;
        FakeH264Transform* transform = hardware ? machine.addHardware() : machine.addSoftware();
        transform->holdOutputs = true;
        QuickSyncEncoder encoder(machine.finder());
        ASSERT_TRUE(encoder.initialize(gpu.device, config));
        for (int i = 0; i < 3; ++i) {
            EXPECT_TRUE(encode(encoder).empty()) << "frame " << i;
        }
        std::vector<EncodedUnit> drained;
        encoder.setOutputCallback([&](const EncodedFrame& frame) {
            drained.push_back({std::vector<std::uint8_t>(frame.data, frame.data + frame.size), frame.isKeyframe,
                               frame.timestampUs, frame.frameNumber});
        });
        encoder.shutdown();
        ASSERT_EQ(drained.size(), 3u);
        for (std::uint8_t i = 0; i < 3; ++i) {
            EXPECT_EQ(drained[i].bytes.back(), i) << "the units come out in the order they went in";
        }
        EXPECT_TRUE(drained[0].isKeyframe);
        EXPECT_FALSE(drained[2].isKeyframe);
        EXPECT_EQ(encoder.getStats().framesEncoded, 3u);
        EXPECT_TRUE(encoder.getParameterSets().isValid);
        EXPECT_EQ(log.countPrefix(warn, "QuickSync encoder did not drain"), 0);
        EXPECT_EQ(transform->references(), 1);
    }
}

// A transform that takes frames and never answers is reported, not trusted.
TEST_F(QuickSyncEncoderTest, TransformWithoutOutputIsAnError) {
    test::EncodeLog log;
    FakeMachine machine;
    machine.addHardware()->stall = true;
    QuickSyncEncoder encoder(machine.finder());
    ASSERT_TRUE(encoder.initialize(gpu.device, config));
    for (int i = 0; i < 29; ++i) {
        bool returned = false;
        encode(encoder, &returned);
        ASSERT_TRUE(returned) << i;
    }
    EXPECT_FALSE(encoder.encodeFrame(texture));
    EXPECT_TRUE(log.has(err, "QuickSync encoder gave no output for 30 frames"));
}

// Each failing step logs its line, and what was created is released.
TEST_F(QuickSyncEncoderTest, FailedInitializeReleasesTheTransform) {
    test::EncodeLog log;
    for (const bool refusing : {false, true}) {
        FakeMachine machine;
        if (refusing) {
            machine.addHardware();
            machine.activateResult = E_FAIL;
        }
        EXPECT_FALSE(QuickSyncEncoder(machine.finder()).initialize(gpu.device, config));
        EXPECT_TRUE(log.has(err, refusing ? "Failed to activate encoder: 0x80004005" : "No H.264 encoder found"));
        EXPECT_EQ(log.count(err, "Failed to create MFT encoder"), refusing ? 2 : 1);
    }
    FakeMachine machine;
    FakeH264Transform* hw = machine.addHardware();
    hw->setOutputTypeResult = MF_E_INVALIDMEDIATYPE;
    QuickSyncEncoder encoder(machine.finder());
    EXPECT_FALSE(encoder.initialize(gpu.device, config));
    EXPECT_TRUE(log.has(err, "SetOutputType failed: 0xc00d36b4"));
    EXPECT_TRUE(log.has(err, "Failed to set media types"));
    EXPECT_FALSE(encoder.isInitialized());
    EXPECT_TRUE(hw->shutDown);
    EXPECT_EQ(hw->references(), 1);

    hw->setOutputTypeResult = S_OK;
    ASSERT_TRUE(encoder.initialize(gpu.device, config));
    EXPECT_TRUE(encoder.initialize(gpu.device, config));
    EXPECT_TRUE(log.has(warn, "QuickSync encoder already initialized"));
    EXPECT_FALSE(encoder.encodeFrame(nullptr));
}

// An Intel adapter with a hardware transform gets this encoder from the factory.
TEST_F(QuickSyncEncoderTest, FactoryCreatesItForIntelAdapters) {
    test::EncodeLog log;
    FakeMachine machine;
    machine.addHardware();
    EncoderProbes probes = platformEncoderProbes();
    probes.adapterVendorId = [](EncoderDevice) { return std::optional<std::uint32_t>(0x8086); };
    probes.quickSyncAvailable = [] { return true; };
    probes.makeEncoder = [&](EncoderType type) -> std::unique_ptr<EncoderBase> {
        if (type == EncoderType::QuickSync) {
            return std::make_unique<QuickSyncEncoder>(machine.finder());
        }
        return nullptr;
    };
    std::unique_ptr<EncoderBase> encoder = EncoderFactory::createBestEncoder(gpu.device, config, probes);
    ASSERT_NE(encoder, nullptr);
    EXPECT_STREQ(encoder->getName(), "QuickSync");
    EXPECT_TRUE(log.has(info, "QuickSync encoder available"));
    EXPECT_TRUE(log.has(info, "Created QuickSync encoder"));
    // This machine's Media Foundation lists no hardware H.264 encoder.
    EXPECT_FALSE(platformEncoderProbes().quickSyncAvailable());
}

}  // namespace
}  // namespace quillane::host::test
