// Per-frame cost of the software encoding path: colour conversion alone, and
// conversion plus encoding as encodeFrame runs it, at 1080p and 2160p with one
// and four slice threads; and the parameter-set scan run on every keyframe.
// Streams run with the default config: 72 fps, 20 Mbit/s (50 Mbit/s at 2160p).
// Run it on two cores as: taskset -c 0,1 build/linux/host/bench/bench_encode
//   --benchmark_repetitions=5 --benchmark_report_aggregates_only=true

#include <sys/resource.h>

#include <benchmark/benchmark.h>
#include <libyuv/convert_from_argb.h>
#include <cstring>
#include <spdlog/spdlog.h>

#include "TestFrames.h"
#include "encode/ParameterSetCache.h"
#include "encode/linux/SoftwareEncoder.h"

namespace quillane::host {
namespace {

constexpr int kPatternFrames = 8;

// CPU time of the whole process (all threads) in milliseconds. On a shared machine
// this says what a frame costs even when the wall clock is stretched by others.
double processCpuMs() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

std::vector<test::BgraImage> movingPattern(std::uint32_t width, std::uint32_t height) {
    std::vector<test::BgraImage> frames;
    for (int t = 0; t < kPatternFrames; ++t) {
        frames.emplace_back(width, height);
        frames.back().drawMovingPattern(t * 3);
    }
    return frames;
}

// A desktop: flat panels with fine text-like detail that stays, and a 640x360
// video playing inside, moving a little each frame.
std::vector<test::BgraImage> desktopScene(std::uint32_t width, std::uint32_t height) {
    test::BgraImage video(640, 360);
    std::vector<test::BgraImage> frames;
    for (int t = 0; t < kPatternFrames; ++t) {
        frames.emplace_back(width, height);
        test::BgraImage& frame = frames.back();
        for (std::uint32_t y = 0; y < height; ++y) {
            for (std::uint32_t x = 0; x < width; ++x) {
                std::uint8_t* p = frame.pixel(x, y);
                const bool panel = (x / 480 + y / 270) % 2 == 0;
                const bool glyph = (y % 18) < 12 && ((x * 7 + y * 3) % 11) < 3 && (x % 480) > 40;
                const std::uint8_t shade = glyph ? 30 : (panel ? 235 : 200);
                p[0] = shade;
                p[1] = shade;
                p[2] = panel ? shade : 220;
                p[3] = 255;
            }
        }
        video.drawMovingPattern(t * 3);
        for (std::uint32_t y = 0; y < video.height; ++y) {
            std::memcpy(frame.pixel(200 + t * 2, 150 + y), video.pixel(0, y), video.width * 4);
        }
    }
    return frames;
}

void BM_BgraToNv12(benchmark::State& state) {
    const auto width = static_cast<std::uint32_t>(state.range(0));
    const auto height = static_cast<std::uint32_t>(state.range(1));
    const std::vector<test::BgraImage> frames = movingPattern(width, height);
    std::vector<std::uint8_t> nv12(std::size_t(width) * height * 3 / 2);
    int i = 0;
    for (auto _ : state) {
        const test::BgraImage& image = frames[i++ % kPatternFrames];
        libyuv::ARGBToNV12(image.pixels.data(), int(image.pitch), nv12.data(), int(width),
                           nv12.data() + std::size_t(width) * height, int(width), int(width), int(height));
        benchmark::DoNotOptimize(nv12.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BgraToNv12)->Args({1920, 1080})->Args({3840, 2160})->Unit(benchmark::kMillisecond);

// Conversion and encoding of one frame, as the capture thread pays for it.
void BM_EncodeFrame(benchmark::State& state) {
    spdlog::set_level(spdlog::level::warn);
    const auto width = static_cast<std::uint32_t>(state.range(0));
    const auto height = static_cast<std::uint32_t>(state.range(1));
    EncoderConfig config;
    config.width = width;
    config.height = height;
    config.bitrateKbps = width >= 3840 ? 50000 : 20000;
    config.maxBitrateKbps = config.bitrateKbps * 5 / 2;
    config.sliceCount = static_cast<std::uint32_t>(state.range(2));
    SoftwareEncoder encoder;
    if (!encoder.initialize(nullptr, config)) {
        state.SkipWithError("initialize failed");
        return;
    }
    std::uint64_t bytes = 0;
    encoder.setOutputCallback([&](const EncodedFrame& frame) { bytes += frame.size; });
    const std::vector<test::BgraImage> frames =
        state.range(3) == 0 ? movingPattern(width, height) : desktopScene(width, height);
    int i = 0;
    const double cpuStart = processCpuMs();
    for (auto _ : state) {
        const BgraFrame frame = frames[i++ % kPatternFrames].frame();
        if (!encoder.encodeFrame(&frame)) {
            state.SkipWithError("encodeFrame failed");
            break;
        }
    }
    const double frameCount = double(std::max<std::int64_t>(1, state.iterations()));
    state.SetItemsProcessed(state.iterations());
    state.counters["all_threads_cpu_ms"] = (processCpuMs() - cpuStart) / frameCount;
    state.counters["kbit_per_frame"] = double(bytes) * 8 / 1000 / frameCount;
}
// scene 0: everything moves (the worst case); 1: a desktop with a playing video.
BENCHMARK(BM_EncodeFrame)
    ->ArgNames({"width", "height", "threads", "scene"})
    ->Args({1920, 1080, 1, 0})
    ->Args({1920, 1080, 4, 0})
    ->Args({3840, 2160, 1, 0})
    ->Args({3840, 2160, 4, 0})
    ->Args({1920, 1080, 1, 1})
    ->Args({1920, 1080, 4, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// A 1080p keyframe as the encoder produces it.
std::vector<std::uint8_t> realKeyframe() {
    EncoderConfig config;
    SoftwareEncoder encoder;
    encoder.initialize(nullptr, config);
    std::vector<std::uint8_t> keyframe;
    encoder.setOutputCallback([&](const EncodedFrame& frame) { keyframe.assign(frame.data, frame.data + frame.size); });
    const std::vector<test::BgraImage> frames = movingPattern(1920, 1080);
    const BgraFrame frame = frames[0].frame();
    encoder.encodeFrame(&frame);
    return keyframe;
}

void BM_ParameterSetScan(benchmark::State& state) {
    spdlog::set_level(spdlog::level::warn);
    const std::vector<std::uint8_t> keyframe = realKeyframe();
    ParameterSetCache cache;
    for (auto _ : state) {
        cache.scan(keyframe.data(), keyframe.size(), NalRule::H264);
    }
    state.SetBytesProcessed(state.iterations() * std::int64_t(keyframe.size()));
    state.counters["keyframe_bytes"] = double(keyframe.size());
}
BENCHMARK(BM_ParameterSetScan)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace quillane::host

BENCHMARK_MAIN();
