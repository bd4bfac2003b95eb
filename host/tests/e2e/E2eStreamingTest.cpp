// The host binary end to end in the virtual desktop, driven over real sockets
// against test windows of our own. Each test shares one host start-up.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>

#define STB_IMAGE_IMPLEMENTATION
#include <stb_image.h>

#include "E2eHost.h"
#include "E2eMedia.h"
#include "Eventually.h"
#include "SignalingTestClient.h"
#include "TestWindowPattern.h"
#include "VideoClient.h"
#include "common/Base64.h"

// After gtest: Xlib defines None.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>

using namespace std::chrono_literals;
using quillane::host::base64Decode;
using quillane::host::test::SignalingClient;
using nlohmann::json;

namespace quillane::host::test {
namespace {

constexpr int kNalIdr = 5;

bool hasIdr(const ReceivedVideoPacket& p) {
    const auto types = quillane::host::test::nalTypes(p.payload.data(), p.payload.size());
    return std::find(types.begin(), types.end(), kNalIdr) != types.end();
}

class E2e : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(host.start()) << "host did not start; stderr:\n"
                                  << readFile(host.home() + "/stderr.txt") << "\nlog:\n"
                                  << host.log();
        ASSERT_TRUE(client.connect(host.ports().signaling));
        ASSERT_TRUE(client.sendText(R"({"type":"hello"})"));
        const auto welcome = client.receive(5s);
        ASSERT_TRUE(welcome);
        const HostPorts& p = host.ports();
        EXPECT_EQ(*welcome, "{\"audioPort\":" + std::to_string(p.audio) +
                                ",\"hostName\":\"Quillane Host\",\"hostVersion\":\"1.1.9\",\"inputPort\":" +
                                std::to_string(p.input) +
                                ",\"protocol\":\"tcp\",\"requiresAuth\":false,\"supportedCodecs\":[\"h264\"],"
                                "\"type\":\"welcome\",\"videoPort\":" + std::to_string(p.video) + "}");
    }
    void TearDown() override {
        // SIGTERM ends every run cleanly (a sanitizer report or a crash would not).
        const int status = host.stop();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "exit status " << status << "; stderr:\n" << readFile(host.home() + "/stderr.txt");
        if (HasFailure()) std::fprintf(stderr, "host log:\n%s\n", host.log().c_str());
    }

    std::optional<json> findWindow(unsigned long id) {
        auto list = client.request(json{{"type", "window_list_request"}}, "window_list");
        if (!list) return std::nullopt;
        for (const auto& w : (*list)["windows"])
            if (w["id"].get<std::uint64_t>() == id) return w;
        return std::nullopt;
    }

    std::optional<json> subscribe(unsigned long windowId) {
        return client.request(json{{"type", "stream_subscribe"}, {"windowId", windowId}}, "stream_started", 10s);
    }

