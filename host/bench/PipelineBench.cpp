// The whole video pipeline, measured end to end: one window repainting at a
// fixed rate, streamed by the host binary to a local client, side by side with
// ffmpeg's x11grab + libx264 on the same window and the same encoder settings.
// Reports delivered frames per second, host CPU seconds per frame, peak memory,
// and the latency from the window's draw to the last byte of its frame.
#include <arpa/inet.h>
#include <sched.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <sstream>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "BenchStamp.h"
#include "E2eHost.h"
#include "E2eMedia.h"
#include "SignalingTestClient.h"

// Last: its macros clash with the test client's headers.
#include <X11/Xlib.h>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

struct Options {
    int width = 1920;
    int height = 1080;
    int fps = 72;
    int seconds = 20;
    std::string painter;
    // CPUs (a taskset list such as "0,1") that the host and ffmpeg run on; empty:
    // wherever the benchmark itself runs.
    std::string producerCpus;
};
Options g_options;

// The painting window and the times at which each of its frames was drawn.
class Painter {
public:
    bool start() {
        process = std::make_unique<quillane::host::test::PipedChildProcess>(
            g_options.painter,
            std::vector<std::string>{"--width", std::to_string(g_options.width), "--height",
                                     std::to_string(g_options.height), "--fps", std::to_string(g_options.fps)},
            std::map<std::string, std::string>{});
        auto line = process->readLine(10s);
        if (!line || line->rfind("window 0x", 0) != 0) return false;
        windowId = std::stoul(line->substr(9), nullptr, 16);
        reader = std::thread([this] {
            while (!stop) {
                auto l = process->readLine(500ms);
                if (!l) continue;
                unsigned frame = 0;
                long long ns = 0;
                if (std::sscanf(l->c_str(), "drawn %u %lld", &frame, &ns) != 2) continue;
                std::lock_guard lock(mutex);
                if (drawn.size() <= frame) drawn.resize(frame + 1024, 0);
                drawn[frame] = ns;
            }
        });
        std::this_thread::sleep_for(500ms);
        return true;
    }
    ~Painter() {
        stop = true;
        if (reader.joinable()) reader.join();
    }
    // The number of the latest frame drawn.
    std::uint32_t latest() {
        std::lock_guard lock(mutex);
        for (std::size_t i = drawn.size(); i > 0; --i)
            if (drawn[i - 1] != 0) return static_cast<std::uint32_t>(i - 1);
        return 0;
    }
    // Draw time of a frame in steady-clock nanoseconds; 0 when unknown.
    long long drawnAt(std::uint32_t frame) {
        std::lock_guard lock(mutex);
        return frame < drawn.size() ? drawn[frame] : 0;
    }
    std::pair<int, int> rootPosition() const {
        Display* d = XOpenDisplay(nullptr);
        int x = 0, y = 0;
        Window child;
        XTranslateCoordinates(d, windowId, DefaultRootWindow(d), 0, 0, &x, &y, &child);
        XCloseDisplay(d);
        return {x, y};
    }

    unsigned long windowId = 0;

private:
    std::unique_ptr<quillane::host::test::PipedChildProcess> process;
    std::thread reader;
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::vector<long long> drawn;
};
Painter* g_painter = nullptr;

struct RunResult {
    double paintedFps = 0;  // what the window drew meanwhile: the most a pipeline can deliver
    double fps = 0;
    double cpuMsPerFrame = 0;
    double peakMb = 0;
    double latencyMedianMs = 0;
    double latencyP95Ms = 0;
    std::size_t frames = 0;
};
RunResult g_host, g_ffmpeg, g_ffmpeg420;

