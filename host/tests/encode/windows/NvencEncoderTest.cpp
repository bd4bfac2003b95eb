#include "encode/windows/NvencEncoder.h"

#include <windows.h>

#include <cstring>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "D3DTestDevice.h"
#include "FakeNvencRuntime.h"
#include "EncodeLog.h"
#include "encode/EncoderFactory.h"
#include "platform/Paths.h"
#include "platform/windows/SystemLibrary.h"

namespace quillane::host::test {
namespace {

using spdlog::level::err;
using spdlog::level::info;
using spdlog::level::warn;
using Bytes = std::vector<std::uint8_t>;
constexpr std::uint32_t kForcedIdr = NV_ENC_PIC_FLAG_FORCEIDR | NV_ENC_PIC_FLAG_OUTPUT_SPSPPS;

// The fake runtime beside this program, loaded for the whole test so that its
// state outlives the encoder's own load and free.
class NvencEncoderTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (gpu.device == nullptr) {
            GTEST_SKIP() << "no Direct3D 11 device";
        }
        // The encoder looks only in the system folder; the fake stands in for it.
        setSystemLibraryFolderForTesting(executableFolder());
        runtime = loadSystemLibrary(L"nvEncodeAPI64.dll");
        ASSERT_NE(runtime, nullptr);
        auto state = reinterpret_cast<FakeNvencControlFunction>(
            reinterpret_cast<void (*)()>(GetProcAddress(runtime, "FakeNvencControlState")));
        ASSERT_NE(state, nullptr);
        fake = state();
        *fake = FakeNvencControl{};
        texture = gpu.makeTexture(640, 480);
        ASSERT_NE(texture, nullptr);
    }
    void TearDown() override {
        if (texture != nullptr) {
            texture->Release();
        }
        if (runtime != nullptr) {
            FreeLibrary(runtime);
        }
        setSystemLibraryFolderForTesting({});
    }

    // Encodes one frame and returns what the callback got, if anything.
    struct Output {
        bool returned = false;
        int delivered = 0;
        Bytes bytes;
        bool isKeyframe = false;
        std::uint32_t frameNumber = 0;
    };
    Output encode(NvencEncoder& encoder) {
        Output out;
        encoder.setOutputCallback([&](const EncodedFrame& frame) {
            ++out.delivered;
            out.bytes.assign(frame.data, frame.data + frame.size);
            out.isKeyframe = frame.isKeyframe;
            out.frameNumber = frame.frameNumber;
        });
        out.returned = encoder.encodeFrame(texture);
        return out;
    }

    D3DTestDevice gpu;
    HMODULE runtime = nullptr;
    FakeNvencControl* fake = nullptr;
    ID3D11Texture2D* texture = nullptr;
    EncoderConfig config = smallEncoderConfig();
};

