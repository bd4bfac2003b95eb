// Throughput of the video connection: frames of 1080p size (about 40 KB per delta frame, 300 KB
// per keyframe, one keyframe in 60) queued by sendVideoFrame and written to a local reader.
#include "network/TcpTransportServer.h"

#include <benchmark/benchmark.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using namespace quillane::host;
using namespace std::chrono_literals;
namespace asio = boost::asio;

constexpr std::size_t kDeltaBytes = 40 * 1024;
constexpr std::size_t kKeyBytes = 300 * 1024;
constexpr int kGop = 60;

// A client on the loopback interface that reads and counts bytes, or holds still when told to.
class Reader {
public:
    Reader(std::uint16_t port, bool reading) : socket_(io_) {
        socket_.connect({asio::ip::make_address("127.0.0.1"), port});
        if (reading) {
            thread_ = std::thread([this] {
                std::vector<std::uint8_t> buffer(1 << 20);
                boost::system::error_code ec;
                for (;;) {
                    const std::size_t n = socket_.read_some(asio::buffer(buffer), ec);
                    if (ec) {
                        break;
                    }
                    bytes_ += n;
                }
            });
        }
    }
    ~Reader() {
        boost::system::error_code ignored;
        socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
        if (thread_.joinable()) {
            thread_.join();
        }
        socket_.close(ignored);
    }
    std::uint64_t bytes() const { return bytes_; }

private:
    asio::io_context io_;
    asio::ip::tcp::socket socket_;
    std::thread thread_;
    std::atomic<std::uint64_t> bytes_{0};
};

// Median, 99th percentile and maximum of the timed calls, in microseconds.
void reportSpread(benchmark::State& state, std::vector<double>& micros) {
    if (micros.empty()) {
        return;
    }
    std::sort(micros.begin(), micros.end());
    state.counters["p50_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[micros.size() * 99 / 100];
    state.counters["max_us"] = micros.back();
}

struct Fixture {
    explicit Fixture(bool reading) {
        server.start();
        reader = std::make_unique<Reader>(server.port(), reading);
        while (!server.isConnected()) {
            std::this_thread::sleep_for(1ms);
        }
    }
    ~Fixture() {
        reader.reset();
        server.stop();
    }

    TcpTransportServer server{0};
    std::unique_ptr<Reader> reader;
    std::vector<std::uint8_t> key = std::vector<std::uint8_t>(kKeyBytes, 0x11);
    std::vector<std::uint8_t> delta = std::vector<std::uint8_t>(kDeltaBytes, 0x22);
};

// Sends the next frame of the group of pictures, timing only the call.
void timedSend(benchmark::State& state, Fixture& f, std::uint64_t& frames, std::vector<double>& micros) {
    const bool isKey = frames % kGop == 0;
    const auto& frame = isKey ? f.key : f.delta;
    const auto start = std::chrono::steady_clock::now();
    f.server.sendVideoFrame(1, frame.data(), frame.size(), isKey);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    state.SetIterationTime(took.count());
    micros.push_back(took.count() * 1e6);
    ++frames;
}

// Sustained delivery: the sender waits while three frames are pending, so nothing is dropped and
// the figure is what the queue, the I/O thread and the socket carry together.
void BM_DeliverFrames(benchmark::State& state) {
    Fixture f(true);
    std::uint64_t frames = 0;
    std::uint64_t payload = 0;
    for (auto _ : state) {
        while (f.server.getStats().queuedFrames >= 3) {
            std::this_thread::yield();
        }
        const bool isKey = frames % kGop == 0;
        const auto& frame = isKey ? f.key : f.delta;
        f.server.sendVideoFrame(1, frame.data(), frame.size(), isKey);
        payload += frame.size();
        ++frames;
    }
    // Count the run as done when the reader has every byte.
    const std::uint64_t wire = payload + frames * 20;
    while (f.reader->bytes() < wire && f.server.isConnected()) {
        std::this_thread::sleep_for(100us);
    }
    const auto stats = f.server.getStats();
    state.SetItemsProcessed(static_cast<std::int64_t>(frames));
    state.SetBytesProcessed(static_cast<std::int64_t>(wire));
    state.counters["dropped"] = static_cast<double>(stats.framesDropped);
}
BENCHMARK(BM_DeliverFrames)->UseRealTime()->Unit(benchmark::kMicrosecond)->MinTime(3.0);

// What one sendVideoFrame costs the capture thread: the copy into the queue and the hand-over,
// timed alone, at 72 frames per second to a reader that keeps up.
void BM_SendCallAtFrameRate(benchmark::State& state) {
    Fixture f(true);
    std::uint64_t frames = 0;
    std::vector<double> micros;
    auto next = std::chrono::steady_clock::now();
    for (auto _ : state) {
        next += std::chrono::microseconds(1000000 / 72);
        std::this_thread::sleep_until(next);
        timedSend(state, f, frames, micros);
    }
    state.counters["dropped"] = static_cast<double>(f.server.getStats().framesDropped);
    reportSpread(state, micros);
}
BENCHMARK(BM_SendCallAtFrameRate)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(720);

// The same call while the client has stopped reading: the frame is skipped, never waited for.
void BM_SendCallToStalledClient(benchmark::State& state) {
    Fixture f(false);
    std::uint64_t frames = 0;
    std::vector<double> micros;
    for (auto _ : state) {
        timedSend(state, f, frames, micros);
    }
    reportSpread(state, micros);
    const auto stats = f.server.getStats();
    state.counters["dropped"] = static_cast<double>(stats.framesDropped);
    state.counters["peak_queue_KiB"] = static_cast<double>(stats.peakQueuedBytes) / 1024.0;
}
BENCHMARK(BM_SendCallToStalledClient)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(20000);

}  // namespace

BENCHMARK_MAIN();
