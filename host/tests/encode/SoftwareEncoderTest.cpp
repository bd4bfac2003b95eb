#include "encode/linux/SoftwareEncoder.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

#include <x264.h>

#include <gtest/gtest.h>

#include "encode/EncoderFactory.h"
#include "H264TestDecoder.h"
#include "EncodeLog.h"
#include "TestFrames.h"

namespace quillane::host::test {
namespace {

using spdlog::level::err;
using spdlog::level::info;
using spdlog::level::warn;
using test::BgraImage;
using test::DecodedPicture;
using Bytes = std::vector<std::uint8_t>;

struct Unit {
    Bytes bytes;
    bool isKeyframe = false;
    std::uint32_t frameNumber = 0;
    std::int64_t timestampUs = 0;
};

int countNals(const Bytes& unit, int type) {
    const std::vector<int> types = test::nalTypes(unit);
    return static_cast<int>(std::count(types.begin(), types.end(), type));
}

EncoderConfig configFor(std::uint32_t width, std::uint32_t height, std::uint32_t kbps, std::uint32_t peakKbps) {
    EncoderConfig config;
    config.width = width;
    config.height = height;
    config.bitrateKbps = kbps;
    config.maxBitrateKbps = peakKbps;
    config.fps = 60;
    return config;
}

// A software encoder whose output is collected.
struct Recorder {
    SoftwareEncoder encoder;
    std::vector<Unit> units;