    // The next packet of a stream, skipping others.
    std::optional<ReceivedVideoPacket> nextOf(std::uint8_t streamId, std::chrono::milliseconds timeout = 5s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            auto p = video->next(std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now()));
            if (!p) return std::nullopt;
            if (p->streamId() == streamId) return p;
        }
        return std::nullopt;
    }

    // After `settle` for packets already on their way, none of the stream for 1.5 s.
    bool framesStopped(std::uint8_t streamId, std::chrono::milliseconds settle) {
        std::this_thread::sleep_for(settle);
        video->clear();
        return !nextOf(streamId, 1500ms);
    }

    // Decodes from the stream's next keyframe on until a picture of that width comes out.
    // Bounded by time, not packets: seconds of the old size may still be queued.
    std::optional<Picture> firstPictureOfWidth(std::uint8_t streamId, int width, H264TestDecoder& decoder) {
        bool sawKey = false;
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < deadline) {
            auto p = nextOf(streamId);
            if (!p) return std::nullopt;
            sawKey = sawKey || p->isKeyframe();
            if (!sawKey) continue;
            for (auto& d : decoder.decode(p->payload.data(), p->payload.size()))
                if (d.width == width) return std::move(d);
        }
        return std::nullopt;
    }

    // Index of the first packet (of the next `frames`) that is an IDR keyframe; -1 if none.
    int idrWithin(std::uint8_t streamId, int frames) {
        for (int i = 0; i < frames; ++i) {
            auto p = nextOf(streamId);
            if (!p) return -1;
            if (p->isKeyframe()) return hasIdr(*p) ? i : -1;
        }
        return -1;
    }

    // Connects the video connection, subscribes to the window and waits for its
    // "stream_config" (kept in config_); returns the stream id.
    std::optional<std::uint8_t> openStream(TestWindowProcess& window) {
        if (!window.ok() || !findWindow(window.windowId())) return std::nullopt;
        video = std::make_unique<VideoReceiver>(host.ports().video);
        if (!video->connected() || !host.waitForLog("TCP client connected", 5s)) return std::nullopt;
        auto started = subscribe(window.windowId());
        if (!started) return std::nullopt;
        EXPECT_EQ((*started)["windowId"], window.windowId());
        EXPECT_EQ((*started)["codec"], "h264");
        config_ = client.waitForType("stream_config", 10s);
        if (!config_) return std::nullopt;
        return (*started)["streamId"].get<std::uint8_t>();
    }

    void expectConfig(const json& config, std::uint8_t streamId, unsigned long windowId, int width, int height) {
        EXPECT_EQ(config["streamId"], streamId);
        EXPECT_EQ(config["windowId"], windowId);
        EXPECT_EQ(config["width"], width);
        EXPECT_EQ(config["height"], height);
    }

    // A client that connects now is welcomed, and the window's stream decodes for it.
    ::testing::AssertionResult freshClientDecodes(TestWindowProcess& window, int width) {
        SignalingClient fresh;
        if (!fresh.connect(host.ports().signaling) || !fresh.request(json{{"type", "hello"}}, "welcome")) {
            return ::testing::AssertionFailure() << "no welcome";
        }
        if (!connectVideo()) return ::testing::AssertionFailure() << "no video connection";
        const auto started =
            fresh.request(json{{"type", "stream_subscribe"}, {"windowId", window.windowId()}}, "stream_started", 10s);
        if (!started) return ::testing::AssertionFailure() << "no stream_started";
        H264TestDecoder decoder{H264TestDecoder::Output::rgb};
        if (!firstPictureOfWidth((*started)["streamId"].get<std::uint8_t>(), width, decoder)) {
            return ::testing::AssertionFailure() << "no picture decoded";
        }
        return ::testing::AssertionSuccess();
    }

    // A new video client, which takes the place of the one before.
    bool connectVideo() {
        const auto before = logCount("TCP client connected");
        video = std::make_unique<VideoReceiver>(host.ports().video);
        const auto started = std::chrono::steady_clock::now();
        while (logCount("TCP client connected") == before) {
            if (!video->connected() || std::chrono::steady_clock::now() - started > 5s) return false;
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }

    std::size_t logCount(const std::string& needle) const {
        const std::string text = host.log();
        std::size_t count = 0;
        for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
        return count;
    }

    HostUnderTest host;
    SignalingClient client;
    std::unique_ptr<VideoReceiver> video;
    std::optional<json> config_;
};

std::string hostName() {
    char buf[256] = {};
    gethostname(buf, sizeof buf - 1);
    return buf;
}

TEST_F(E2e, DiscoveryAndTheWindowListWithItsIcon) {
    auto reply = quillane::host::test::discover(9877, "QUILLANE_DISCOVER\0e2e", 5s);
    ASSERT_TRUE(reply) << "no discovery reply";
    EXPECT_EQ(std::string(reply->begin(), reply->end()), std::string("QUILLANE_HOST") + '\0' +
                                                             hostName() + '\0' +
                                                             std::to_string(host.ports().signaling) + '\0');
    EXPECT_TRUE(host.waitForLog("Client connected from 127.0.0.1", 5s));

    TestWindowProcess window("E2E list \xc3\xa9t\xc3\xa9");
    ASSERT_TRUE(window.ok());
    auto w = findWindow(window.windowId());
    ASSERT_TRUE(w) << "test window not listed";
    EXPECT_EQ((*w)["title"], "E2E list \xc3\xa9t\xc3\xa9");
    EXPECT_EQ((*w)["className"], kWindowClass);
    EXPECT_EQ((*w)["processName"], "qh_test_window");
    EXPECT_EQ((*w)["isMinimized"], false);
    EXPECT_EQ((*w)["isVisible"], true);
    const auto grab = grabWindow(window.windowId());
    ASSERT_TRUE(grab);
    EXPECT_EQ((*w)["width"].get<int>(), grab->width);
    EXPECT_EQ((*w)["height"].get<int>(), grab->height);

    const auto png = base64Decode((*w)["iconBase64"].get<std::string>());
    ASSERT_TRUE(png && !png->empty());
    int iw = 0, ih = 0, channels = 0;
    unsigned char* pixels = stbi_load_from_memory(png->data(), static_cast<int>(png->size()), &iw, &ih, &channels, 4);
    ASSERT_NE(pixels, nullptr);
    EXPECT_EQ(iw, kIconSize);
    EXPECT_EQ(ih, kIconSize);
    int mismatches = 0;
    for (int y = 0; y < std::min(ih, kIconSize); ++y) {
        for (int x = 0; x < std::min(iw, kIconSize); ++x) {
            const std::uint32_t argb = iconPixel(x, y);
            const unsigned char* p = pixels + (y * iw + x) * 4;
            mismatches += p[0] != ((argb >> 16) & 0xFF) || p[1] != ((argb >> 8) & 0xFF) || p[2] != (argb & 0xFF) ||
                          p[3] != (argb >> 24);
        }
    }
    stbi_image_free(pixels);
    EXPECT_EQ(mismatches, 0);

    // The host's own window is on the same desktop but never offered.
    auto list = client.request(json{{"type", "window_list_request"}}, "window_list");
    ASSERT_TRUE(list);
    for (const auto& entry : (*list)["windows"]) EXPECT_NE(entry["title"], "Quillane Host");
}

