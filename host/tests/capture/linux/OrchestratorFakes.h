#pragma once

// Captures that deliver from the test's thread or their own; encoders that keep
// what they receive and flag any use after shutdown.

#include "capture/CaptureServices.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace quillane::host::test {

struct ReceivedFrame {
    std::uint32_t width = 0, height = 0;
    const std::uint8_t* address = nullptr;  // what the encoder was handed
    std::vector<std::uint8_t> bytes;       // tightly packed copy
    std::uint8_t at(std::uint32_t x, std::uint32_t y, int ch) const { return bytes[(std::size_t(y) * width + x) * 4 + ch]; }
};

// What one encoder received and how it was used; outlives the encoder itself.
class FakeEncoderState {
public:
    explicit FakeEncoderState(const EncoderConfig& c) : config(c) {}

    void shutdown() {
        if (inEncode.load()) misuse = true;  // shut down while a frame is being encoded
        initialized = false;
    }
    bool encodeFrame(EncoderInput input) {
        if (!initialized.load() || destroyed.load()) {
            misuse = true;  // used after shutdown
            return false;
        }
        inEncode = true;
        if (slowEncode.count() > 0) std::this_thread::sleep_for(slowEncode);
        ReceivedFrame f;
        f.width = input->width, f.height = input->height, f.address = input->data;
        if (keepFrames) {
            // What the encoder sees: the stored rectangle, opaque black around it.
            f.bytes.resize(std::size_t(f.width) * f.height * 4);
            for (std::size_t i = 3; i < f.bytes.size(); i += 4) f.bytes[i] = 255;
            for (std::uint32_t y = 0; y < input->storedHeight(); ++y)
                std::memcpy(&f.bytes[std::size_t(y) * f.width * 4], input->data + std::size_t(y) * input->rowPitch,
                            std::size_t(input->storedWidth()) * 4);
        }
        if (f.width != config.width || f.height != config.height) wrongSize = true;
        const bool key = frames.load() == 0 || keyframeWanted.exchange(false);
        {
            std::lock_guard lock(mutex);
            received.push_back(std::move(f));
        }
        ++frames;
        const std::uint8_t unit[] = {0, 0, 0, 1, static_cast<std::uint8_t>(key ? 0x65 : 0x41)};
        if (callback) callback(EncodedFrame{unit, sizeof unit, 0, key, 0});
        inEncode = false;
        return true;
    }
    std::vector<ReceivedFrame> receivedFrames() {
        std::lock_guard lock(mutex);
        return received;
    }

    const EncoderConfig config;
    std::atomic<bool> initialized{true};
    std::atomic<bool> destroyed{false};
    std::atomic<bool> inEncode{false};
    std::atomic<bool> misuse{false};
    std::atomic<bool> wrongSize{false};
    std::atomic<bool> keyframeWanted{false};
    std::atomic<int> frames{0};
    std::atomic<std::uint32_t> bitrate{0}, maxBitrate{0};
    bool keepFrames = true;
    std::chrono::milliseconds slowEncode{0};
    EncoderOutputCallback callback;

private:
    std::mutex mutex;
    std::vector<ReceivedFrame> received;
};

class FakeEncoder final : public EncoderBase {
public:
    FakeEncoder(std::shared_ptr<FakeEncoderState> s, std::atomic<int>& liveCount) : state(std::move(s)), live(liveCount) {
        ++live;
    }
    ~FakeEncoder() override {
        state->shutdown();
        state->destroyed = true;
        --live;
    }
    const char* getName() const override { return "Fake"; }
    bool initialize(EncoderDevice, const EncoderConfig&) override { return true; }
    void shutdown() override { state->shutdown(); }
    bool encodeFrame(EncoderInput input) override { return state->encodeFrame(input); }
    void requestKeyframe() override { state->keyframeWanted = true; }
    void setBitrate(std::uint32_t b, std::uint32_t m) override {
        state->bitrate = b;
        state->maxBitrate = m;
    }
    void setOutputCallback(EncoderOutputCallback cb) override { state->callback = std::move(cb); }
    EncoderStats getStats() const override { return {}; }
    bool isInitialized() const override { return state->initialized.load(); }
    bool reconfigure(const EncoderConfig&) override { return false; }
    ParameterSets getParameterSets() const override { return {{0x67, 1}, {0x68, 2}, {}, true}; }

private:
    std::shared_ptr<FakeEncoderState> state;
    std::atomic<int>& live;
};

