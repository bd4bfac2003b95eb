// Desktop sound to the audio socket, in a virtual desktop's PulseAudio: the latency from a tone
// burst written into the default sink to its first packet at a local client (median and 95th
// percentile over 20 bursts), and the audio capture thread's CPU (capture, conversion, Opus
// encoding, queueing) per second of continuous sound.
#include "audio/AudioCapture.h"
#include "audio/AudioFrameBuffer.h"
#include "audio/OpusEncoder.h"
#include "network/TcpAudioServer.h"

#include "AudioClient.h"

#include <benchmark/benchmark.h>
#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <numbers>
#include <thread>

namespace {

using namespace std::chrono_literals;
using namespace quillane::host;
using Clock = std::chrono::steady_clock;

double threadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

// A playback stream into the default sink. A low-latency one plays written samples at the next
// mix; otherwise the server's default buffering applies, as for most programs that play sound.
class Player {
public:
    explicit Player(bool lowLatency) {
        loop = pa_threaded_mainloop_new();
        pa_threaded_mainloop_start(loop);
        pa_threaded_mainloop_lock(loop);
        context = pa_context_new(pa_threaded_mainloop_get_api(loop), "audio bench");
        pa_context_set_state_callback(context, [](pa_context*, void* l) {
            pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(l), 0);
        }, loop);
        pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr);
        while (pa_context_get_state(context) != PA_CONTEXT_READY && PA_CONTEXT_IS_GOOD(pa_context_get_state(context)))
            pa_threaded_mainloop_wait(loop);
        const pa_sample_spec format{PA_SAMPLE_FLOAT32NE, 48000, 2};
        stream = pa_stream_new(context, "bench tone", &format, nullptr);
        pa_stream_set_state_callback(stream, [](pa_stream*, void* l) {
            pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(l), 0);
        }, loop);
        pa_buffer_attr attr{};
        attr.maxlength = static_cast<std::uint32_t>(-1);
        attr.tlength = static_cast<std::uint32_t>(pa_usec_to_bytes(10000, &format));
        attr.prebuf = static_cast<std::uint32_t>(-1);  // starts again on the next write after running dry
        attr.minreq = static_cast<std::uint32_t>(-1);
        attr.fragsize = static_cast<std::uint32_t>(-1);
        pa_stream_connect_playback(stream, nullptr, lowLatency ? &attr : nullptr,
                                   lowLatency ? PA_STREAM_ADJUST_LATENCY : PA_STREAM_NOFLAGS, nullptr, nullptr);
        while (pa_stream_get_state(stream) != PA_STREAM_READY && PA_STREAM_IS_GOOD(pa_stream_get_state(stream)))
            pa_threaded_mainloop_wait(loop);
        ok = pa_stream_get_state(stream) == PA_STREAM_READY;
        pa_threaded_mainloop_unlock(loop);
    }
    ~Player() {
        pa_threaded_mainloop_stop(loop);
        if (stream) pa_stream_unref(stream);
        pa_context_disconnect(context);
        pa_context_unref(context);
        pa_threaded_mainloop_free(loop);
    }
    // Writes a tone of `frames` frames; returns the time just before the write.
    Clock::time_point play(double hz, std::size_t frames) {
        std::vector<float> samples(frames * 2);
        for (std::size_t i = 0; i < frames; ++i)
            samples[2 * i] = samples[2 * i + 1] =
                static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * hz * static_cast<double>(i) / 48000));
        pa_threaded_mainloop_lock(loop);
        const auto at = Clock::now();
        pa_stream_write(stream, samples.data(), samples.size() * sizeof(float), nullptr, 0, PA_SEEK_RELATIVE);
        pa_threaded_mainloop_unlock(loop);
        return at;
    }
    bool ok = false;

private:
    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;
};

// The host's audio path in this process: capture, the sink's framing and encoding, the server.
struct AudioPath {
    AudioPath() {
        server.start();
        encoder.initialize(OpusEncoderConfig{});
        capture.initialize(AudioCaptureConfig{});
        capture.start([this](const std::int16_t* pcm, std::uint32_t frames, std::uint32_t rate, std::uint32_t ch) {
            buffer.push(encoder, pcm, frames, rate, ch,
                        [&](const std::uint8_t* data, std::size_t size) { server.sendAudioData(1, data, size); });
            cpuSeconds = threadCpuSeconds();
            framesDelivered += frames;
        });
    }
    ~AudioPath() { capture.stop(); }