// Decoded frames match the window; keyframes come on request; feedback lowers
// and raises the bitrate.
TEST_F(E2e, StreamDecodesToTheWindowAndFollowsRequestsAndFeedback) {
    TestWindowProcess window("E2E stream");
    const auto opened = openStream(window);
    ASSERT_TRUE(opened);
    const std::uint8_t streamId = *opened;
    expectConfig(*config_, streamId, window.windowId(), 640, 480);
    EXPECT_EQ((*config_)["codec"], "video/avc");
    EXPECT_EQ((*config_)["targetBitrate"], 20000);
    EXPECT_EQ((*config_)["targetFps"], 72);

    // The first packet is a keyframe whose SPS and PPS are the announced ones.
    auto first = nextOf(streamId, 10s);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->frameType(), 1);
    EXPECT_TRUE(hasIdr(*first));
    using quillane::host::test::findNal;
    EXPECT_EQ(base64Decode((*config_)["sps"].get<std::string>()), findNal(first->payload.data(), first->payload.size(), 7));
    EXPECT_EQ(base64Decode((*config_)["pps"].get<std::string>()), findNal(first->payload.data(), first->payload.size(), 8));

    H264TestDecoder decoder{H264TestDecoder::Output::rgb};
    decoder.decode(first->payload.data(), first->payload.size());
    std::uint16_t lastSeq = first->sequence();
    int delta = 0;
    for (int i = 0; i < 20; ++i) {
        auto p = nextOf(streamId);
        ASSERT_TRUE(p) << "frames stopped";
        EXPECT_EQ(p->sequence(), static_cast<std::uint16_t>(lastSeq + 1));
        lastSeq = p->sequence();
        delta += p->frameType() == 3;
        decoder.decode(p->payload.data(), p->payload.size());
    }
    EXPECT_GT(delta, 10);

    // Hold the picture still, let identical frames through, then compare; every
    // packet goes through the decoder, so no reference is missing.
    ASSERT_TRUE(window.command("hold"));
    std::optional<Picture> last;
    const auto settled = std::chrono::steady_clock::now() + 1s;
    for (int afterHold = 0; std::chrono::steady_clock::now() < settled || afterHold < 20; ++afterHold) {
        auto p = nextOf(streamId);
        ASSERT_TRUE(p);
        for (auto& pic : decoder.decode(p->payload.data(), p->payload.size())) last = std::move(pic);
    }
    ASSERT_TRUE(last);
    EXPECT_EQ(decoder.errors(), 0);
    EXPECT_EQ(last->width, 640);
    EXPECT_EQ(last->height, 480);
    const auto grab = grabWindow(window.windowId());
    ASSERT_TRUE(grab);
    const double quality = psnr(*last, *grab);
    EXPECT_GE(quality, 35.0) << "PSNR " << quality << " dB";
    RecordProperty("psnr_db", std::to_string(quality));
    std::fprintf(stderr, "decoded picture against the window: PSNR %.2f dB\n", quality);
    ASSERT_TRUE(window.command("run"));

    // An IDR soon after a request over signalling and over the video connection.
    // Forced keyframes come at most every 100 ms, so each request waits that long first.
    for (int round = 0; round < 2; ++round) {
        std::this_thread::sleep_for(100ms);
        video->clear();
        ASSERT_TRUE(client.sendJson(json{{"type", "request_keyframe"}, {"streamId", streamId}}));
        const int at = idrWithin(streamId, 12);
        EXPECT_TRUE(at >= 0 && at <= 5) << "request_keyframe: IDR at " << at;
        std::this_thread::sleep_for(100ms);
        video->clear();
        video->sendKeyframeRequest(streamId);
        const int at16 = idrWithin(streamId, 12);
        EXPECT_TRUE(at16 >= 0 && at16 <= 5) << "type-16 message: IDR at " << at16;
    }

    // The first report only sets the clock. A congested one a second later
    // lowers the rate down to the encoder (peak 1.5 times the target), a second
    // one within that second changes nothing, and a good one raises it again.
    video->sendFeedback(0, 100);
    std::this_thread::sleep_for(1200ms);
    video->sendFeedback(0, 100);
    EXPECT_TRUE(host.waitForLog("reducing bitrate 20000 -> 16000 kbps", 3s));
    EXPECT_TRUE(host.waitForLog("Network congestion (RTT=100ms, decode=0ms)", 1s));
    EXPECT_TRUE(host.waitForLog("Bitrate updated to 16000 / 24000 kbps", 3s));
    video->sendFeedback(40, 0);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(host.log().find("16000 -> 12800"), std::string::npos);
    std::this_thread::sleep_for(1200ms);
    video->sendFeedback(5, 5);
    EXPECT_TRUE(host.waitForLog("Bitrate updated to 17600 / 26400 kbps", 3s));
}