class FakeCapture;

struct FakeWorld {
    std::mutex mutex;
    std::map<std::uint32_t, std::pair<std::uint32_t, std::uint32_t>> windows;  // id -> size of existing windows
    std::vector<std::shared_ptr<FakeEncoderState>> encoders;                     // every one created, in order
    std::vector<FakeCapture*> captures;                                          // live captures
    std::atomic<int> liveEncoders{0};
    std::atomic<int> liveCaptures{0};
    std::atomic<bool> failCaptureInit{false};
    std::atomic<bool> failCaptureStart{false};
    std::atomic<int> encoderCreationsLeft{1 << 30};  // creations that still succeed
    bool keepFrames = true;
    std::chrono::microseconds autoRunPeriod{0};  // captures deliver on their own threads when set

    void addWindow(std::uint32_t id, std::uint32_t w, std::uint32_t h) {
        std::lock_guard lock(mutex);
        windows[id] = {w, h};
    }
    void removeWindow(std::uint32_t id) {
        std::lock_guard lock(mutex);
        windows.erase(id);
    }
    std::shared_ptr<FakeEncoderState> encoder(std::size_t i) {
        std::lock_guard lock(mutex);
        return i < encoders.size() ? encoders[i] : nullptr;
    }
    std::size_t encoderCount() {
        std::lock_guard lock(mutex);
        return encoders.size();
    }
    FakeCapture* captureOf(std::uint32_t windowId);
    CaptureServices services();
};

class FakeCapture final : public CaptureSource {
public:
    explicit FakeCapture(FakeWorld& w) : world(w), shared(std::make_shared<Shared>()) { ++world.liveCaptures; }
    ~FakeCapture() override {
        stopCapture();
        if (autorun.joinable()) autorun.detach();  // destroyed from its own thread, which ends by itself
        std::lock_guard lock(world.mutex);
        std::erase(world.captures, this);
        --world.liveCaptures;
    }
    bool initialize(std::uint32_t id, EncoderDevice) override {
        if (world.failCaptureInit.load()) return false;
        std::lock_guard lock(world.mutex);
        if (!world.windows.count(id)) return false;
        windowId = id;
        std::tie(width, height) = world.windows[id];
        return true;
    }
    void getSize(std::uint32_t& w, std::uint32_t& h) const override { w = width, h = height; }
    bool startCapture(CaptureFrameCallback cb) override {
        if (world.failCaptureStart.load()) return false;
        {
            std::lock_guard lock(shared->mutex);
            shared->callback = std::move(cb);
        }
        shared->capturing = true;
        {
            std::lock_guard lock(world.mutex);
            world.captures.push_back(this);
        }
        if (world.autoRunPeriod.count() > 0) runOnOwnThread(world.autoRunPeriod);
        return true;
    }
    void stopCapture() override {
        shared->capturing = false;
        shared->stopThread = true;
        if (autorun.joinable() && autorun.get_id() != std::this_thread::get_id()) autorun.join();
        std::unique_lock lock(shared->mutex);
        if (shared->deliveringThread == std::this_thread::get_id()) return;  // inside our own callback
        shared->idle.wait(lock, [&] { return shared->inFlight == 0; });
        shared->callback = nullptr;
    }
    bool isCapturing() const override { return shared->capturing.load(); }
    // On the calling thread, as the Windows capture does.
    void repeatLastFrame() override {
        std::vector<std::uint8_t> last;
        std::uint32_t w = 0, h = 0;
        {
            std::lock_guard lock(shared->mutex);
            last = shared->lastPixels;
            w = shared->lastWidth, h = shared->lastHeight;
        }
        ++shared->repeats;
        if (!last.empty()) deliverOn(shared, w, h, last.data());
    }
    int repeats() const { return shared->repeats.load(); }
    void endByItself() { shared->capturing = false; }

