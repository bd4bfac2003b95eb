#include "encode/ParameterSetCache.h"

#include <thread>

#include <gtest/gtest.h>

namespace quillane::host::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

ParameterSets scanned(const Bytes& data, NalRule rule, ParameterSets sets = {}) {
    extractParameterSets(data.data(), data.size(), rule, sets);
    return sets;
}

const Bytes kH264Keyframe = {
    0x00, 0x00, 0x00, 0x01, 0x67, 0x4D, 0x40, 0x28, 0xAB,  // SPS, 4-byte start code
    0x00, 0x00, 0x00, 0x01, 0x68, 0xEE, 0x3C, 0x80,        // PPS
    0x00, 0x00, 0x01, 0x65, 0x88, 0x84, 0x21, 0x00,        // IDR slice, 3-byte start code
};
const Bytes kHevcKeyframe = {
    0x00, 0x00, 0x00, 0x01, 0x40, 0x01, 0x0C,  // VPS (type 32)
    0x00, 0x00, 0x00, 0x01, 0x42, 0x01, 0x01,  // SPS (33)
    0x00, 0x00, 0x00, 0x01, 0x44, 0x01, 0xC1,  // PPS (34)
    0x00, 0x00, 0x01, 0x26, 0x01, 0xAF,        // IDR_W_RADL (19)
};

TEST(ParameterSets, ScanOfOneAccessUnit) {
    struct Case {
        const char* what;
        Bytes data;
        NalRule rule;
        Bytes vps, sps, pps;
        bool valid;
    };
    const Case cases[] = {
        {"H.264 keyframe", kH264Keyframe, NalRule::H264, {}, {0x67, 0x4D, 0x40, 0x28, 0xAB}, {0x68, 0xEE, 0x3C, 0x80}, true},
        {"HEVC keyframe", kHevcKeyframe, NalRule::HEVC, {0x40, 0x01, 0x0C}, {0x42, 0x01, 0x01}, {0x44, 0x01, 0xC1}, true},
        {"H.264 bytes under the HEVC rule", kH264Keyframe, NalRule::HEVC, {}, {}, {}, false},
        {"HEVC bytes under the H.264 rule", kHevcKeyframe, NalRule::H264, {}, {}, {}, false},
        {"the later of two SPS wins",
         {0x00, 0x00, 0x01, 0x67, 0x01, 0x02, 0x00, 0x00, 0x01, 0x67, 0x03, 0x04, 0x05}, NalRule::H264,
         {}, {0x67, 0x03, 0x04, 0x05}, {}, false},
        {"a trailing start code ends the SPS", {0x00, 0x00, 0x01, 0x67, 0x42, 0x11, 0x00, 0x00, 0x00, 0x01},
         NalRule::H264, {}, {0x67, 0x42, 0x11}, {}, false},
        {"start code as the last bytes", {0x11, 0x22, 0x33, 0x44, 0x00, 0x00, 0x01}, NalRule::H264, {}, {}, {}, false},
        {"the last unit runs to the end", {0x00, 0x00, 0x01, 0x68, 0x00, 0x00, 0x00}, NalRule::H264,
         {}, {}, {0x68, 0x00, 0x00, 0x00}, false},
        {"start code and header only", {0x00, 0x00, 0x01, 0x67}, NalRule::H264, {}, {}, {}, false},
        {"no start code", Bytes(1000, 0x67), NalRule::H264, {}, {}, {}, false},
    };
    for (const Case& c : cases) {
        const ParameterSets sets = scanned(c.data, c.rule);
        EXPECT_EQ(sets.vps, c.vps) << c.what;
        EXPECT_EQ(sets.sps, c.sps) << c.what;
        EXPECT_EQ(sets.pps, c.pps) << c.what;
        EXPECT_EQ(sets.isValid, c.valid) << c.what;
    }
}

TEST(ParameterSets, UnitsWithoutSetsKeepTheLastOnes) {
    ParameterSets sets = scanned(kH264Keyframe, NalRule::H264);
    const ParameterSets before = sets;
    const Bytes idrOnly = {0x00, 0x00, 0x00, 0x01, 0x65, 0x88, 0x84, 0x21, 0x00, 0x11};
    const Bytes four = {0x00, 0x00, 0x01, 0x67};
    extractParameterSets(idrOnly.data(), idrOnly.size(), NalRule::H264, sets);
    extractParameterSets(four.data(), four.size(), NalRule::H264, sets);
    extractParameterSets(nullptr, 100, NalRule::H264, sets);
    EXPECT_EQ(sets.sps, before.sps);
    EXPECT_EQ(sets.pps, before.pps);
    EXPECT_TRUE(sets.isValid);
}

TEST(ParameterSets, CodecNameSelectsRule) {
    for (const char* hevc : {"h265", "hevc"}) {
        EXPECT_EQ(nalRuleForCodec(hevc), NalRule::HEVC) << hevc;
    }
    for (const char* other : {"h264", "HEVC", "h2655", ""}) {
        EXPECT_EQ(nalRuleForCodec(other), NalRule::H264) << other;
    }
}

TEST(ParameterSetCache, ReadersSeeWholeSets) {
    ParameterSetCache cache;
    EXPECT_FALSE(cache.get().isValid);
    const Bytes other = {0x00, 0x00, 0x01, 0x67, 0x10, 0x20, 0x30, 0x00, 0x00, 0x01, 0x68, 0x40, 0x50};
    std::thread writer([&] {
        for (int i = 0; i < 2000; ++i) {
            const Bytes& unit = (i % 2 == 0) ? kH264Keyframe : other;
            cache.scan(unit.data(), unit.size(), NalRule::H264);
        }
    });
    for (int i = 0; i < 2000; ++i) {
        const ParameterSets sets = cache.get();
        if (sets.isValid) {
            // Always a pair from one access unit, never a mix.
            const bool first = sets.sps.size() == 5 && sets.pps.size() == 4;
            const bool second = sets.sps.size() == 4 && sets.pps.size() == 3;
            EXPECT_TRUE(first || second);
        }
    }
    writer.join();
    EXPECT_TRUE(cache.get().isValid);
}

}  // namespace
}  // namespace quillane::host::test