// The window resized by itself, then by the client: one new "stream_config"
// each, and frames of the new size (the encoder pads to multiples of 16).
TEST_F(E2e, ResizesSendOneNewStreamConfigEach) {
    TestWindowProcess window("E2E resize");
    const auto opened = openStream(window);
    ASSERT_TRUE(opened);
    const std::uint8_t streamId = *opened;

    ASSERT_TRUE(window.command("resize 800 600"));
    auto config = client.waitForType("stream_config", 10s);
    ASSERT_TRUE(config);
    expectConfig(*config, streamId, window.windowId(), 800, 600);
    EXPECT_FALSE(client.waitForType("stream_config", 2s)) << "more than one while the size stays";
    H264TestDecoder decoder{H264TestDecoder::Output::luma};
    auto pic = firstPictureOfWidth(streamId, 800, decoder);
    ASSERT_TRUE(pic);
    EXPECT_EQ(pic->height, 608);

    ASSERT_TRUE(client.sendJson(json{{"type", "window_resize"}, {"streamId", streamId},
                                     {"windowId", window.windowId()}, {"width", 720}, {"height", 540}}));
    // Both answers, in whichever order they come.
    std::optional<json> resized;
    config.reset();
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while ((!resized || !config) && std::chrono::steady_clock::now() < deadline) {
        auto m = client.receiveJson(std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now()));
        if (!m) break;
        if ((*m)["type"] == "window_resized") resized = m;
        if ((*m)["type"] == "stream_config") config = m;
    }
    ASSERT_TRUE(resized) << "no window_resized";
    EXPECT_EQ((*resized)["success"], true);
    expectConfig(*resized, streamId, window.windowId(), 720, 540);
    EXPECT_TRUE(host.waitForLog("Window resized to", 1s));
    ASSERT_TRUE(config) << "no stream_config after the client's resize";
    expectConfig(*config, streamId, window.windowId(), 720, 540);
    std::optional<Picture> grab;
    EXPECT_TRUE(quillane::host::test::eventually(
        [&] {
            grab = grabWindow(window.windowId());
            return grab && grab->width == 720 && grab->height == 540;
        },
        5s));
    H264TestDecoder again{H264TestDecoder::Output::luma};
    pic = firstPictureOfWidth(streamId, 720, again);
    ASSERT_TRUE(pic);
    EXPECT_EQ(pic->height, 544);
    EXPECT_EQ(again.errors(), 0);

    // Neither a window the client was never offered nor an absurd size is resized.
    for (const auto& [windowId, width] : {std::pair{0x7ffffff0ul, 300}, std::pair{window.windowId(), 100000}}) {
        auto refused = client.request(json{{"type", "window_resize"}, {"streamId", streamId}, {"windowId", windowId},
                                           {"width", width}, {"height", 200}},
                                      "window_resized");
        ASSERT_TRUE(refused);
        EXPECT_EQ((*refused)["success"], false);
        EXPECT_EQ((*refused)["windowId"], windowId);
    }
    EXPECT_EQ(host.log().find("resized successfully to 300x200"), std::string::npos);
    grab = grabWindow(window.windowId());
    ASSERT_TRUE(grab);
    EXPECT_EQ(grab->width, 720);
}