    // A w x h frame whose pixel (b, g, r) is fill(x, y); the fourth byte is undefined in captures.
    template <class Fill> static std::vector<std::uint8_t> pixels(std::uint32_t w, std::uint32_t h, Fill fill) {
        std::vector<std::uint8_t> out(std::size_t(w) * h * 4);
        for (std::uint32_t y = 0; y < h; ++y)
            for (std::uint32_t x = 0; x < w; ++x) {
                const std::uint32_t c = fill(x, y);
                auto* p = &out[(std::size_t(y) * w + x) * 4];
                p[0] = c & 0xFF, p[1] = (c >> 8) & 0xFF, p[2] = (c >> 16) & 0xFF, p[3] = 0x77;
            }
        return out;
    }
    // Delivered on the calling thread.
    template <class Fill> bool deliver(std::uint32_t w, std::uint32_t h, Fill fill) {
        return deliverBytes(w, h, pixels(w, h, fill).data());
    }
    bool deliverBytes(std::uint32_t w, std::uint32_t h, const std::uint8_t* pixels) {
        return deliverOn(shared, w, h, pixels);
    }

    FakeWorld& world;
    std::uint32_t windowId = 0;
    std::uint32_t width = 0, height = 0;

private:
    // Outlives the capture when it is destroyed from inside its own callback.
    struct Shared {
        std::atomic<bool> capturing{false};
        std::atomic<bool> stopThread{false};
        std::mutex mutex;
        std::condition_variable idle;
        int inFlight = 0;
        std::thread::id deliveringThread;
        CaptureFrameCallback callback;
        std::vector<std::uint8_t> lastPixels;
        std::uint32_t lastWidth = 0, lastHeight = 0;
        std::atomic<int> repeats{0};
    };

    static bool deliverOn(std::shared_ptr<Shared> s, std::uint32_t w, std::uint32_t h, const std::uint8_t* pixels) {
        CaptureFrameCallback cb;
        {
            std::lock_guard lock(s->mutex);
            if (!s->capturing.load() || !s->callback) return false;
            cb = s->callback;
            ++s->inFlight;
            s->deliveringThread = std::this_thread::get_id();
            if (s->lastPixels.data() != pixels) s->lastPixels.assign(pixels, pixels + std::size_t(w) * h * 4);
            s->lastWidth = w, s->lastHeight = h;
        }
        const BgraFrame frame{pixels, w * 4, w, h};
        cb(&frame, w, h);
        std::lock_guard lock(s->mutex);
        --s->inFlight;
        s->deliveringThread = {};
        s->idle.notify_all();
        return true;
    }

    // Frames of the window's current size until stopped; ends by itself when the window is gone.
    void runOnOwnThread(std::chrono::microseconds period) {
        autorun = std::thread([s = shared, &world = world, id = windowId, period] {
            std::vector<std::uint8_t> pixels;
            while (!s->stopThread.load()) {
                std::uint32_t w, h;
                {
                    std::lock_guard lock(world.mutex);
                    if (!world.windows.count(id)) {
                        s->capturing = false;
                        return;
                    }
                    std::tie(w, h) = world.windows[id];
                }
                pixels.assign(std::size_t(w) * h * 4, static_cast<std::uint8_t>(w));
                deliverOn(s, w, h, pixels.data());
                std::this_thread::sleep_for(period);
            }
        });
    }

    std::shared_ptr<Shared> shared;
    std::thread autorun;
};

inline FakeCapture* FakeWorld::captureOf(std::uint32_t windowId) {
    std::lock_guard lock(mutex);
    for (auto* c : captures)
        if (c->windowId == windowId) return c;
    return nullptr;
}

inline CaptureServices FakeWorld::services() {
    CaptureServices s;
    s.createCapture = [this] { return std::make_unique<FakeCapture>(*this); };
    s.windowExists = [this](std::uint32_t id) {
        std::lock_guard lock(mutex);
        return windows.count(id) > 0;
    };
    s.enumerateWindows = [] { return std::vector<protocol::WindowInfo>{}; };
    s.getAvailableEncoders = [](EncoderDevice) { return std::vector<EncoderType>{}; };
    s.createBestEncoder = [this](EncoderDevice, const EncoderConfig& config) -> std::unique_ptr<EncoderBase> {
        if (encoderCreationsLeft.fetch_sub(1) <= 0) return nullptr;
        auto state = std::make_shared<FakeEncoderState>(config);
        state->keepFrames = keepFrames;
        std::lock_guard lock(mutex);
        encoders.push_back(state);
        return std::make_unique<FakeEncoder>(state, liveEncoders);
    };
    s.fallbackEncoderName = "Fake";
    return s;
}

}  // namespace quillane::host::test
