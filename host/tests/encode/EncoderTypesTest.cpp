#include "encode/EncoderBase.h"

#include <gtest/gtest.h>

namespace quillane::host {
namespace {

TEST(EncoderTypes, NamesMatchFactoryMessages) {
    EXPECT_STREQ(encoderTypeName(EncoderType::NVENC), "NVENC");
    EXPECT_STREQ(encoderTypeName(EncoderType::AMF), "AMF");
    EXPECT_STREQ(encoderTypeName(EncoderType::QuickSync), "QuickSync");
    EXPECT_STREQ(encoderTypeName(EncoderType::Software), "Software");
    EXPECT_STREQ(encoderTypeName(static_cast<EncoderType>(7)), "Unknown");
    EXPECT_STREQ(encoderTypeName(static_cast<EncoderType>(-1)), "Unknown");
}

TEST(EncoderTypes, ConfigDefaultsAreTheOrchestratorTemplate) {
    const EncoderConfig config;
    EXPECT_EQ(config.width, 1920u);
    EXPECT_EQ(config.height, 1080u);
    EXPECT_EQ(config.bitrateKbps, 20000u);
    EXPECT_EQ(config.maxBitrateKbps, 50000u);
    EXPECT_EQ(config.fps, 72u);
    EXPECT_EQ(config.codec, "h264");
    EXPECT_EQ(config.profile, "main");
    EXPECT_EQ(config.gopLength, 60u);
    EXPECT_TRUE(config.slicesEnabled);
    EXPECT_EQ(config.sliceCount, 4u);
    EXPECT_FALSE(config.fullRange);
}

}  // namespace
}  // namespace quillane::host