// A client that resizes its window 40 times in one second: every request is
// answered, the encoder is re-created at most every 100 ms (each re-creation
// announces its size in a "stream_config"), and the stream ends at the last size.
TEST_F(E2e, AResizeFloodRecreatesTheEncoderAtMostEvery100msAndTheLastSizeWins) {
    TestWindowProcess window("E2E resize flood", 400, 300);
    const auto opened = openStream(window);
    ASSERT_TRUE(opened);
    const std::uint8_t streamId = *opened;

    const auto began = std::chrono::steady_clock::now();
    int width = 400;
    for (int i = 1; i <= 40; ++i) {
        width = 400 + 16 * i;  // a new padded size every time
        ASSERT_TRUE(client.sendJson(json{{"type", "window_resize"}, {"streamId", streamId},
                                         {"windowId", window.windowId()}, {"width", width}, {"height", 300}}));
        std::this_thread::sleep_until(began + i * 25ms);
    }
    int answered = 0;
    std::size_t recreations = 0;
    std::optional<json> lastConfig;
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    while ((answered < 40 || !lastConfig || (*lastConfig)["width"] != width) &&
           std::chrono::steady_clock::now() < deadline) {
        auto m = client.receiveJson(std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now()));
        if (!m) break;
        if ((*m)["type"] == "window_resized") answered += (*m)["success"] == true ? 1 : 0;
        if ((*m)["type"] == "stream_config" && (*m)["streamId"] == streamId) {
            lastConfig = m;
            ++recreations;
        }
    }
    EXPECT_EQ(answered, 40);
    ASSERT_TRUE(lastConfig) << "no stream_config after the resizes";
    expectConfig(*lastConfig, streamId, window.windowId(), width, 300);
    EXPECT_GE(recreations, 1u);
    EXPECT_LE(recreations, 11u);
    H264TestDecoder decoder{H264TestDecoder::Output::luma};
    const auto pic = firstPictureOfWidth(streamId, width, decoder);
    ASSERT_TRUE(pic) << "no picture of the last size";
    EXPECT_EQ(pic->height, 304);
}

// Unsubscribing or closing a window ends its frames; the closed stream's id is
// handed out again, the running stream's never, even when 300 starts wrap the counter.
TEST_F(E2e, StreamsEndAndIdsAreReusedButNeverWhileRunning) {
    TestWindowProcess kept("E2E keeps id");
    TestWindowProcess other("E2E other", 320, 240);
    TestWindowProcess small("E2E churn", 64, 64);
    ASSERT_TRUE(other.ok() && small.ok());
    const auto opened = openStream(kept);
    ASSERT_TRUE(opened);
    ASSERT_EQ(*opened, 1);
    ASSERT_TRUE(findWindow(other.windowId()) && findWindow(small.windowId()));

    auto started = subscribe(other.windowId());
    ASSERT_TRUE(started);
    const auto unsubscribed = (*started)["streamId"].get<std::uint8_t>();
    ASSERT_TRUE(nextOf(unsubscribed, 10s));
    auto stopped = client.request(json{{"type", "stream_unsubscribe"}, {"streamId", unsubscribed}}, "stream_stopped");
    ASSERT_TRUE(stopped);
    EXPECT_EQ((*stopped)["streamId"], unsubscribed);
    EXPECT_TRUE(framesStopped(unsubscribed, 300ms)) << "frames still flow after stream_stopped";

    started = subscribe(other.windowId());
    ASSERT_TRUE(started);
    const auto closed = (*started)["streamId"].get<std::uint8_t>();
    ASSERT_TRUE(nextOf(closed, 10s));
    ASSERT_TRUE(other.command("close"));
    EXPECT_TRUE(framesStopped(closed, 1s)) << "frames still flow after the window closed";

    auto refused = client.request(json{{"type", "stream_subscribe"}, {"windowId", 0}}, "error", 5s);
    ASSERT_TRUE(refused);
    EXPECT_EQ((*refused)["code"], 1001);
    int wrapped = 0;
    bool closedIdReused = false;
    std::uint8_t previous = 1;
    for (int i = 0; i < 300; ++i) {
        started = subscribe(small.windowId());
        ASSERT_TRUE(started) << "request " << i;
        const auto id = (*started)["streamId"].get<std::uint8_t>();
        ASSERT_NE(id, 1) << "request " << i;
        wrapped += id < previous;
        closedIdReused = closedIdReused || id == closed;
        previous = id;
        ASSERT_TRUE(client.request(json{{"type", "stream_unsubscribe"}, {"streamId", id}}, "stream_stopped"));
    }
    EXPECT_GE(wrapped, 1);
    EXPECT_TRUE(closedIdReused) << "stream " << int(closed) << " not freed when its window closed";
    video->clear();
    EXPECT_TRUE(nextOf(1, 5s)) << "stream 1 stopped";
    EXPECT_TRUE(quillane::host::test::signalingAlive(host.ports().signaling));
}

