#include <gtest/gtest.h>

#include "D3DTestDevice.h"
#include "EncodeLog.h"
#include "encode/EncoderFactory.h"
#include "encode/windows/NvencEncoder.h"

namespace quillane::host::test {
namespace {

using spdlog::level::err;

// This program's folder holds no NVENC runtime, and Windows has no software encoder.
TEST(WindowsEncoders, NoRuntimeNoEncoder) {
    test::EncodeLog log;
    EXPECT_TRUE(EncoderFactory::getAvailableEncoders(nullptr).empty());
    EXPECT_EQ(EncoderFactory::createBestEncoder(nullptr, EncoderConfig{}), nullptr);
    D3DTestDevice gpu;
    if (gpu.device == nullptr) {
        GTEST_SKIP() << "no Direct3D 11 device";
    }
    NvencEncoder encoder;
    EXPECT_FALSE(encoder.initialize(gpu.device, EncoderConfig{}));
    EXPECT_TRUE(log.has(err, "Failed to load nvEncodeAPI64.dll"));
    EXPECT_FALSE(encoder.isInitialized());

    log.clear();
    EXPECT_TRUE(EncoderFactory::getAvailableEncoders(gpu.device).empty());
    EXPECT_TRUE(log.has(spdlog::level::warn, "No hardware encoders available"));
    EXPECT_EQ(EncoderFactory::createBestEncoder(gpu.device, EncoderConfig{}), nullptr);
    EXPECT_TRUE(log.has(err, "Failed to create any hardware encoder"));
    EXPECT_EQ(EncoderFactory::createEncoder(EncoderType::Software, gpu.device, EncoderConfig{}), nullptr);
    EXPECT_TRUE(log.has(err, "Encoder type Software not available"));
}

}  // namespace
}  // namespace quillane::host::test