// Opening, six frames through the four slots, a keyframe request, then a
// shutdown that releases everything.
TEST_F(NvencEncoderTest, SessionFramesAndKeyframes) {
    test::EncodeLog log;
    NvencEncoder encoder;
    ASSERT_TRUE(encoder.initialize(gpu.device, config));
    EXPECT_TRUE(log.has(info, "NVENC API loaded successfully"));
    EXPECT_TRUE(log.has(info, "NVENC encoder initialized: 640x480 @ 6000 kbps, 60 fps"));
    EXPECT_EQ(fake->openApiVersion, std::uint32_t(NVENCAPI_VERSION));
    EXPECT_EQ(fake->openDeviceType, NV_ENC_DEVICE_TYPE_DIRECTX);
    EXPECT_EQ(fake->openDevice, gpu.device);
    EXPECT_FALSE(fake->presetCodecHevc);
    EXPECT_EQ(fake->presetTuning, NV_ENC_TUNING_INFO_ULTRA_LOW_LATENCY);

    // The session gets exactly what the parameter filling makes of the preset.
    NV_ENC_CONFIG expected{};
    expected.profileGUID = NV_ENC_H264_PROFILE_HIGH_GUID;
    expected.rcParams.rateControlMode = NV_ENC_PARAMS_RC_CONSTQP;
    expected.rcParams.lookaheadDepth = 3;
    expected.encodeCodecConfig.h264Config.outputAUD = 1;
    expected.version = NV_ENC_CONFIG_VER;
    applyNvencConfig(expected, config);
    EXPECT_EQ(std::memcmp(&fake->initConfig, &expected, sizeof expected), 0);
    NV_ENC_INITIALIZE_PARAMS expectedParams = makeNvencInitializeParams(config, nullptr);
    expectedParams.encodeConfig = fake->initParams.encodeConfig;
    EXPECT_EQ(std::memcmp(&fake->initParams, &expectedParams, sizeof expectedParams), 0);
    EXPECT_EQ(fake->registered, 4);
    EXPECT_EQ(fake->registeredFormat, NV_ENC_BUFFER_FORMAT_ARGB);
    EXPECT_EQ(fake->registeredWidth, 640u);
    EXPECT_EQ(fake->registeredHeight, 480u);
    EXPECT_EQ(fake->bitstreamsCreated, 4);

    const Output first = encode(encoder);
    EXPECT_TRUE(first.returned);
    EXPECT_EQ(first.delivered, 1);
    EXPECT_TRUE(first.isKeyframe);
    EXPECT_EQ(first.frameNumber, 0u);
    const ParameterSets sets = encoder.getParameterSets();
    EXPECT_EQ(sets.sps, (Bytes{0x67, 0x64, 0x00, 0x28, 0xAC}));
    EXPECT_EQ(sets.pps, (Bytes{0x68, 0xEE, 0x3C, 0xB0}));
    EXPECT_TRUE(sets.isValid);
    for (std::uint32_t i = 1; i < 6; ++i) {
        const Output next = encode(encoder);
        EXPECT_TRUE(next.returned);
        EXPECT_FALSE(next.isKeyframe);
        EXPECT_EQ(next.frameNumber, i);
        EXPECT_EQ(next.bytes.back(), i);  // the fake echoes the input time stamp
    }
    ASSERT_EQ(fake->pictureBitstreams.size(), 6u);
    EXPECT_EQ(fake->pictureBitstreams[4], fake->pictureBitstreams[0]);
    EXPECT_NE(fake->pictureBitstreams[1], fake->pictureBitstreams[0]);
    EXPECT_EQ(fake->pictureFlags[1], 0u);
    EXPECT_EQ(fake->maps, 6);
    EXPECT_EQ(fake->unmaps, 6);
    EXPECT_EQ(fake->unlocks, 6);
    // Each input stays mapped until its picture's output is locked.
    std::string sixFrames;
    for (int i = 0; i < 6; ++i) sixFrames += "MELUu";
    EXPECT_EQ(fake->frameCalls, sixFrames);
    EXPECT_EQ(encoder.getStats().framesEncoded, 6u);
    EXPECT_EQ(encoder.getStats().bytesEncoded, 25u + 5 * 9u);
    EXPECT_LE(log.countPrefix(info, "First encoded frame: "), 1);

    encoder.requestKeyframe();
    EXPECT_TRUE(encode(encoder).isKeyframe);
    EXPECT_EQ(fake->pictureFlags.back(), kForcedIdr);
    EXPECT_FALSE(encode(encoder).isKeyframe);
    EXPECT_EQ(fake->pictureFlags.back(), 0u);

    encoder.shutdown();
    EXPECT_FALSE(encoder.isInitialized());
    EXPECT_TRUE(log.has(info, "Shutting down NVENC encoder..."));
    EXPECT_EQ(fake->unregistered, 4);
    EXPECT_EQ(fake->bitstreamsDestroyed, 4);
    EXPECT_EQ(fake->sessionsDestroyed, 1);
    encoder.shutdown();
    EXPECT_EQ(fake->sessionsDestroyed, 1);
}

TEST_F(NvencEncoderTest, KeyframeRequestSurvivesFailedFrames) {
    test::EncodeLog log;
    NvencEncoder encoder;
    ASSERT_TRUE(encoder.initialize(gpu.device, config));
    encode(encoder);
    encoder.requestKeyframe();

    fake->failEncodes = 1;
    const Output failed = encode(encoder);
    EXPECT_FALSE(failed.returned);
    EXPECT_EQ(failed.delivered, 0);
    EXPECT_TRUE(log.has(err, "nvEncEncodePicture failed: 20"));
    EXPECT_EQ(fake->unmaps, fake->maps);  // unmapped even when the encode failed

    fake->failMaps = 1;
    EXPECT_FALSE(encode(encoder).returned);
    EXPECT_TRUE(log.has(err, "nvEncMapInputResource failed: 16"));
    // Nothing was mapped, so nothing is unmapped.
    EXPECT_EQ(fake->frameCalls, "MELUu" "MEU" "M");

    const Output next = encode(encoder);
    EXPECT_TRUE(next.returned);
    EXPECT_TRUE(next.isKeyframe);
    EXPECT_EQ(next.frameNumber, 1u);  // failed frames take no number
    EXPECT_EQ(fake->pictureFlags.back(), kForcedIdr);
}