// From the hostile side, with valid requests: too many streams, a client that
// leaves its streams behind, sizes H.264 cannot carry and a keyframe flood.
// After each the host still serves a fresh client.
TEST_F(E2e, HostileRequestsAreBoundedAndTheHostKeepsServing) {
    TestWindowProcess target("E2E target", 64, 64);
    TestWindowProcess live("E2E live", 320, 240);
    ASSERT_TRUE(target.ok() && live.ok());
    ASSERT_TRUE(findWindow(target.windowId()) && findWindow(live.windowId()));

    // 300 starts from three machines: 8 per client and 16 in all run, the rest get 1001.
    std::vector<std::unique_ptr<SignalingClient>> hostile;
    int started = 0, refused = 0;
    for (int c = 0; c < 3; ++c) {
        hostile.push_back(std::make_unique<SignalingClient>("127.0.0." + std::to_string(2 + c)));
        ASSERT_TRUE(hostile.back()->connect(host.ports().signaling));
        for (int i = 0; i < 100; ++i) {
            ASSERT_TRUE(hostile.back()->sendJson({{"type", "stream_start"}, {"windowId", target.windowId()}}));
            std::optional<json> reply;
            do {
                reply = hostile.back()->receiveJson(10s);
                ASSERT_TRUE(reply) << "no answer to start " << i;
            } while ((*reply)["type"] == "stream_config");
            started += (*reply)["type"] == "stream_started";
            refused += (*reply)["type"] == "error" && (*reply)["code"] == 1001;
        }
    }
    EXPECT_EQ(started, 16);
    EXPECT_EQ(refused, 284);
    EXPECT_TRUE(host.waitForLog("streams already running", 1s));
    EXPECT_TRUE(host.waitForLog("this client already runs 8 streams", 1s));
    EXPECT_TRUE(displayAcceptsClients());

    // The clients go without a word: every stream they started stops within a second.
    const auto left = std::chrono::steady_clock::now();
    hostile.clear();
    while (logCount("the client that started it disconnected") < 16 &&
           std::chrono::steady_clock::now() - left < 1s) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(logCount("the client that started it disconnected"), 16u);
    EXPECT_TRUE(freshClientDecodes(live, 320));

    // Resizes beyond what H.264 carries are refused.
    for (auto [w, h] : {std::pair{16384, 16384}, {8193, 100}}) {
        const auto resized = client.request(
            json{{"type", "window_resize"}, {"windowId", live.windowId()}, {"width", w}, {"height", h}},
            "window_resized");
        ASSERT_TRUE(resized);
        EXPECT_EQ((*resized)["success"], false) << w << "x" << h;
    }

    // 1,000 keyframe requests in a second make at most 11 IDRs.
    const auto opened = openStream(live);
    ASSERT_TRUE(opened);
    ASSERT_TRUE(nextOf(*opened, 10s));
    std::atomic<int> idrs{0};
    std::atomic<bool> flooding{true};
    std::thread counter([&] {
        while (flooding) {
            if (auto p = nextOf(*opened, 50ms); p && hasIdr(*p)) ++idrs;
        }
    });
    const auto flood = std::chrono::steady_clock::now();
    for (int i = 0; i < 1000; ++i) {
        ASSERT_TRUE(client.sendJson(json{{"type", "request_keyframe"}, {"streamId", *opened}}));
        std::this_thread::sleep_until(flood + i * 1ms);
    }
    std::this_thread::sleep_until(flood + 1s);
    flooding = false;
    counter.join();
    EXPECT_GE(idrs.load(), 5);
    EXPECT_LE(idrs.load(), 11);
    EXPECT_TRUE(freshClientDecodes(live, 320));
}