// Measures one pipeline: `next` yields (access unit, time its last byte arrived).
template <class Next>
RunResult measure(quillane::host::test::PipedChildProcess& producer, Next&& next) {
    quillane::host::test::H264TestDecoder decoder{quillane::host::test::H264TestDecoder::Output::luma};
    std::vector<double> latencies;
    RunResult result;
    // Only pictures the window had not shown before count: a pipeline that
    // repeats a picture to keep its rate has not delivered a new frame.
    std::uint32_t previous = ~0u;
    auto consume = [&](const std::vector<std::uint8_t>& au, Clock::time_point arrived, bool count) {
        for (const auto& pic : decoder.decode(au.data(), au.size())) {
            const auto number = qhbench::readFrameNumber(pic.y.data(), pic.width);
            if (number == previous) continue;
            previous = number;
            if (!count) continue;
            ++result.frames;
            const long long drawn = g_painter->drawnAt(number);
            const long long got = std::chrono::duration_cast<std::chrono::nanoseconds>(arrived.time_since_epoch()).count();
            if (drawn > 0 && got > drawn) latencies.push_back((got - drawn) / 1e6);
        }
    };
    const auto warm = Clock::now() + 3s;
    std::vector<std::uint8_t> au;
    Clock::time_point arrived;
    while (Clock::now() < warm)
        if (next(au, arrived)) consume(au, arrived, false);
    const double cpu0 = producer.cpuSeconds();
    const std::uint32_t painted0 = g_painter->latest();
    const auto t0 = Clock::now();
    const auto end = t0 + std::chrono::seconds(g_options.seconds);
    while (Clock::now() < end)
        if (next(au, arrived)) consume(au, arrived, true);
    const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
    const double cpu = producer.cpuSeconds() - cpu0;
    result.paintedFps = (g_painter->latest() - painted0) / elapsed;
    result.fps = result.frames / elapsed;
    // CPU per delivered picture.
    result.cpuMsPerFrame = result.frames ? cpu * 1000.0 / result.frames : 0;
    result.peakMb = producer.residentKb() / 1024.0;
    if (!latencies.empty()) {
        std::sort(latencies.begin(), latencies.end());
        result.latencyMedianMs = latencies[latencies.size() / 2];
        result.latencyP95Ms = latencies[std::min(latencies.size() - 1, latencies.size() * 95 / 100)];
    }
    return result;
}

// Moves every thread of a process onto the producer CPUs; threads it starts
// later inherit the placement from their creator.
void placeProducer(pid_t pid) {
    if (g_options.producerCpus.empty()) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    std::stringstream list(g_options.producerCpus);
    for (std::string part; std::getline(list, part, ',');) {
        const auto dash = part.find('-');
        const int first = std::atoi(part.substr(0, dash).c_str());
        const int last = dash == std::string::npos ? first : std::atoi(part.substr(dash + 1).c_str());
        for (int cpu = first; cpu <= last && cpu < CPU_SETSIZE; ++cpu) CPU_SET(cpu, &set);
    }
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks)) {
        const pid_t tid = std::atoi(task.path().filename().c_str());
        if (sched_setaffinity(tid, sizeof set, &set) != 0) std::perror("sched_setaffinity");
    }
}

void report(benchmark::State& state, const RunResult& r) {
    state.counters["painted_fps"] = r.paintedFps;
    state.counters["fps"] = r.fps;
    state.counters["cpu_ms_per_frame"] = r.cpuMsPerFrame;
    state.counters["peak_mb"] = r.peakMb;
    state.counters["latency_median_ms"] = r.latencyMedianMs;
    state.counters["latency_p95_ms"] = r.latencyP95Ms;
    state.counters["frames"] = static_cast<double>(r.frames);
}

void BM_HostPipeline(benchmark::State& state) {
    for (auto _ : state) {
        quillane::host::test::HostUnderTest host;
        if (!host.start()) {
            state.SkipWithError("host did not start");
            return;
        }
        placeProducer(host.process()->pid());
        quillane::host::test::VideoReceiver video(host.ports().video);
        quillane::host::test::SignalingClient client;
        if (!video.connected() || !client.connect(host.ports().signaling) ||
            !client.request({{"type", "hello"}}, "welcome")) {
            state.SkipWithError("cannot connect");
            return;
        }
        auto started = client.request({{"type", "stream_subscribe"}, {"windowId", g_painter->windowId}},
                                       "stream_started", 10s);
        if (!started) {
            state.SkipWithError("stream did not start");
            return;
        }
        const auto streamId = (*started)["streamId"].get<std::uint8_t>();
        placeProducer(host.process()->pid());  // the capture and encoder threads too
        g_host = measure(*host.process(), [&](std::vector<std::uint8_t>& au, Clock::time_point& arrived) {
            auto p = video.next(200ms);
            if (!p || p->streamId() != streamId) return false;
            au = std::move(p->payload);
            arrived = p->received;
            return true;
        });
        state.SetIterationTime(g_options.seconds);
    }
    report(state, g_host);
}