// A bitstream that cannot be locked delivers nothing, yet its input is unmapped
// and the encoder goes on with the next slot.
TEST_F(NvencEncoderTest, FailedLockStillUnmapsTheInput) {
    test::EncodeLog log;
    NvencEncoder encoder;
    ASSERT_TRUE(encoder.initialize(gpu.device, config));
    fake->failLocks = 1;
    const Output locked = encode(encoder);
    EXPECT_TRUE(locked.returned);
    EXPECT_EQ(locked.delivered, 0);
    EXPECT_TRUE(log.has(err, "nvEncLockBitstream failed: " + std::to_string(int{NV_ENC_ERR_LOCK_BUSY})));
    EXPECT_EQ(fake->frameCalls, "MELU");

    const Output next = encode(encoder);
    EXPECT_EQ(next.delivered, 1);
    EXPECT_EQ(fake->frameCalls, "MELU" "MELUu");
    EXPECT_NE(fake->pictureBitstreams[1], fake->pictureBitstreams[0]);
    encoder.shutdown();
    EXPECT_EQ(fake->unmaps, fake->maps);
}

// Changes are recorded and applied by the next frame on the encoding thread,
// as a reconfiguration of the rate control only; a refused one changes nothing.
TEST_F(NvencEncoderTest, BitrateChanges) {
    test::EncodeLog log;
    NvencEncoder encoder;
    ASSERT_TRUE(encoder.initialize(gpu.device, config));
    encode(encoder);
    encoder.setBitrate(2000, 3000);
    EXPECT_EQ(fake->reconfigureCalls, 0);
    const Output next = encode(encoder);
    ASSERT_EQ(fake->reconfigureCalls, 1);
    EXPECT_TRUE(log.has(info, "Bitrate updated to 2000 / 3000 kbps"));
    EXPECT_TRUE(next.isKeyframe);  // a reconfiguration restarts with an IDR

    const NV_ENC_RECONFIGURE_PARAMS& params = fake->reconfigureParams;
    EXPECT_EQ(params.version, std::uint32_t(NV_ENC_RECONFIGURE_PARAMS_VER));
    EXPECT_EQ(params.forceIDR, 1u);
    EXPECT_EQ(params.resetEncoder, 0u);
    NV_ENC_INITIALIZE_PARAMS reinit = params.reInitEncodeParams;
    reinit.encodeConfig = fake->initParams.encodeConfig;
    EXPECT_EQ(std::memcmp(&reinit, &fake->initParams, sizeof reinit), 0);  // maximum size included
    const NV_ENC_RC_PARAMS& rc = fake->reconfigureConfig.rcParams;
    EXPECT_EQ(rc.averageBitRate, 2'000'000u);
    EXPECT_EQ(rc.maxBitRate, 3'000'000u);
    EXPECT_EQ(rc.vbvBufferSize, 3'000'000u / 60);
    EXPECT_LE(rc.vbvInitialDelay, rc.vbvBufferSize);
    NV_ENC_CONFIG outsideRc = fake->reconfigureConfig;
    outsideRc.rcParams = fake->initConfig.rcParams;
    EXPECT_EQ(std::memcmp(&outsideRc, &fake->initConfig, sizeof outsideRc), 0);

    // Several requests between two frames: the newest one wins, once.
    encoder.setBitrate(4000, 8000);
    encoder.setBitrate(5000, 9000);
    encode(encoder);
    EXPECT_EQ(fake->reconfigureCalls, 2);
    EXPECT_EQ(fake->reconfigureConfig.rcParams.averageBitRate, 5'000'000u);
    encode(encoder);
    EXPECT_EQ(fake->reconfigureCalls, 2);

    fake->reconfigureStatus = NV_ENC_ERR_INVALID_PARAM;
    encoder.setBitrate(1000, 1200);
    EXPECT_TRUE(encode(encoder).returned);
    EXPECT_TRUE(log.has(warn, "Failed to reconfigure bitrate: 8"));
    EXPECT_FALSE(log.has(info, "Bitrate updated to 1000 / 1200 kbps"));

    // The next change starts from the rates the session really runs at.
    fake->reconfigureStatus = NV_ENC_SUCCESS;
    EncoderConfig sameSize = config;
    sameSize.bitrateKbps = 7000;
    sameSize.maxBitrateKbps = 9000;
    sameSize.fps = 30;  // not applied: only the bitrates change
    EXPECT_TRUE(encoder.reconfigure(sameSize));
    encode(encoder);
    EXPECT_EQ(fake->reconfigureConfig.rcParams.averageBitRate, 7'000'000u);
    EXPECT_EQ(fake->reconfigureConfig.rcParams.vbvBufferSize, 9'000'000u / 60);
    EXPECT_EQ(fake->reconfigureConfig.rcParams.vbvInitialDelay, 3'000'000u / 60);  // not the refused 1200
    EXPECT_EQ(fake->reconfigureParams.reInitEncodeParams.frameRateNum, 60u);

    EncoderConfig otherSize = config;
    otherSize.width = 1280;
    EXPECT_FALSE(encoder.reconfigure(otherSize));
    EXPECT_TRUE(log.has(warn, "Resolution change requires re-initialization"));
}