// One record of the input connection: stream, device, action, x, y, code, modifiers, wheel, spare.
std::vector<std::uint8_t> inputRecord(std::uint8_t stream, std::uint8_t device, std::uint8_t action, std::uint16_t x,
                                      std::uint16_t y, std::uint8_t code = 0) {
    return {12, 0, 0, 0, stream, device, action, static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(x >> 8),
            static_cast<std::uint8_t>(y), static_cast<std::uint8_t>(y >> 8), code, 0, 0, 0, 0};
}

// Counts the key map changes the X server announces to an XKB client, as toolkits are; they wait
// on the connection until counted.
class KeymapChangeCounter {
public:
    KeymapChangeCounter() : display(XOpenDisplay(nullptr)) {
        int opcode = 0, error = 0, major = XkbMajorVersion, minor = XkbMinorVersion;
        if (display && XkbQueryExtension(display, &opcode, &xkbEvent, &error, &major, &minor))
            selected = XkbSelectEvents(display, XkbUseCoreKbd, XkbMapNotifyMask, XkbMapNotifyMask);
        if (selected) XSync(display, False);
    }
    ~KeymapChangeCounter() {
        if (display) XCloseDisplay(display);
    }
    bool ok() const { return selected; }
    int count() {
        while (XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            // One core notice per change; XKB's come once per keyboard device.
            changes += event.type == MappingNotify && event.xmapping.request == MappingKeyboard;
        }
        return changes;
    }

private:
    Display* display;
    int xkbEvent = 0;
    bool selected = false;
    int changes = 0;
};

// 10,000 characters without a key on the layout, typed into the focused streamed window: the key
// map changes at most 100 times a second (the rest is dropped with one warning), a move sent after
// them follows within seconds, signalling answers pings at once and the stream keeps its frame rate.
TEST_F(E2e, AFloodOfTextWithoutKeysNeitherStallsInputNorTheStreamNorTheDesktop) {
    TestWindowProcess window("E2E text flood", 320, 240);
    const auto opened = openStream(window);
    ASSERT_TRUE(opened);
    const std::uint8_t streamId = *opened;
    ASSERT_TRUE(nextOf(streamId, 10s));
    quillane::host::test::VideoClient input;
    ASSERT_TRUE(input.connect(host.ports().input));
    ASSERT_TRUE(host.waitForLog("TCP input client connected", 5s));
    // Focus the window as a user would, with a click into it.
    std::vector<std::uint8_t> bytes;
    for (std::uint8_t action : {1, 2, 3}) {
        const auto record = inputRecord(streamId, 1, action, 32768, 32768);
        bytes.insert(bytes.end(), record.begin(), record.end());
    }
    ASSERT_TRUE(input.sendRaw(bytes));
    std::this_thread::sleep_for(500ms);

    video->clear();  // what queued up meanwhile
    std::atomic<int> frames{0};
    std::atomic<bool> counting{true};
    std::thread counter([&] {
        while (counting)
            if (nextOf(streamId, 50ms)) ++frames;
    });
    std::this_thread::sleep_for(2s);
    const double fpsBefore = frames.exchange(0) / 2.0;

    // The flood, in ten parts over 2.5 s so that it lasts while frames and pings are measured; then
    // a move to the window's top-left tenth.
    std::vector<std::vector<std::uint8_t>> parts(10);
    for (int i = 0; i < 10000; ++i) {
        const auto record = inputRecord(streamId, 2, 3, static_cast<std::uint16_t>(0x4E00 + i), 0);
        parts[i / 1000].insert(parts[i / 1000].end(), record.begin(), record.end());
    }
    const auto move = inputRecord(streamId, 1, 1, 6554, 6554);
    parts.back().insert(parts.back().end(), move.begin(), move.end());
    Display* display = XOpenDisplay(nullptr);
    ASSERT_NE(display, nullptr);
    int left = 0, top = 0;
    Window child = 0;
    XTranslateCoordinates(display, window.windowId(), DefaultRootWindow(display), 0, 0, &left, &top, &child);
    const auto pointerArrived = [&] {
        Window root = 0;
        int x = 0, y = 0, wx = 0, wy = 0;
        unsigned mask = 0;
        XQueryPointer(display, DefaultRootWindow(display), &root, &child, &x, &y, &wx, &wy, &mask);
        return std::abs(x - (left + 32)) <= 1 && std::abs(y - (top + 24)) <= 1;
    };
    ASSERT_FALSE(pointerArrived());

    KeymapChangeCounter keymap;
    ASSERT_TRUE(keymap.ok());
    const auto flooded = std::chrono::steady_clock::now();
    frames = 0;
    std::thread flood([&] {
        for (std::size_t i = 0; i < parts.size(); ++i) {
            std::this_thread::sleep_until(flooded + i * 250ms);
            input.sendRaw(parts[i]);
        }
    });
    std::chrono::milliseconds slowestPing{0};
    std::optional<double> seconds;  // until the move after the flood arrived
    for (int i = 0; std::chrono::steady_clock::now() - flooded < 3s; ++i) {
        if (!seconds && pointerArrived())
            seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - flooded).count();
        const auto asked = std::chrono::steady_clock::now();
        EXPECT_TRUE(client.request(json{{"type", "ping"}, {"timestamp", i}}, "pong", 1s)) << "ping " << i;
        slowestPing = std::max(slowestPing, std::chrono::duration_cast<std::chrono::milliseconds>(
                                                std::chrono::steady_clock::now() - asked));
        std::this_thread::sleep_for(50ms);
    }
    const double fpsDuring = frames.load() / std::chrono::duration<double>(std::chrono::steady_clock::now() - flooded).count();
    if (!seconds && quillane::host::test::eventually(pointerArrived, 15s))
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - flooded).count();
    std::this_thread::sleep_for(200ms);  // the last bindings undone
    const int keymapChanges = keymap.count();
    // Changes were counted over this long: the pings' three seconds at least, and the undoing after.
    const double counted = std::chrono::duration<double>(std::chrono::steady_clock::now() - flooded).count();
    flood.join();
    counting = false;
    counter.join();
    XCloseDisplay(display);
    std::fprintf(stderr, "frames/s %.1f before, %.1f during; slowest ping %lld ms; %d key map changes in %.1f s\n",
                 fpsBefore, fpsDuring, static_cast<long long>(slowestPing.count()), keymapChanges,
                 seconds.value_or(-1));

    EXPECT_LT(slowestPing, 100ms);
    EXPECT_GE(fpsBefore, 10.0);
    EXPECT_GE(fpsDuring, 0.75 * fpsBefore) << "before " << fpsBefore << " frames/s";
    ASSERT_TRUE(seconds) << "the move after the flood did not arrive";
    EXPECT_LE(*seconds, 10.0) << "the move after the flood took " << *seconds << " s";
    // At most 100 in any second, and the undoing of the last bindings at the end.
    EXPECT_GT(keymapChanges, 0);
    EXPECT_LE(keymapChanges, 100 * static_cast<int>(std::ceil(counted)) + 20) << "in " << counted << " s";
    EXPECT_GE(logCount("Dropping typed characters without a key on the layout"), 1u);
    EXPECT_LE(logCount("Dropping typed characters without a key on the layout"), 2u);
}