// Reads ffmpeg's raw H.264 byte stream on its own thread (so arrival times do
// not wait for decoding) and cuts it into access units at the access unit
// delimiters, each with the arrival time of its last byte.
class AnnexBReader {
public:
    explicit AnnexBReader(int fd) : fd(fd), thread([this] { run(); }) {}
    ~AnnexBReader() {
        stop = true;
        shutdown(fd, SHUT_RDWR);
        thread.join();
    }
    bool next(std::vector<std::uint8_t>& au, Clock::time_point& arrived) {
        std::unique_lock lock(mutex);
        if (!ready.wait_for(lock, 200ms, [this] { return !units.empty(); })) return false;
        au = std::move(units.front().first);
        arrived = units.front().second;
        units.pop_front();
        return true;
    }

private:
    void run() {
        std::uint8_t chunk[65536];
        while (!stop) {
            const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) return;
            buffer.insert(buffer.end(), chunk, chunk + n);
            chunks.push_back({buffer.size(), Clock::now()});
            if (!synced) {
                // Bytes before the first delimiter belong to no whole unit.
                const std::size_t first = findDelimiter(0);
                if (first == std::string::npos) continue;
                dropFront(first);
                synced = true;
                scanFrom = kDelimiterBytes;
            }
            // A complete unit is one followed by the next delimiter.
            for (std::size_t second; (second = findDelimiter(scanFrom)) != std::string::npos;) {
                std::vector<std::uint8_t> au(buffer.begin(), buffer.begin() + static_cast<long>(second));
                const auto arrived = timeOfByte(second - 1);
                dropFront(second);
                scanFrom = kDelimiterBytes;
                {
                    std::lock_guard lock(mutex);
                    units.emplace_back(std::move(au), arrived);
                }
                ready.notify_one();
            }
            scanFrom = std::max(kDelimiterBytes, buffer.size() > 5 ? buffer.size() - 5 : 0);
        }
    }
    // Start of an access unit delimiter NAL (with a 3- or 4-byte start code).
    std::size_t findDelimiter(std::size_t from) const {
        for (std::size_t i = from; i + 4 <= buffer.size(); ++i)
            if (buffer[i] == 0 && buffer[i + 1] == 0 && buffer[i + 2] == 1 && (buffer[i + 3] & 0x1F) == 9)
                return i > from && buffer[i - 1] == 0 ? i - 1 : i;
        return std::string::npos;
    }
    static constexpr std::size_t kDelimiterBytes = 5;
    Clock::time_point timeOfByte(std::size_t index) const {
        for (const auto& c : chunks)
            if (index < c.end) return c.time;
        return Clock::now();
    }
    void dropFront(std::size_t n) {
        buffer.erase(buffer.begin(), buffer.begin() + static_cast<long>(n));
        std::vector<Chunk> kept;
        for (auto c : chunks)
            if (c.end > n) kept.push_back({c.end - n, c.time});
        chunks = std::move(kept);
    }
    struct Chunk {
        std::size_t end;
        Clock::time_point time;
    };
    int fd;
    std::vector<std::uint8_t> buffer;
    std::vector<Chunk> chunks;
    std::size_t scanFrom = 0;
    bool synced = false;
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<std::pair<std::vector<std::uint8_t>, Clock::time_point>> units;
    std::thread thread;
};

