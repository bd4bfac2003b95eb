// Sound capture through PulseAudio's asynchronous API (PipeWire's PulseAudio service speaks it
// too): the default sink's monitor, recorded as 48 kHz stereo float that the server converts for
// us. A server that is absent or goes away is retried every few seconds; the host runs on without
// sound meanwhile.
#include "audio/AudioCaptureBackend.h"

#include <pulse/pulseaudio.h>
#include <spdlog/spdlog.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace quillane::host {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kRate = 48000;
constexpr std::uint32_t kChannels = 2;
constexpr std::chrono::seconds kRetryInterval{3};
// How long open waits for the server, so that a healthy system names its device at start-up.
constexpr std::chrono::milliseconds kOpenWait{1000};
// Two Opus packets a wake-up: half the wake-ups of one, with no latency that
// the sink's own block timing does not already add.
constexpr pa_usec_t kFragmentUsec = 20000;
// Raised above normal threads without needing real-time rights.
constexpr int kCaptureNice = -10;

bool allZero(const void* data, std::size_t bytes) {
    const auto* p = static_cast<const unsigned char*>(data);
    std::uint64_t word = 0;
    std::size_t i = 0;
    for (; i + sizeof word <= bytes; i += sizeof word) {
        std::memcpy(&word, p + i, sizeof word);
        if (word != 0) {
            return false;
        }
    }
    for (; i < bytes; ++i) {
        if (p[i] != 0) {
            return false;
        }
    }
    return true;
}

class PulseAudioCapture : public AudioCaptureBackend {
public:
    PulseAudioCapture() = default;
    ~PulseAudioCapture() override;

    bool open(bool loopback) override;
    AudioStreamFormat format() const override { return {kRate, kChannels, AudioSampleFormat::Float32}; }
    bool startStream() override;
    void stopStream() override;
    void prepareThread() override;
    void waitAndDrain(std::chrono::milliseconds timeout, const PacketHandler& onPacket) override;
    void wake() override {
        if (mainloop) {
            pa_mainloop_wakeup(mainloop);
        }
    }

private:
    void iterate(std::chrono::milliseconds timeout);
    void connect();
    void disconnect();
    void connectionFailed(const std::string& reason);
    void onContextState();
    void querySource();
    void onServerInfo(const pa_server_info* info);
    void onSinkInfo(const pa_sink_info* info);
    void useSource(const std::string& name, const std::string& description);
    void openStream();
    void closeStream();
    void drain(const PacketHandler& onPacket);

    pa_mainloop* mainloop = nullptr;
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;
    bool loopback = true;
    bool streamWanted = false;
    bool contextReady = false;
    bool contextLost = false;   // seen in a callback, handled after the dispatch
    bool streamFailed = false;  // likewise
    bool outageReported = false;
    Clock::time_point nextAttempt{};
    std::string sourceName;
    std::string streamSource;  // the source the open stream records
};

PulseAudioCapture::~PulseAudioCapture() {
    closeStream();
    disconnect();
    if (mainloop) {
        pa_mainloop_free(mainloop);
    }
}

bool PulseAudioCapture::open(bool wantLoopback) {
    loopback = wantLoopback;
    if (!mainloop) {
        mainloop = pa_mainloop_new();
        if (!mainloop) {
            SPDLOG_ERROR("Failed to create the PulseAudio main loop");
            return false;
        }
    }
    if (!context) {
        connect();
    }
    const auto deadline = Clock::now() + kOpenWait;
    while (context && sourceName.empty() && Clock::now() < deadline) {
        iterate(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
    }
    return true;
}

bool PulseAudioCapture::startStream() {
    streamWanted = true;
    if (contextReady && !sourceName.empty()) {
        openStream();
    }
    return true;
}

void PulseAudioCapture::stopStream() {
    streamWanted = false;
    closeStream();
}

void PulseAudioCapture::prepareThread() {
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), kCaptureNice) != 0) {
        SPDLOG_DEBUG("Audio capture thread keeps its priority: {}", std::strerror(errno));
    }
}