// A window that does not change still gives a new video client its picture:
// the last capture is encoded again as a keyframe.
TEST_F(E2e, AStillWindowGivesANewVideoClientAKeyframeOfItsPictureAtOnce) {
    TestWindowProcess window("E2E still", 320, 240);
    const auto opened = openStream(window);
    ASSERT_TRUE(opened);
    ASSERT_TRUE(nextOf(*opened, 10s));
    ASSERT_TRUE(window.command("freeze"));
    std::this_thread::sleep_for(2s);

    const auto grab = grabWindow(window.windowId());
    ASSERT_TRUE(grab);
    // The keyframe that decodes to the window's picture, then nothing until asked again.
    const auto expectPictureWithin = [&](std::chrono::milliseconds limit, const char* what) {
        const auto asked = std::chrono::steady_clock::now();
        const auto keyframe = nextOf(*opened, 2s);
        ASSERT_TRUE(keyframe) << what;
        EXPECT_LT(std::chrono::steady_clock::now() - asked, limit) << what;
        EXPECT_TRUE(hasIdr(*keyframe)) << what;
        H264TestDecoder decoder{H264TestDecoder::Output::rgb};
        const auto pictures = decoder.decode(keyframe->payload.data(), keyframe->payload.size());
        ASSERT_EQ(pictures.size(), 1u) << what;
        EXPECT_GE(psnr(pictures[0], *grab), 35.0) << what;
        EXPECT_FALSE(nextOf(*opened, 300ms)) << "frames of a still window after " << what;
    };
    ASSERT_TRUE(connectVideo());
    expectPictureWithin(200ms, "a new video client");
    ASSERT_TRUE(client.sendJson(json{{"type", "request_keyframe"}, {"streamId", *opened}}));
    expectPictureWithin(200ms, "a keyframe request");
    ASSERT_TRUE(window.command("run"));
    EXPECT_TRUE(freshClientDecodes(window, 320));
}

}  // namespace
}  // namespace quillane::host::test
