#include "encode/linux/SoftwareEncoder.h"

#include <cstdint>
#include <cstring>
#include <utility>

#include <x264.h>

#include <gtest/gtest.h>

#include "encode/EncoderFactory.h"
#include "H264TestDecoder.h"
#include "EncodeLog.h"
#include "TestFrames.h"

namespace quillane::host {
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

struct Nal {
    int type = 0;
    Bytes bytes;  // header byte on, start code off
};

// Splits an Annex B access unit at its start codes.
std::vector<Nal> splitNals(const Bytes& unit) {
    std::vector<std::size_t> starts;  // header byte positions
    std::vector<std::size_t> codes;   // start code positions
    for (std::size_t i = 0; i + 3 <= unit.size();) {
        if (unit[i] == 0 && unit[i + 1] == 0 && unit[i + 2] == 1) {
            codes.push_back(i > 0 && unit[i - 1] == 0 ? i - 1 : i);
            starts.push_back(i + 3);
            i += 3;
        } else {
            ++i;
        }
    }
    std::vector<Nal> nals;
    for (std::size_t n = 0; n < starts.size(); ++n) {
        const std::size_t end = n + 1 < starts.size() ? codes[n + 1] : unit.size();
        Nal nal;
        nal.type = unit[starts[n]] & 0x1F;
        nal.bytes.assign(unit.begin() + std::ptrdiff_t(starts[n]), unit.begin() + std::ptrdiff_t(end));
        nals.push_back(std::move(nal));
    }
    return nals;
}

int countType(const std::vector<Nal>& nals, int type) {
    int n = 0;
    for (const Nal& nal : nals) {
        n += nal.type == type ? 1 : 0;
    }
    return n;
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
    // Encodes one frame and returns (a copy of) its access unit; every frame yields
    // one at once.
    Unit encode(const BgraImage& image) {
        const std::size_t before = units.size();
        const BgraFrame frame = image.frame();
        EXPECT_TRUE(encoder.encodeFrame(&frame));
        EXPECT_EQ(units.size(), before + 1) << "no access unit from this call";
        return units.back();
    }
};

struct Psnr {
    double y, u, v;
};

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

TEST(SoftwareEncoder, MovingPatternDecodesAbove40dB) {
    Recorder recorder(configFor(1920, 1080, 20000, 50000));
    test::H264TestDecoder decoder;
    BgraImage image(1920, 1080);
    double worst = 99;
    for (int t = 0; t < 24; ++t) {
        image.drawMovingPattern(t);
        const Unit unit = recorder.encode(image);
        DecodedPicture picture;
        ASSERT_TRUE(decoder.decode(unit.bytes.data(), unit.bytes.size(), picture)) << "frame " << t;
        ASSERT_EQ(picture.width, 1920);
        ASSERT_EQ(picture.height, 1080);
        EXPECT_FALSE(picture.fullRange);
        const Psnr p = psnr(image, picture);
        EXPECT_GE(p.y, 40.0) << "frame " << t;
        EXPECT_GE(p.u, 40.0) << "frame " << t;
        EXPECT_GE(p.v, 40.0) << "frame " << t;
        worst = std::min({worst, p.y, p.u, p.v});
    }
    std::printf("worst plane PSNR over 24 frames: %.2f dB\n", worst);
}

TEST(SoftwareEncoder, PaddedRowsAreSkipped) {
    Recorder recorder(configFor(320, 240, 4000, 8000));
    test::H264TestDecoder decoder;
    BgraImage image(320, 240, 64);
    std::mt19937_64 random(7);
    for (int t = 0; t < 5; ++t) {
        image.drawNoise(random);  // garbage in the padding too
        image.drawMovingPattern(t);
        const Unit unit = recorder.encode(image);
        DecodedPicture picture;
        ASSERT_TRUE(decoder.decode(unit.bytes.data(), unit.bytes.size(), picture));
        EXPECT_GE(psnr(image, picture).y, 40.0);
    }
}

// A frame that stores only its top-left part (a capture smaller than the
// encoder's padded size) is encoded with black around it, at odd sizes too.
TEST(SoftwareEncoder, StoredRectangleIsPaddedWithBlack) {
    for (const bool fullRange : {false, true}) {
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
            ASSERT_TRUE(recorder.encoder.encodeFrame(&frame));
            DecodedPicture picture;
            ASSERT_TRUE(decoder.decode(recorder.units.back().bytes.data(), recorder.units.back().bytes.size(), picture));
            ASSERT_EQ(picture.width, 320);
            ASSERT_EQ(picture.height, 240);
            if (!fullRange) {
                EXPECT_GE(psnr(reference, picture).y, 38.0) << "frame " << t;
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

TEST(SoftwareEncoder, StreamShape) {
    EncoderConfig config = configFor(640, 480, 4000, 8000);
    config.sliceCount = 4;
    Recorder recorder(config);
    BgraImage image(640, 480);
    for (int t = 0; t < 3; ++t) {
        image.drawMovingPattern(t);
        recorder.encode(image);
    }
    ASSERT_EQ(recorder.units.size(), 3u);
    const Unit& first = recorder.units[0];
    EXPECT_TRUE(first.isKeyframe);
    ASSERT_GE(first.bytes.size(), 5u);
    EXPECT_EQ(Bytes(first.bytes.begin(), first.bytes.begin() + 4), (Bytes{0, 0, 0, 1}));
    const std::vector<Nal> nals = splitNals(first.bytes);
    ASSERT_FALSE(nals.empty());
    EXPECT_EQ(nals[0].type, 7);  // SPS first, no access unit delimiter
    EXPECT_EQ(countType(nals, 7), 1);
    EXPECT_EQ(countType(nals, 8), 1);
    EXPECT_EQ(countType(nals, 5), 4);  // one IDR slice per slice
    for (const Unit& unit : recorder.units) {
        EXPECT_EQ(countType(splitNals(unit.bytes), 9), 0);
    }
    const std::vector<Nal> second = splitNals(recorder.units[1].bytes);
    EXPECT_FALSE(recorder.units[1].isKeyframe);
    EXPECT_EQ(countType(second, 1), 4);
    EXPECT_EQ(countType(second, 7), 0);

    // Constrained Baseline (profile 66 with constraint_set0 and set1), so that Main
    // decoders take it; pps_id and sps_id are 0 (one '1' bit each), then CAVLC.
    const ParameterSets sets = recorder.encoder.getParameterSets();
    ASSERT_TRUE(sets.isValid);
    ASSERT_GE(sets.sps.size(), 3u);
    EXPECT_EQ(sets.sps[1], 66);
    EXPECT_EQ(sets.sps[2] & 0xC0, 0xC0);
    ASSERT_GE(sets.pps.size(), 2u);
    EXPECT_EQ(sets.pps[1] & 0xE0, 0xC0);
}

TEST(SoftwareEncoder, IdrEveryGopLengthAndNoSceneCuts) {
    EncoderConfig config = configFor(320, 240, 2000, 4000);
    config.gopLength = 10;
    Recorder recorder(config);
    BgraImage image(320, 240);
    std::mt19937_64 random(3);
    for (int t = 0; t < 25; ++t) {
        if (t % 3 == 0) {
            image.drawNoise(random);  // a new scene every third frame
        } else {
            image.fill(t * 9, 40, 200);
        }
        recorder.encode(image);
    }
    for (const Unit& unit : recorder.units) {
        const bool expected = unit.frameNumber % 10 == 0;
        EXPECT_EQ(unit.isKeyframe, expected) << "frame " << unit.frameNumber;
        EXPECT_EQ(countType(splitNals(unit.bytes), 5) > 0, expected) << "frame " << unit.frameNumber;
    }
}

TEST(SoftwareEncoder, KeyframeRequestGivesIdrWithParameterSetsOnTheNextFrame) {
    Recorder recorder(configFor(640, 360, 3000, 6000));
    BgraImage image(640, 360);
    for (int t = 0; t < 7; ++t) {
        image.drawMovingPattern(t);
        recorder.encode(image);
    }
    EXPECT_FALSE(recorder.units.back().isKeyframe);
    recorder.encoder.requestKeyframe();
    image.drawMovingPattern(7);
    const Unit unit = recorder.encode(image);
    EXPECT_TRUE(unit.isKeyframe);
    EXPECT_EQ(unit.frameNumber, 7u);
    const std::vector<Nal> nals = splitNals(unit.bytes);
    EXPECT_EQ(countType(nals, 7), 1);
    EXPECT_EQ(countType(nals, 8), 1);
    EXPECT_GE(countType(nals, 5), 1);
    image.drawMovingPattern(8);
    EXPECT_FALSE(recorder.encode(image).isKeyframe);

    // The decoder agrees that it is a fresh start: a new decoder joins on it.
    test::H264TestDecoder joining;
    DecodedPicture picture;
    ASSERT_TRUE(joining.decode(unit.bytes.data(), unit.bytes.size(), picture));
    EXPECT_TRUE(picture.keyframe);
}

TEST(SoftwareEncoder, KeyframeRequestSurvivesAFrameThatFails) {
    test::EncodeLog log;
    Recorder recorder(configFor(320, 240, 2000, 4000));
    BgraImage image(320, 240);
    image.drawMovingPattern(0);
    recorder.encode(image);
    recorder.encoder.requestKeyframe();
    const BgraImage wrongSize(322, 240);
    const BgraFrame bad = wrongSize.frame();
    EXPECT_FALSE(recorder.encoder.encodeFrame(&bad));
    EXPECT_EQ(log.countPrefix(err, "Software encoder: frame 322x240"), 1);
    image.drawMovingPattern(1);
    const Unit unit = recorder.encode(image);
    EXPECT_TRUE(unit.isKeyframe);
    EXPECT_EQ(unit.frameNumber, 1u);  // the failed frame took no number
}

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
    bytesOf(60);  // settle the rate control
    const std::uint64_t high = bytesOf(120);
    recorder.encoder.setBitrate(2000, 4000);
    const std::uint64_t low = bytesOf(120);
    std::printf("120 noisy frames: %llu bytes at 8 Mbit/s, %llu bytes at 2 Mbit/s\n",
                static_cast<unsigned long long>(high), static_cast<unsigned long long>(low));
    EXPECT_LE(low * 2, high);
    // At 60 fps, 8 Mbit/s is about 2 MB per 120 frames.
    EXPECT_GT(high, 1'500'000u);
    EXPECT_LT(high, 2'600'000u);
    EXPECT_EQ(log.count(info, "Bitrate updated to 2000 / 4000 kbps"), 1);
    EXPECT_EQ(recorder.encoder.getStats().framesEncoded, 300u);
}

TEST(SoftwareEncoder, ParameterSetsEqualX264sOwnHeaders) {
    const EncoderConfig config = configFor(1280, 720, 6000, 12000);
    Recorder recorder(config);
    ParameterSets seenInCallback;
    recorder.encoder.setOutputCallback([&](const EncodedFrame&) {
        // The callback runs without encoder locks: the sets are readable from it.
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
}

TEST(SoftwareEncoder, FullRangeIsSignalledAndUsed) {
    for (const bool fullRange : {false, true}) {
        EncoderConfig config = configFor(320, 240, 2000, 4000);
        config.fullRange = fullRange;
        Recorder recorder(config);
        test::H264TestDecoder decoder;
        BgraImage white(320, 240);
        white.fill(255, 255, 255);
        BgraImage black(320, 240);
        black.fill(0, 0, 0);
        DecodedPicture picture;
        const Unit first = recorder.encode(white);
        ASSERT_TRUE(decoder.decode(first.bytes.data(), first.bytes.size(), picture));
        EXPECT_EQ(picture.fullRange, fullRange);
        EXPECT_NEAR(picture.y[320 * 120 + 160], fullRange ? 255 : 235, 2);
        EXPECT_NEAR(picture.u[160 * 60 + 80], 128, 2);
        const Unit second = recorder.encode(black);
        ASSERT_TRUE(decoder.decode(second.bytes.data(), second.bytes.size(), picture));
        EXPECT_NEAR(picture.y[320 * 120 + 160], fullRange ? 0 : 16, 2);
    }
}

TEST(SoftwareEncoder, InvalidConfigIsRefused) {
    const std::pair<const char*, void (*)(EncoderConfig&)> cases[] = {
        {"fps 0", [](EncoderConfig& c) { c.fps = 0; }},
        {"odd width", [](EncoderConfig& c) { c.width = 641; }},
        {"zero height", [](EncoderConfig& c) { c.height = 0; }},
        {"bitrate too large", [](EncoderConfig& c) { c.bitrateKbps = 5'000'000; }},
    };
    for (const auto& [what, change] : cases) {
        test::EncodeLog log;
        EncoderConfig config = configFor(640, 480, 2000, 4000);
        change(config);
        SoftwareEncoder encoder;
        EXPECT_FALSE(encoder.initialize(nullptr, config)) << what;
        EXPECT_FALSE(encoder.isInitialized()) << what;
        EXPECT_EQ(log.countPrefix(err, "Software encoder: invalid config: "), 1) << what;
        BgraImage image(640, 480);
        const BgraFrame frame = image.frame();
        EXPECT_FALSE(encoder.encodeFrame(&frame));

        EXPECT_EQ(EncoderFactory::createEncoder(EncoderType::Software, nullptr, config), nullptr);
        EXPECT_TRUE(log.has(err, "Failed to initialize Software encoder")) << what;
    }
}

TEST(SoftwareEncoder, Lifecycle) {
    test::EncodeLog log;
    SoftwareEncoder encoder;
    EXPECT_STREQ(encoder.getName(), "Software");
    BgraImage image(320, 240);
    const BgraFrame frame = image.frame();
    EXPECT_FALSE(encoder.encodeFrame(&frame));
    encoder.setBitrate(1000, 2000);  // ignored: not running yet
    encoder.shutdown();
    EXPECT_FALSE(encoder.reconfigure(configFor(320, 240, 1000, 2000)));
    EXPECT_EQ(log.countAtLeast(spdlog::level::debug), 0);

    ASSERT_TRUE(encoder.initialize(nullptr, configFor(320, 240, 2000, 4000)));
    EXPECT_TRUE(log.has(info, "Software encoder initialized: 320x240 @ 2000 kbps, 60 fps"));
    log.clear();
    EXPECT_FALSE(encoder.encodeFrame(nullptr));
    EXPECT_EQ(log.countAtLeast(spdlog::level::info), 0);

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
    EXPECT_EQ(encoder.getStats().framesEncoded, 1u);
    encoder.shutdown();

    // Without a callback the frame is still encoded and counted.
    ASSERT_TRUE(encoder.initialize(nullptr, configFor(320, 240, 2000, 4000)));
    encoder.setOutputCallback(nullptr);
    EXPECT_TRUE(encoder.encodeFrame(&frame));
    EXPECT_EQ(encoder.getStats().framesEncoded, 2u);
}

TEST(SoftwareEncoder, StatisticsAndFrameNumbers) {
    Recorder recorder(configFor(320, 240, 2000, 4000));
    BgraImage image(320, 240);
    std::uint64_t bytes = 0;
    for (int t = 0; t < 10; ++t) {
        image.drawMovingPattern(t);
        bytes += recorder.encode(image).bytes.size();
    }
    const EncoderStats stats = recorder.encoder.getStats();
    EXPECT_EQ(stats.framesEncoded, 10u);
    EXPECT_EQ(stats.bytesEncoded, bytes);
    EXPECT_GT(stats.avgEncodeTimeMs, 0.0);
    for (std::size_t i = 0; i < recorder.units.size(); ++i) {
        EXPECT_EQ(recorder.units[i].frameNumber, i);
        if (i > 0) {
            EXPECT_GE(recorder.units[i].timestampUs, recorder.units[i - 1].timestampUs);
        }
    }
}

TEST(SoftwareEncoder, ReconfigureChangesOnlyTheBitrate) {
    test::EncodeLog log;
    Recorder recorder(configFor(320, 240, 2000, 4000));
    BgraImage image(320, 240);
    image.drawMovingPattern(0);
    recorder.encode(image);

    EncoderConfig other = configFor(640, 480, 3000, 6000);
    EXPECT_FALSE(recorder.encoder.reconfigure(other));
    EXPECT_TRUE(log.has(warn, "Resolution change requires re-initialization"));

    EncoderConfig same = configFor(320, 240, 5000, 10000);
    same.fps = 30;
    EXPECT_TRUE(recorder.encoder.reconfigure(same));
    EXPECT_FALSE(log.has(info, "Bitrate updated to 5000 / 10000 kbps"));  // applied with the next frame
    image.drawMovingPattern(1);
    recorder.encode(image);
    EXPECT_TRUE(log.has(info, "Bitrate updated to 5000 / 10000 kbps"));
}

TEST(SoftwareEncoder, OutOfRangeBitrateIsIgnored) {
    test::EncodeLog log;
    Recorder recorder(configFor(320, 240, 2000, 4000));
    recorder.encoder.setBitrate(0, 1000);
    recorder.encoder.setBitrate(1000, 4294968);
    EXPECT_TRUE(log.has(warn, "Ignoring bitrate 0 / 1000 kbps: out of range"));
    EXPECT_TRUE(log.has(warn, "Ignoring bitrate 1000 / 4294968 kbps: out of range"));
    BgraImage image(320, 240);
    recorder.encode(image);
    EXPECT_EQ(log.countPrefix(info, "Bitrate updated"), 0);
}

TEST(SoftwareEncoder, PlatformFactoryFallsBackToSoftware) {
    test::EncodeLog log;
    const EncoderConfig config = configFor(640, 368, 2000, 4000);
    std::unique_ptr<EncoderBase> encoder = EncoderFactory::createBestEncoder(nullptr, config);
    ASSERT_NE(encoder, nullptr);
    EXPECT_STREQ(encoder->getName(), "Software");
    EXPECT_TRUE(encoder->isInitialized());
    EXPECT_TRUE(log.has(info, "Created Software encoder"));
    EXPECT_TRUE(EncoderFactory::getAvailableEncoders(nullptr).empty());
}

}  // namespace
}  // namespace quillane::host