void PulseAudioCapture::waitAndDrain(std::chrono::milliseconds timeout, const PacketHandler& onPacket) {
    iterate(timeout);
    drain(onPacket);
}

void PulseAudioCapture::iterate(std::chrono::milliseconds timeout) {
    auto wait = timeout;
    if (!context) {
        const auto untilRetry = std::chrono::duration_cast<std::chrono::milliseconds>(nextAttempt - Clock::now());
        wait = std::clamp(untilRetry, std::chrono::milliseconds(0), timeout);
    }
    if (pa_mainloop_prepare(mainloop, static_cast<int>(wait.count()) * 1000) >= 0 && pa_mainloop_poll(mainloop) >= 0) {
        pa_mainloop_dispatch(mainloop);
    }
    if (contextLost) {
        connectionFailed(context ? pa_strerror(pa_context_errno(context)) : "no context");
    } else if (streamFailed) {
        connectionFailed(std::string("the recording stream failed: ") + pa_strerror(pa_context_errno(context)));
    }
    if (!context && Clock::now() >= nextAttempt) {
        connect();
    }
}

void PulseAudioCapture::connect() {
    contextLost = false;
    streamFailed = false;
    context = pa_context_new(pa_mainloop_get_api(mainloop), "Quillane Host");
    if (!context) {
        connectionFailed("cannot create a context");
        return;
    }
    pa_context_set_state_callback(
        context, [](pa_context*, void* self) { static_cast<PulseAudioCapture*>(self)->onContextState(); }, this);
    // Never start a sound server of our own: the user's is the one that plays.
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        connectionFailed(pa_strerror(pa_context_errno(context)));
    }
}

void PulseAudioCapture::disconnect() {
    closeStream();
    if (context) {
        pa_context_set_state_callback(context, nullptr, nullptr);
        pa_context_set_subscribe_callback(context, nullptr, nullptr);
        pa_context_disconnect(context);
        pa_context_unref(context);
        context = nullptr;
    }
    contextReady = false;
    contextLost = false;
    streamFailed = false;
    sourceName.clear();
}

void PulseAudioCapture::connectionFailed(const std::string& reason) {
    const bool wasReady = contextReady;
    disconnect();
    nextAttempt = Clock::now() + kRetryInterval;
    if (outageReported) {
        SPDLOG_DEBUG("PulseAudio still not available: {}", reason);
        return;
    }
    outageReported = true;
    if (wasReady) {
        SPDLOG_WARN("Lost the PulseAudio connection ({}); no sound is sent until it is back, trying again every {} s",
                    reason, kRetryInterval.count());
    } else {
        SPDLOG_WARN("PulseAudio is not available ({}); no sound is sent until it is, trying again every {} s", reason,
                    kRetryInterval.count());
    }
}

void PulseAudioCapture::onContextState() {
    switch (pa_context_get_state(context)) {
    case PA_CONTEXT_READY:
        contextReady = true;
        if (outageReported) {
            SPDLOG_INFO("PulseAudio is available again");
            outageReported = false;
        }
        // A change of the default output moves the capture to the new one's monitor.
        pa_context_set_subscribe_callback(
            context,
            [](pa_context*, pa_subscription_event_type_t, std::uint32_t, void* self) {
                static_cast<PulseAudioCapture*>(self)->querySource();
            },
            this);
        if (pa_operation* op = pa_context_subscribe(context, PA_SUBSCRIPTION_MASK_SERVER, nullptr, nullptr)) {
            pa_operation_unref(op);
        }
        querySource();
        break;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
        contextLost = true;
        break;
    default:
        break;
    }
}

void PulseAudioCapture::querySource() {
    pa_operation* op = pa_context_get_server_info(
        context, [](pa_context*, const pa_server_info* info, void* self) {
            static_cast<PulseAudioCapture*>(self)->onServerInfo(info);
        },
        this);
    if (op) {
        pa_operation_unref(op);
    }
}