TEST_F(NvencEncoderTest, RefusedSetups) {
    test::EncodeLog log;
    NvencEncoder encoder;
    EXPECT_FALSE(encoder.encodeFrame(texture));  // not initialised
    EncoderConfig zeroFps = config;
    zeroFps.fps = 0;
    EXPECT_FALSE(encoder.initialize(gpu.device, zeroFps));
    EXPECT_TRUE(log.has(err, "NVENC encoder: invalid config: frame rate must be at least 1 "
                             "(640x480, 0 fps, 6000 / 15000 kbps)"));
    EXPECT_EQ(fake->instancesCreated, 0);

    fake->openStatus = NV_ENC_ERR_INVALID_VERSION;
    EXPECT_FALSE(encoder.initialize(gpu.device, config));
    EXPECT_FALSE(encoder.isInitialized());
    EXPECT_TRUE(log.has(err, "NVENC ERROR: Failed to open encode session (error 15). "
                             "NVIDIA driver too old! Update to driver 550+ (2024 or newer)"));
    EXPECT_EQ(fake->initializeCalls, 0);

    // What was created before a failed initialisation is released.
    fake->openStatus = NV_ENC_SUCCESS;
    fake->initializeStatus = NV_ENC_ERR_UNSUPPORTED_PARAM;
    EXPECT_FALSE(encoder.initialize(gpu.device, config));
    EXPECT_TRUE(log.has(err, "nvEncInitializeEncoder failed: 12"));
    EXPECT_EQ(fake->sessionsDestroyed, 1);
    EXPECT_EQ(fake->registered, 0);

    // A later attempt on the same object starts clean.
    fake->initializeStatus = NV_ENC_SUCCESS;
    ASSERT_TRUE(encoder.initialize(gpu.device, config));
    EXPECT_TRUE(encode(encoder).returned);
    log.clear();
    EXPECT_FALSE(encoder.encodeFrame(nullptr));
    EXPECT_EQ(log.countAtLeast(info), 0);
    EXPECT_TRUE(encoder.initialize(gpu.device, config));
    EXPECT_TRUE(log.has(warn, "NVENC encoder already initialized"));
    EXPECT_EQ(fake->initializeCalls, 2);
}

TEST_F(NvencEncoderTest, HevcSessionUsesTheHevcRule) {
    config.codec = "hevc";
    NvencEncoder encoder;
    ASSERT_TRUE(encoder.initialize(gpu.device, config));
    EXPECT_TRUE(fake->presetCodecHevc);
    encode(encoder);
    // The fake answers with H.264 units, which mean nothing under the HEVC rule.
    EXPECT_FALSE(encoder.getParameterSets().isValid);
}

TEST_F(NvencEncoderTest, PlatformFactoryFindsTheRuntime) {
    test::EncodeLog log;
    const std::vector<EncoderType> available = EncoderFactory::getAvailableEncoders(gpu.device);
    // Wine reports an NVIDIA adapter; the fake runtime lies beside this program.
    if (available.empty()) {
        GTEST_SKIP() << "the adapter is not reported as NVIDIA";
    }
    EXPECT_EQ(available, std::vector<EncoderType>{EncoderType::NVENC});
    std::unique_ptr<EncoderBase> encoder = EncoderFactory::createBestEncoder(gpu.device, config);
    ASSERT_NE(encoder, nullptr);
    EXPECT_STREQ(encoder->getName(), "NVENC");
    EXPECT_TRUE(log.has(info, "Created NVENC encoder"));
}

// A runtime of the same name planted beside the program is never loaded: the
// fake lies beside this test, and Wine's system folder has no such runtime.
TEST(NvencRuntimeLoading, RuntimeBesideTheProgramIsNeverLoaded) {
    D3DTestDevice gpu;
    if (gpu.device == nullptr) {
        GTEST_SKIP() << "no Direct3D 11 device";
    }
    ASSERT_TRUE(std::filesystem::exists(executableFolder() / "nvEncodeAPI64.dll"));
    ASSERT_EQ(GetModuleHandleW(L"nvEncodeAPI64.dll"), nullptr);
    HMODULE system = loadSystemLibrary(L"kernel32.dll");
    EXPECT_NE(system, nullptr);
    if (system != nullptr) {
        FreeLibrary(system);
    }
    EXPECT_EQ(loadSystemLibrary(L"nvEncodeAPI64.dll"), nullptr);

    test::EncodeLog log;
    NvencEncoder encoder;
    EXPECT_FALSE(encoder.initialize(gpu.device, smallEncoderConfig()));
    EXPECT_TRUE(log.has(err, "Failed to load nvEncodeAPI64.dll"));
    EXPECT_EQ(GetModuleHandleW(L"nvEncodeAPI64.dll"), nullptr);
}

}  // namespace
}  // namespace quillane::host::test
