#include "encode/ParameterSetCache.h"

#include <thread>

#include <gtest/gtest.h>

namespace quillane::host {
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

TEST(ParameterSets, H264KeyframeFillsSpsAndPps) {
    const ParameterSets sets = scanned(kH264Keyframe, NalRule::H264);
    EXPECT_EQ(sets.sps, (Bytes{0x67, 0x4D, 0x40, 0x28, 0xAB}));
    EXPECT_EQ(sets.pps, (Bytes{0x68, 0xEE, 0x3C, 0x80}));
    EXPECT_TRUE(sets.vps.empty());
    EXPECT_TRUE(sets.isValid);
}

TEST(ParameterSets, KeyframeWithoutParameterSetsKeepsThem) {
    ParameterSets sets = scanned(kH264Keyframe, NalRule::H264);
    const Bytes idrOnly = {0x00, 0x00, 0x00, 0x01, 0x65, 0x88, 0x84, 0x21, 0x00, 0x11};
    sets = scanned(idrOnly, NalRule::H264, sets);
    EXPECT_EQ(sets.sps, (Bytes{0x67, 0x4D, 0x40, 0x28, 0xAB}));
    EXPECT_EQ(sets.pps, (Bytes{0x68, 0xEE, 0x3C, 0x80}));
    EXPECT_TRUE(sets.isValid);
}

TEST(ParameterSets, LaterUnitReplacesEarlierOneInTheSameAccessUnit) {
    const Bytes twoSps = {0x00, 0x00, 0x01, 0x67, 0x01, 0x02, 0x00, 0x00, 0x01, 0x67, 0x03, 0x04, 0x05};
    const ParameterSets sets = scanned(twoSps, NalRule::H264);
    EXPECT_EQ(sets.sps, (Bytes{0x67, 0x03, 0x04, 0x05}));
    EXPECT_TRUE(sets.pps.empty());
    EXPECT_FALSE(sets.isValid);
}

TEST(ParameterSets, ShortOrNullDataChangesNothing) {
    ParameterSets sets = scanned(kH264Keyframe, NalRule::H264);
    const ParameterSets before = sets;
    const Bytes four = {0x00, 0x00, 0x01, 0x67};
    extractParameterSets(four.data(), four.size(), NalRule::H264, sets);
    extractParameterSets(nullptr, 100, NalRule::H264, sets);
    EXPECT_EQ(sets.sps, before.sps);
    EXPECT_EQ(sets.pps, before.pps);
    EXPECT_TRUE(sets.isValid);

    ParameterSets empty;
    extractParameterSets(four.data(), four.size(), NalRule::H264, empty);
    EXPECT_TRUE(empty.sps.empty());
    EXPECT_FALSE(empty.isValid);
}

TEST(ParameterSets, StartCodeAtTheEndStopsTheScan) {
    // The trailing start code has no header byte; the SPS before it ends there.
    const Bytes data = {0x00, 0x00, 0x01, 0x67, 0x42, 0x11, 0x00, 0x00, 0x00, 0x01};
    const ParameterSets sets = scanned(data, NalRule::H264);
    EXPECT_EQ(sets.sps, (Bytes{0x67, 0x42, 0x11}));
    // A 3-byte start code as the last bytes, header byte past the end.
    const Bytes tail = {0x11, 0x22, 0x33, 0x44, 0x00, 0x00, 0x01};
    EXPECT_TRUE(scanned(tail, NalRule::H264).sps.empty());
}

TEST(ParameterSets, UnitAtTheVeryEndIsKeptWhole) {
    // The last unit runs to the end of the data, even its final three bytes.
    const Bytes data = {0x00, 0x00, 0x01, 0x68, 0x00, 0x00, 0x00};
    EXPECT_EQ(scanned(data, NalRule::H264).pps, (Bytes{0x68, 0x00, 0x00, 0x00}));
}

TEST(ParameterSets, HevcRule) {
    const Bytes hevc = {
        0x00, 0x00, 0x00, 0x01, 0x40, 0x01, 0x0C,  // VPS (type 32)
        0x00, 0x00, 0x00, 0x01, 0x42, 0x01, 0x01,  // SPS (33)
        0x00, 0x00, 0x00, 0x01, 0x44, 0x01, 0xC1,  // PPS (34)
        0x00, 0x00, 0x01, 0x26, 0x01, 0xAF,        // IDR_W_RADL (19)
    };
    const ParameterSets sets = scanned(hevc, NalRule::HEVC);
    EXPECT_EQ(sets.vps, (Bytes{0x40, 0x01, 0x0C}));
    EXPECT_EQ(sets.sps, (Bytes{0x42, 0x01, 0x01}));
    EXPECT_EQ(sets.pps, (Bytes{0x44, 0x01, 0xC1}));
    EXPECT_TRUE(sets.isValid);

    // H.264 parameter-set bytes mean nothing under the HEVC rule, and the other way round.
    const ParameterSets none = scanned(kH264Keyframe, NalRule::HEVC);
    EXPECT_TRUE(none.sps.empty());
    EXPECT_TRUE(none.pps.empty());
    EXPECT_TRUE(none.vps.empty());
    EXPECT_FALSE(none.isValid);
    EXPECT_TRUE(scanned(hevc, NalRule::H264).sps.empty());
}

TEST(ParameterSets, GarbageWithoutStartCodes) {
    Bytes noise(1000);
    for (std::size_t i = 0; i < noise.size(); ++i) {
        noise[i] = static_cast<std::uint8_t>(0x67 + (i % 5));
    }
    const ParameterSets sets = scanned(noise, NalRule::H264);
    EXPECT_TRUE(sets.sps.empty());
    EXPECT_FALSE(sets.isValid);
}

TEST(ParameterSets, CodecNameSelectsRule) {
    EXPECT_EQ(nalRuleForCodec("h265"), NalRule::HEVC);
    EXPECT_EQ(nalRuleForCodec("hevc"), NalRule::HEVC);
    EXPECT_EQ(nalRuleForCodec("h264"), NalRule::H264);
    EXPECT_EQ(nalRuleForCodec("HEVC"), NalRule::H264);
    EXPECT_EQ(nalRuleForCodec("h2655"), NalRule::H264);
    EXPECT_EQ(nalRuleForCodec(""), NalRule::H264);
}

TEST(ParameterSetCache, StartsEmptyAndReadersSeeWholeSets) {
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
}  // namespace quillane::host