void PulseAudioCapture::onServerInfo(const pa_server_info* info) {
    if (!info) {
        return;
    }
    if (!loopback) {
        useSource(info->default_source_name ? info->default_source_name : "", "default input");
        return;
    }
    if (!info->default_sink_name) {
        SPDLOG_WARN("PulseAudio has no default output to record");
        return;
    }
    pa_operation* op = pa_context_get_sink_info_by_name(
        context, info->default_sink_name,
        [](pa_context*, const pa_sink_info* sink, int eol, void* self) {
            if (eol == 0 && sink) {
                static_cast<PulseAudioCapture*>(self)->onSinkInfo(sink);
            }
        },
        this);
    if (op) {
        pa_operation_unref(op);
    }
}

void PulseAudioCapture::onSinkInfo(const pa_sink_info* info) {
    if (info->monitor_source_name) {
        useSource(info->monitor_source_name, info->description ? info->description : info->name);
    }
}

void PulseAudioCapture::useSource(const std::string& name, const std::string& description) {
    if (name.empty() || name == sourceName) {
        return;
    }
    sourceName = name;
    SPDLOG_INFO("Using audio device: {} ({})", description, name);
    if (streamWanted) {
        openStream();
    }
}

void PulseAudioCapture::openStream() {
    if (stream && streamSource == sourceName) {
        return;
    }
    closeStream();
    const pa_sample_spec format{PA_SAMPLE_FLOAT32NE, kRate, kChannels};
    stream = pa_stream_new(context, "Desktop sound", &format, nullptr);
    if (!stream) {
        SPDLOG_ERROR("Failed to create the PulseAudio recording stream: {}", pa_strerror(pa_context_errno(context)));
        return;
    }
    pa_stream_set_state_callback(
        stream,
        [](pa_stream* s, void* self) {
            if (pa_stream_get_state(s) == PA_STREAM_FAILED) {
                static_cast<PulseAudioCapture*>(self)->streamFailed = true;
            }
        },
        this);
    pa_buffer_attr attr;
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.tlength = static_cast<std::uint32_t>(-1);
    attr.prebuf = static_cast<std::uint32_t>(-1);
    attr.minreq = static_cast<std::uint32_t>(-1);
    attr.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(kFragmentUsec, &format));
    // Bound to this source: if it goes, the stream fails and the next default is looked up,
    // rather than the server moving it to whatever input is left (a microphone).
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(stream, sourceName.c_str(), &attr, flags) < 0) {
        SPDLOG_ERROR("Failed to record from {}: {}", sourceName, pa_strerror(pa_context_errno(context)));
        closeStream();
        return;
    }
    streamSource = sourceName;
}

void PulseAudioCapture::closeStream() {
    if (!stream) {
        return;
    }
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_disconnect(stream);
    pa_stream_unref(stream);
    stream = nullptr;
    streamSource.clear();
}

void PulseAudioCapture::drain(const PacketHandler& onPacket) {
    while (stream && pa_stream_get_state(stream) == PA_STREAM_READY && pa_stream_readable_size(stream) > 0) {
        const void* data = nullptr;
        std::size_t bytes = 0;
        if (pa_stream_peek(stream, &data, &bytes) < 0) {
            SPDLOG_ERROR("Reading PulseAudio data failed: {}", pa_strerror(pa_context_errno(context)));
            return;
        }
        if (bytes == 0) {
            return;
        }
        CapturedAudioPacket packet;
        packet.data = data;
        packet.frames = static_cast<std::uint32_t>(bytes / (sizeof(float) * kChannels));
        // A hole in the stream (no data) and the monitor's zeros while nothing plays are silence.
        packet.silent = !data || allZero(data, bytes);
        packet.format = format();
        onPacket(packet);
        if (pa_stream_drop(stream) < 0) {
            SPDLOG_ERROR("Releasing PulseAudio data failed: {}", pa_strerror(pa_context_errno(context)));
            return;
        }
    }
}

}  // namespace

std::unique_ptr<AudioCaptureBackend> createAudioCaptureBackend() {
    return std::make_unique<PulseAudioCapture>();
}

}  // namespace quillane::host