// ffmpeg as it is usually run (its default picture format for x11grab is 4:4:4)
// and with the host's own 4:2:0 output. "-fps_mode vfr" encodes each grabbed
// picture once: by default ffmpeg repeats pictures to fill the output rate, and
// when grabbing falls behind (4K) the repeats pile up into seconds of delay.
void BM_FfmpegX11grabX264(benchmark::State& state) {
    const bool yuv420 = state.range(0) == 420;
    RunResult& result = yuv420 ? g_ffmpeg420 : g_ffmpeg;
    for (auto _ : state) {
        const int listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        socklen_t len = sizeof addr;
        getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
        listen(listener, 1);
        const auto [x, y] = g_painter->rootPosition();
        const std::string display = std::string(std::getenv("DISPLAY")) + "+" + std::to_string(x) + "," + std::to_string(y);
        quillane::host::test::PipedChildProcess ffmpeg(
            "/usr/bin/ffmpeg",
            {"-nostdin", "-loglevel", "fatal", "-f", "x11grab", "-draw_mouse", "0", "-framerate",
             std::to_string(g_options.fps), "-video_size",
             std::to_string(g_options.width) + "x" + std::to_string(g_options.height), "-i", display, "-c:v",
             "libx264", "-r", std::to_string(g_options.fps), "-fps_mode", "vfr", "-preset", "ultrafast", "-tune", "zerolatency",
             "-b:v", "20M", "-g", "60", "-pix_fmt", yuv420 ? "yuv420p" : "yuv444p", "-x264-params",
             "aud=1", "-flush_packets", "1", "-f", "h264",
             "tcp://127.0.0.1:" + std::to_string(ntohs(addr.sin_port))},
            {});
        placeProducer(ffmpeg.pid());
        const int fd = accept(listener, nullptr, nullptr);
        close(listener);
        if (fd < 0) {
            state.SkipWithError("ffmpeg did not connect");
            return;
        }
        {
            AnnexBReader reader(fd);
            result = measure(ffmpeg, [&](std::vector<std::uint8_t>& au, Clock::time_point& arrived) {
                return reader.next(au, arrived);
            });
        }
        close(fd);
        ffmpeg.terminate(5s);
        state.SetIterationTime(g_options.seconds);
    }
    report(state, result);
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i + 1 < argc; ++i) {
        const std::string key = argv[i];
        if (key == "--painter") g_options.painter = argv[++i];
        else if (key == "--width") g_options.width = std::atoi(argv[++i]);
        else if (key == "--height") g_options.height = std::atoi(argv[++i]);
        else if (key == "--fps") g_options.fps = std::atoi(argv[++i]);
        else if (key == "--seconds") g_options.seconds = std::atoi(argv[++i]);
        else if (key == "--producer-cpus") g_options.producerCpus = argv[++i];
    }
    if (g_options.painter.empty()) g_options.painter = QH_BENCH_PAINTER;
    Painter painter;
    if (!painter.start()) {
        std::fprintf(stderr, "the painting window did not start\n");
        return 1;
    }
    g_painter = &painter;
    benchmark::Initialize(&argc, argv);
    benchmark::RegisterBenchmark("pipeline/host", BM_HostPipeline)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
    benchmark::RegisterBenchmark("pipeline/ffmpeg_x11grab_libx264", BM_FfmpegX11grabX264)
        ->ArgName("yuv")->Arg(444)->Arg(420)
        ->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
    std::printf("\n%dx%d at %d fps for %d s\n", g_options.width, g_options.height, g_options.fps, g_options.seconds);
    if (g_options.producerCpus.empty())
        std::printf("host and ffmpeg share the CPUs with the desktop, the painting window and the measuring client\n");
    else
        std::printf("host and ffmpeg on CPUs %s; the desktop, the painting window and the measuring client elsewhere\n",
                    g_options.producerCpus.c_str());
    std::printf("%-28s %10s %10s %10s\n", "", "host", "ffmpeg", "ffmpeg 420");
    auto row = [](const char* name, const char* format, auto field) {
        std::printf("%-28s", name);
        for (const RunResult* r : {&g_host, &g_ffmpeg, &g_ffmpeg420}) std::printf(format, r->*field);
        std::printf("\n");
    };
    row("window painted fps", " %10.1f", &RunResult::paintedFps);
    row("delivered fps", " %10.1f", &RunResult::fps);
    row("CPU ms per frame", " %10.2f", &RunResult::cpuMsPerFrame);
    row("peak memory MiB", " %10.1f", &RunResult::peakMb);
    row("latency median ms", " %10.2f", &RunResult::latencyMedianMs);
    row("latency p95 ms", " %10.2f", &RunResult::latencyP95Ms);
    for (const auto& [name, peer] : {std::pair{"ffmpeg", &g_ffmpeg}, std::pair{"ffmpeg 420", &g_ffmpeg420}})
        std::printf("ratios host/%s: fps %.2f, CPU per frame %.2f, peak memory %.2f, latency median %.2f, p95 %.2f\n",
                    name, ratio(g_host.fps, peer->fps), ratio(g_host.cpuMsPerFrame, peer->cpuMsPerFrame),
                    ratio(g_host.peakMb, peer->peakMb), ratio(g_host.latencyMedianMs, peer->latencyMedianMs),
                    ratio(g_host.latencyP95Ms, peer->latencyP95Ms));
    return 0;
}