    TcpAudioServer server{0};
    OpusAudioEncoder encoder;
    AudioFrameBuffer buffer;
    AudioCapture capture;
    std::atomic<double> cpuSeconds{0};
    std::atomic<std::uint64_t> framesDelivered{0};
};

// Nearest rank: the smallest value that at least p of the values do not exceed.
double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(values.size())));
    return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

void BM_SampleToSocketLatency(benchmark::State& state) {
    AudioPath path;
    Player player(true);
    test::VideoClient client;
    if (!player.ok || !client.connect(path.server.port())) {
        state.SkipWithError("no sound server or no connection");
        return;
    }
    // The null sink sleeps through its first input's start (up to a second): one burst wakes it.
    player.play(1000.0, 4800);
    while (test::readAudioPacket(client, 1500ms)) {
    }
    std::vector<double> latencies;
    for (auto _ : state) {
        for (int burst = 0; burst < 20; ++burst) {
            while (test::readAudioPacket(client, 300ms)) {
            }
            const auto written = player.play(1000.0, 4800);
            const auto packet = test::readAudioPacket(client, 2s);
            if (!packet) {
                state.SkipWithError("a burst never arrived");
                return;
            }
            latencies.push_back(std::chrono::duration<double, std::milli>(packet->received - written).count());
            if (std::getenv("QH_BENCH_VERBOSE")) std::fprintf(stderr, "burst %d: %.2f ms\n", burst, latencies.back());
        }
    }
    state.counters["median_ms"] = percentile(latencies, 0.5);
    state.counters["p95_ms"] = percentile(latencies, 0.95);
    state.counters["max_ms"] = percentile(latencies, 1.0);
}
BENCHMARK(BM_SampleToSocketLatency)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The sink's cadence follows the lowest latency that a playing program asks for; this one asks for
// none, as a media player or browser typically does. state.range(0) != 0: a 10 ms player instead.
void BM_CaptureCpuPerSecondOfSound(benchmark::State& state) {
    AudioPath path;
    Player player(state.range(0) != 0);
    test::VideoClient client;
    if (!player.ok || !client.connect(path.server.port())) {
        state.SkipWithError("no sound server or no connection");
        return;
    }
    std::atomic<bool> reading{true};
    std::thread reader([&] {
        while (reading) test::readAudioPacket(client, 100ms);
    });
    for (auto _ : state) {
        // Ten seconds of continuous sound, written a little ahead of the sink.
        player.play(440.0, 4800);
        std::this_thread::sleep_for(200ms);
        const double cpu0 = path.cpuSeconds;
        const std::uint64_t frames0 = path.framesDelivered;
        for (int i = 0; i < 100; ++i) {
            player.play(440.0, 4800);
            std::this_thread::sleep_for(100ms);
        }
        const double audioSeconds = static_cast<double>(path.framesDelivered - frames0) / 48000.0;
        state.counters["audio_s"] = audioSeconds;
        state.counters["cpu_percent_of_core"] = 100.0 * (path.cpuSeconds - cpu0) / audioSeconds;
    }
    reading = false;
    reader.join();
}
BENCHMARK(BM_CaptureCpuPerSecondOfSound)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// One 10 ms packet of music-like sound through the encoder alone; 100 of them are a second of sound.
void BM_OpusEncodeTenMilliseconds(benchmark::State& state) {
    OpusAudioEncoder encoder;
    OpusEncoderConfig config;
    config.complexity = static_cast<std::uint32_t>(state.range(0));
    encoder.initialize(config);
    std::vector<std::int16_t> pcm(480 * 2 * 100);
    for (std::size_t i = 0; i < pcm.size() / 2; ++i)
        pcm[2 * i] = pcm[2 * i + 1] = static_cast<std::int16_t>(
            8000 * std::sin(2 * std::numbers::pi * 440 * static_cast<double>(i) / 48000) +
            4000 * std::sin(2 * std::numbers::pi * 2500 * static_cast<double>(i) / 48000));
    std::size_t at = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(encoder.encode(pcm.data() + at, 480));
        at = (at + 960) % pcm.size();
    }
}
BENCHMARK(BM_OpusEncodeTenMilliseconds)->Arg(5)->Arg(0)->Arg(10)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