    explicit Recorder(const EncoderConfig& config) {
        EXPECT_TRUE(encoder.initialize(nullptr, config));
        encoder.setOutputCallback([this](const EncodedFrame& frame) {
            units.push_back({Bytes(frame.data, frame.data + frame.size), frame.isKeyframe, frame.frameNumber,
                             frame.timestampUs});
        });
    }
    // Every frame yields its access unit within the call.
    Unit encode(const BgraFrame& frame) {
        const std::size_t before = units.size();
        EXPECT_TRUE(encoder.encodeFrame(&frame));
        EXPECT_EQ(units.size(), before + 1) << "no access unit from this call";
        return units.empty() ? Unit{} : units.back();
    }
    Unit encode(const BgraImage& image) { return encode(image.frame()); }
};

DecodedPicture decodeOne(test::H264TestDecoder& decoder, const Unit& unit) {
    DecodedPicture picture;
    EXPECT_TRUE(decoder.decode(unit.bytes.data(), unit.bytes.size(), picture)) << "frame " << unit.frameNumber;
    return picture;
}

struct Psnr {
    double y, u, v;
};

// Against BT.601 limited range, chroma averaged over each 2x2 block.
Psnr psnr(const BgraImage& image, const DecodedPicture& picture) {
    double sy = 0, su = 0, sv = 0;
    for (std::uint32_t y = 0; y < image.height; ++y) {
        for (std::uint32_t x = 0; x < image.width; ++x) {
            const std::uint8_t* p = image.pixel(x, y);
            const double d = test::referenceY(p[2], p[1], p[0]) - picture.y[std::size_t(y) * image.width + x];
            sy += d * d;
        }
    }
    const std::uint32_t cw = image.width / 2;
    for (std::uint32_t y = 0; y < image.height / 2; ++y) {
        for (std::uint32_t x = 0; x < cw; ++x) {
            double r = 0, g = 0, b = 0;
            for (std::uint32_t k = 0; k < 4; ++k) {
                const std::uint8_t* p = image.pixel(2 * x + (k & 1), 2 * y + (k >> 1));
                b += p[0] / 4.0;
                g += p[1] / 4.0;
                r += p[2] / 4.0;
            }
            const double du = test::referenceU(r, g, b) - picture.u[std::size_t(y) * cw + x];
            const double dv = test::referenceV(r, g, b) - picture.v[std::size_t(y) * cw + x];
            su += du * du;
            sv += dv * dv;
        }
    }
    const std::size_t luma = std::size_t(image.width) * image.height;
    return {test::psnrFromSquaredError(sy, luma), test::psnrFromSquaredError(su, luma / 4),
            test::psnrFromSquaredError(sv, luma / 4)};
}

// 1080p at 20 Mbit/s, rows padded with garbage the encoder must skip.
TEST(SoftwareEncoder, MovingPatternDecodesAbove40dB) {
    Recorder recorder(configFor(1920, 1080, 20000, 50000));
    test::H264TestDecoder decoder;
    BgraImage image(1920, 1080, 64);
    std::mt19937_64 random(7);
    image.drawNoise(random);
    double worst = 99;
    for (int t = 0; t < 24; ++t) {
        image.drawMovingPattern(t);
        const DecodedPicture picture = decodeOne(decoder, recorder.encode(image));
        ASSERT_EQ(picture.width, 1920);
        ASSERT_EQ(picture.height, 1080);
        EXPECT_FALSE(picture.fullRange);
        const Psnr p = psnr(image, picture);
        EXPECT_GE(std::min({p.y, p.u, p.v}), 40.0) << "frame " << t << ": " << p.y << " " << p.u << " " << p.v;
        worst = std::min({worst, p.y, p.u, p.v});
    }
    std::printf("worst plane PSNR over 24 frames: %.2f dB\n", worst);
}

// A frame that stores only its top-left part is encoded with black around it,
// in either range, and the range is signalled and used.
TEST(SoftwareEncoder, StoredRectangleIsPaddedWithBlackInEitherRange) {
    for (const bool fullRange : {false, true}) {
        SCOPED_TRACE(fullRange ? "full range" : "limited range");
        EncoderConfig config = configFor(320, 240, 6000, 12000);
        config.fullRange = fullRange;
        Recorder recorder(config);
        test::H264TestDecoder decoder;
        BgraImage content(301, 227, 12);
        BgraImage reference(320, 240);
        for (int t = 0; t < 3; ++t) {
            content.drawMovingPattern(t);
            reference.fill(0, 0, 0);
            for (std::uint32_t y = 0; y < content.height; ++y)
                std::memcpy(reference.pixel(0, y), content.pixel(0, y), std::size_t(content.width) * 4);
            BgraFrame frame = content.frame();
            frame.width = 320, frame.height = 240;
            frame.contentWidth = content.width, frame.contentHeight = content.height;
            const DecodedPicture picture = decodeOne(decoder, recorder.encode(frame));
            ASSERT_EQ(picture.width, 320);
            ASSERT_EQ(picture.height, 240);
            EXPECT_EQ(picture.fullRange, fullRange);
            if (!fullRange) {
                EXPECT_GE(psnr(reference, picture).y, 38.0) << "frame " << t;
            }
            if (t == 0) {  // the pattern's (250,250,250) box sits at the top left
                EXPECT_NEAR(picture.y[10 * 320 + 10], fullRange ? 250 : 231, 3);
            }
            const int black = fullRange ? 0 : 16;
            for (const auto& [x, y] : {std::pair{319, 10}, std::pair{310, 239}, std::pair{319, 239}, std::pair{5, 235}}) {
                EXPECT_NEAR(picture.y[std::size_t(y) * 320 + x], black, 3) << x << "," << y;
                EXPECT_NEAR(picture.u[std::size_t(y / 2) * 160 + x / 2], 128, 3) << x << "," << y;
                EXPECT_NEAR(picture.v[std::size_t(y / 2) * 160 + x / 2], 128, 3) << x << "," << y;
            }
        }
    }
}

// IDR every gopLength frames and on request only (scene cuts make none), each
// with SPS and PPS first, one slice per configured slice, no delimiters.
TEST(SoftwareEncoder, StreamShapeGopAndKeyframeRequests) {
    test::EncodeLog log;
    EncoderConfig config = configFor(640, 480, 4000, 8000);
    config.gopLength = 10;
    config.sliceCount = 4;
    Recorder recorder(config);
    BgraImage image(640, 480);
    std::mt19937_64 random(3);
    std::uint64_t bytes = 0;
    for (int t = 0; t < 27; ++t) {
        if (t % 3 == 0) {
            image.drawNoise(random);
        } else {
            image.drawMovingPattern(t);
        }
        if (t == 23) {
            recorder.encoder.requestKeyframe();
        }
        bytes += recorder.encode(image).bytes.size();
    }
    ASSERT_EQ(recorder.units.size(), 27u);
    for (std::size_t i = 0; i < recorder.units.size(); ++i) {
        SCOPED_TRACE("frame " + std::to_string(i));
        const Unit& unit = recorder.units[i];
        const bool key = i % 10 == 0 || i == 23;
        EXPECT_EQ(unit.frameNumber, i);
        EXPECT_EQ(unit.isKeyframe, key);
        ASSERT_GE(unit.bytes.size(), 5u);
        EXPECT_EQ(Bytes(unit.bytes.begin(), unit.bytes.begin() + 4), (Bytes{0, 0, 0, 1}));
        EXPECT_EQ(test::nalTypes(unit.bytes).front(), key ? 7 : 1);
        EXPECT_EQ(countNals(unit.bytes, 7), key ? 1 : 0);
        EXPECT_EQ(countNals(unit.bytes, 8), key ? 1 : 0);
        EXPECT_EQ(countNals(unit.bytes, 5), key ? 4 : 0);
        EXPECT_EQ(countNals(unit.bytes, 1), key ? 0 : 4);
        EXPECT_EQ(countNals(unit.bytes, 9), 0);
        if (i > 0) {
            EXPECT_GE(unit.timestampUs, recorder.units[i - 1].timestampUs);
        }
    }
    const EncoderStats stats = recorder.encoder.getStats();
    EXPECT_EQ(stats.framesEncoded, 27u);
    EXPECT_EQ(stats.bytesEncoded, bytes);
    EXPECT_GT(stats.avgEncodeTimeMs, 0.0);

    // A decoder that joins on the requested keyframe starts there.
    test::H264TestDecoder joining;
    EXPECT_TRUE(decodeOne(joining, recorder.units[23]).keyframe);

    // A request outlives a frame that fails, which takes no number.
    recorder.encoder.requestKeyframe();
    const BgraImage wrongSize(642, 480);
    const BgraFrame bad = wrongSize.frame();
    EXPECT_FALSE(recorder.encoder.encodeFrame(&bad));
    EXPECT_EQ(log.countPrefix(err, "Software encoder: frame 642x480"), 1);
    const Unit next = recorder.encode(image);
    EXPECT_TRUE(next.isKeyframe);
    EXPECT_EQ(next.frameNumber, 27u);
}

// Bitrate changes arrive through reconfigure (same size only) and are applied
// with the next frame; out-of-range ones are ignored.
TEST(SoftwareEncoder, LoweringTheBitrateHalvesTheOutput) {
    test::EncodeLog log;
    Recorder recorder(configFor(1280, 720, 8000, 16000));
    BgraImage image(1280, 720);
    std::mt19937_64 random(11);
    const auto bytesOf = [&](int frames) {
        std::uint64_t total = 0;
        for (int i = 0; i < frames; ++i) {
            image.drawNoise(random);
            total += recorder.encode(image).bytes.size();
        }
        return total;
    };
    recorder.encoder.setBitrate(0, 1000);
    recorder.encoder.setBitrate(1000, 4294968);
    EXPECT_TRUE(log.has(warn, "Ignoring bitrate 0 / 1000 kbps: out of range"));
    EXPECT_TRUE(log.has(warn, "Ignoring bitrate 1000 / 4294968 kbps: out of range"));
    bytesOf(60);  // settle the rate control
    EXPECT_EQ(log.countPrefix(info, "Bitrate updated"), 0);
    const std::uint64_t high = bytesOf(120);

    EXPECT_FALSE(recorder.encoder.reconfigure(configFor(640, 480, 2000, 4000)));
    EXPECT_TRUE(log.has(warn, "Resolution change requires re-initialization"));
    EXPECT_TRUE(recorder.encoder.reconfigure(configFor(1280, 720, 2000, 4000)));
    EXPECT_FALSE(log.has(info, "Bitrate updated to 2000 / 4000 kbps"));
    const std::uint64_t low = bytesOf(120);
    std::printf("120 noisy frames: %llu bytes at 8 Mbit/s, %llu bytes at 2 Mbit/s\n",
                static_cast<unsigned long long>(high), static_cast<unsigned long long>(low));
    EXPECT_LE(low * 2, high);
    // At 60 fps, 8 Mbit/s is about 2 MB per 120 frames.
    EXPECT_GT(high, 1'500'000u);
    EXPECT_LT(high, 2'600'000u);
    EXPECT_EQ(log.count(info, "Bitrate updated to 2000 / 4000 kbps"), 1);
}

// Constrained Baseline (so Main decoders take it) with CAVLC, and the sets are
// x264's own headers, readable from inside the output callback.
TEST(SoftwareEncoder, ParameterSetsEqualX264sOwnHeaders) {
    const EncoderConfig config = configFor(1280, 720, 6000, 12000);
    Recorder recorder(config);
    ParameterSets seenInCallback;
    recorder.encoder.setOutputCallback([&](const EncodedFrame&) {
        seenInCallback = recorder.encoder.getParameterSets();
    });
    EXPECT_FALSE(recorder.encoder.getParameterSets().isValid);
    BgraImage image(1280, 720);
    image.drawMovingPattern(0);
    const BgraFrame frame = image.frame();
    ASSERT_TRUE(recorder.encoder.encodeFrame(&frame));
    ASSERT_TRUE(seenInCallback.isValid);

    x264_param_t param;
    ASSERT_TRUE(fillX264Params(param, config));
    x264_t* reference = x264_encoder_open(&param);
    ASSERT_NE(reference, nullptr);
    x264_nal_t* nals = nullptr;
    int count = 0;
    ASSERT_GT(x264_encoder_headers(reference, &nals, &count), 0);
    Bytes sps, pps;
    for (int i = 0; i < count; ++i) {
        const std::size_t startCode = nals[i].b_long_startcode ? 4 : 3;
        Bytes payload(nals[i].p_payload + startCode, nals[i].p_payload + nals[i].i_payload);
        if (nals[i].i_type == NAL_SPS) {
            sps = payload;
        } else if (nals[i].i_type == NAL_PPS) {
            pps = payload;
        }
    }
    x264_encoder_close(reference);

    const ParameterSets sets = recorder.encoder.getParameterSets();
    EXPECT_EQ(sets.sps, sps);
    EXPECT_EQ(sets.pps, pps);
    EXPECT_TRUE(sets.vps.empty());
    EXPECT_EQ(seenInCallback.sps, sps);
    EXPECT_EQ(seenInCallback.pps, pps);
    ASSERT_GE(sets.sps.size(), 3u);
    EXPECT_EQ(sets.sps[1], 66);  // profile_idc Baseline
    EXPECT_EQ(sets.sps[2] & 0xC0, 0xC0);  // constraint_set0 and set1
    ASSERT_GE(sets.pps.size(), 2u);
    EXPECT_EQ(sets.pps[1] & 0xE0, 0xC0);  // pps_id 0, sps_id 0, then CAVLC
}

// The config checks themselves are the shared validation's tests; here only
// that the encoder and the factory apply them.
TEST(SoftwareEncoder, LifecycleAndRefusedConfigs) {
    {
        test::EncodeLog log;
        EncoderConfig config = configFor(640, 480, 2000, 4000);
        config.fps = 0;
        SoftwareEncoder encoder;
        EXPECT_FALSE(encoder.initialize(nullptr, config));
        EXPECT_FALSE(encoder.isInitialized());
        EXPECT_EQ(log.countPrefix(err, "Software encoder: invalid config: "), 1);
        EXPECT_EQ(EncoderFactory::createEncoder(EncoderType::Software, nullptr, config), nullptr);
        EXPECT_TRUE(log.has(err, "Failed to initialize Software encoder"));
    }

    test::EncodeLog log;
    SoftwareEncoder encoder;
    BgraImage image(320, 240);
    const BgraFrame frame = image.frame();
    EXPECT_FALSE(encoder.encodeFrame(&frame));
    encoder.setBitrate(1000, 2000);  // ignored: not running yet
    EXPECT_FALSE(encoder.reconfigure(configFor(320, 240, 1000, 2000)));
    encoder.shutdown();
    EXPECT_EQ(log.countAtLeast(spdlog::level::debug), 0);

    ASSERT_TRUE(encoder.initialize(nullptr, configFor(320, 240, 2000, 4000)));
    EXPECT_TRUE(log.has(info, "Software encoder initialized: 320x240 @ 2000 kbps, 60 fps"));
    EXPECT_FALSE(encoder.encodeFrame(nullptr));
    // A second initialisation changes nothing, not even the size.
    EXPECT_TRUE(encoder.initialize(nullptr, configFor(640, 480, 2000, 4000)));
    EXPECT_TRUE(log.has(warn, "Software encoder already initialized"));
    int delivered = 0;
    encoder.setOutputCallback([&](const EncodedFrame&) { ++delivered; });
    EXPECT_TRUE(encoder.encodeFrame(&frame));
    EXPECT_EQ(delivered, 1);
    EXPECT_FALSE(log.has(info, "Bitrate updated to 1000 / 2000 kbps"));

    encoder.shutdown();
    EXPECT_FALSE(encoder.isInitialized());
    EXPECT_FALSE(encoder.encodeFrame(&frame));
    EXPECT_TRUE(encoder.getParameterSets().isValid);  // kept after shutdown
    encoder.shutdown();
    // Without a callback the frame is still encoded and counted.
    ASSERT_TRUE(encoder.initialize(nullptr, configFor(320, 240, 2000, 4000)));
    encoder.setOutputCallback(nullptr);
    EXPECT_TRUE(encoder.encodeFrame(&frame));
    EXPECT_EQ(encoder.getStats().framesEncoded, 2u);

    // This platform's factory has only the software encoder.
    std::unique_ptr<EncoderBase> best = EncoderFactory::createBestEncoder(nullptr, configFor(640, 368, 2000, 4000));
    ASSERT_NE(best, nullptr);
    EXPECT_STREQ(best->getName(), "Software");
    EXPECT_TRUE(best->isInitialized());
    EXPECT_TRUE(EncoderFactory::getAvailableEncoders(nullptr).empty());
}

}  // namespace
}  // namespace quillane::host::test
