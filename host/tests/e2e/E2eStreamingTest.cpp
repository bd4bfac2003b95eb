// The host binary end to end: discovery, welcome, window list, streaming of a
// real window with decoding, keyframes, resolution changes, congestion
// control, unsubscribe and a closing window.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <thread>

#define STB_IMAGE_IMPLEMENTATION
#include <stb_image.h>

#include "E2eHost.h"
#include "E2eMedia.h"
#include "SignalingTestClient.h"
#include "TestWindowPattern.h"
#include "common/Base64.h"

using namespace std::chrono_literals;
using quillane::host::base64Decode;
using quillane::host::test::SignalingClient;
using nlohmann::json;

namespace qhtest {
namespace {

constexpr std::uint16_t kDiscoveryPort = 9877;
constexpr int kNalIdr = 5;
constexpr int kNalSps = 7;
constexpr int kNalPps = 8;

class E2e : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(host.start()) << "host did not start; stderr:\n"
                                  << readFile(host.home() + "/stderr.txt") << "\nlog:\n"
                                  << host.log();
        ASSERT_TRUE(client.connect(host.ports().signaling));
        auto welcome = client.request(json{{"type", "hello"}}, "welcome");
        ASSERT_TRUE(welcome);
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

    // Subscribes and returns the "stream_started" reply.
    std::optional<json> subscribe(unsigned long windowId) {
        return client.request(json{{"type", "stream_subscribe"}, {"windowId", windowId}}, "stream_started", 10s);
    }

    // The next packet of a stream, skipping others.
    static std::optional<ReceivedVideoPacket> nextOf(VideoReceiver& video, std::uint8_t streamId,
                                                     std::chrono::milliseconds timeout = 5s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            auto p = video.next(std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now()));
            if (!p) return std::nullopt;
            if (p->streamId() == streamId) return p;
        }
        return std::nullopt;
    }

    // Decodes the stream from its next keyframe on until a picture of the
    // given width comes out (at most 200 packets).
    static std::optional<Picture> firstPictureOfWidth(VideoReceiver& video, std::uint8_t streamId, int width,
                                                      H264TestDecoder& decoder) {
        bool sawKey = false;
        for (int i = 0; i < 200; ++i) {
            auto p = nextOf(video, streamId);
            if (!p) return std::nullopt;
            if (p->frameType() == 1) sawKey = true;
            if (!sawKey) continue;
            for (auto& d : decoder.decode(p->payload.data(), p->payload.size()))
                if (d.width == width) return std::move(d);
        }
        return std::nullopt;
    }

    // Connects the video connection, subscribes to the window and waits for
    // its "stream_config"; returns the stream id.
    std::optional<std::uint8_t> openStream(TestWindowProcess& window) {
        if (!window.ok() || !findWindow(window.windowId())) return std::nullopt;
        video = std::make_unique<VideoReceiver>(host.ports().video);
        if (!video->connected() || !host.waitForLog("TCP client connected", 5s)) return std::nullopt;
        auto started = subscribe(window.windowId());
        if (!started) return std::nullopt;
        started_ = *started;
        config_ = client.waitForType("stream_config", 10s);
        if (!config_) return std::nullopt;
        return (*started)["streamId"].get<std::uint8_t>();
    }

    HostUnderTest host;
    SignalingClient client;
    std::unique_ptr<VideoReceiver> video;
    json started_;
    std::optional<json> config_;
};

std::string hostName() {
    char buf[256] = {};
    gethostname(buf, sizeof buf - 1);
    return buf;
}

TEST(E2eStart, DiscoveryAnswersWithTheSignallingPortAndWelcomeHasTheConfiguredPorts) {
    HostUnderTest host;
    ASSERT_TRUE(host.start()) << host.log();
    auto reply = quillane::host::test::discover(kDiscoveryPort, "QUILLANE_DISCOVER\0e2e", 5s);
    ASSERT_TRUE(reply) << "no discovery reply";
    std::string expected = std::string("QUILLANE_HOST") + '\0' + hostName().substr(0, 64) + '\0' +
                           std::to_string(host.ports().signaling) + '\0';
    EXPECT_EQ(std::string(reply->begin(), reply->end()), expected);

    SignalingClient client;
    ASSERT_TRUE(client.connect(host.ports().signaling));
    ASSERT_TRUE(client.sendText(R"({"type":"hello"})"));
    auto welcome = client.receive(5s);
    ASSERT_TRUE(welcome);
    const std::string bytes = "{\"audioPort\":" + std::to_string(host.ports().audio) +
                              ",\"hostName\":\"Quillane Host\",\"hostVersion\":\"1.1.9\",\"inputPort\":" +
                              std::to_string(host.ports().input) +
                              ",\"protocol\":\"tcp\",\"requiresAuth\":false,\"supportedCodecs\":[\"h264\"],"
                              "\"type\":\"welcome\",\"videoPort\":" +
                              std::to_string(host.ports().video) + "}";
    EXPECT_EQ(*welcome, bytes);
    EXPECT_TRUE(host.waitForLog("Client connected from 127.0.0.1", 5s));

    // SIGTERM ends it cleanly.
    const int status = host.stop();
    EXPECT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(E2e, WindowListCarriesTheRealTestWindowWithItsIcon) {
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
            if (p[0] != ((argb >> 16) & 0xFF) || p[1] != ((argb >> 8) & 0xFF) || p[2] != (argb & 0xFF) ||
                p[3] != (argb >> 24))
                ++mismatches;
        }
    }
    stbi_image_free(pixels);
    EXPECT_EQ(mismatches, 0);

    // The host's own window is on the same desktop but never offered.
    auto list = client.request(json{{"type", "window_list_request"}}, "window_list");
    ASSERT_TRUE(list);
    for (const auto& entry : (*list)["windows"]) EXPECT_NE(entry["title"], "Quillane Host");
}

TEST_F(E2e, StreamDecodesToTheWindowAndAnswersKeyframeRequests) {
    TestWindowProcess window("E2E stream");
    const auto opened = openStream(window);
    ASSERT_TRUE(opened);
    const std::uint8_t streamId = *opened;
    auto& video = *this->video;
    EXPECT_EQ(started_["windowId"], window.windowId());
    EXPECT_EQ(started_["codec"], "h264");
    const auto& config = config_;
    EXPECT_EQ((*config)["windowId"], window.windowId());
    EXPECT_EQ((*config)["streamId"], streamId);
    EXPECT_EQ((*config)["width"], 640);
    EXPECT_EQ((*config)["height"], 480);
    EXPECT_EQ((*config)["codec"], "video/avc");
    EXPECT_EQ((*config)["targetBitrate"], 20000);
    EXPECT_EQ((*config)["targetFps"], 72);

    // The first packet is a keyframe whose SPS and PPS are the announced ones.
    auto first = nextOf(video, streamId, 10s);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->frameType(), 1);
    EXPECT_EQ(first->header[0], 0x01);
    EXPECT_EQ(first->header[1], 0x01);
    EXPECT_EQ(first->header[3], 0x01);
    EXPECT_EQ(first->header[13], 0x00);
    EXPECT_EQ(first->header[14], 0x01);
    EXPECT_EQ(first->header[15], 0x00);
    EXPECT_EQ(first->payloadLength(), std::min<std::size_t>(first->payload.size() + 8, 65535));
    const auto types = nalTypes(first->payload.data(), first->payload.size());
    EXPECT_NE(std::find(types.begin(), types.end(), kNalIdr), types.end());
    const auto sps = findNal(first->payload.data(), first->payload.size(), kNalSps);
    const auto pps = findNal(first->payload.data(), first->payload.size(), kNalPps);
    EXPECT_EQ(base64Decode((*config)["sps"].get<std::string>()), sps);
    EXPECT_EQ(base64Decode((*config)["pps"].get<std::string>()), pps);

    H264TestDecoder decoder{H264TestDecoder::Output::rgb};
    decoder.decode(first->payload.data(), first->payload.size());
    std::uint16_t lastSeq = first->sequence();
    int delta = 0;
    for (int i = 0; i < 20; ++i) {
        auto p = nextOf(video, streamId);
        ASSERT_TRUE(p) << "frames stopped";
        EXPECT_EQ(p->sequence(), static_cast<std::uint16_t>(lastSeq + 1));
        lastSeq = p->sequence();
        if (p->frameType() == 3) ++delta;
        decoder.decode(p->payload.data(), p->payload.size());
    }
    EXPECT_GT(delta, 10);

    // Hold the picture still, let a few identical frames through, then compare.
    // Every packet goes through the decoder, so no reference is missing.
    ASSERT_TRUE(window.command("hold"));
    std::optional<Picture> last;
    const auto settled = std::chrono::steady_clock::now() + 1s;
    int afterHold = 0;
    while (std::chrono::steady_clock::now() < settled || afterHold < 20) {
        auto p = nextOf(video, streamId);
        ASSERT_TRUE(p);
        ++afterHold;
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

    // Keyframe on request, over signalling and over the video connection.
    auto idrWithin = [&](int frames) {
        for (int i = 0; i < frames; ++i) {
            auto p = nextOf(video, streamId);
            if (!p) return -1;
            if (p->frameType() == 1) {
                const auto t = nalTypes(p->payload.data(), p->payload.size());
                return std::find(t.begin(), t.end(), kNalIdr) != t.end() ? i : -1;
            }
        }
        return -1;
    };
    for (int round = 0; round < 2; ++round) {
        // Start right after a natural keyframe would be unlikely to coincide.
        video.clear();
        ASSERT_TRUE(client.sendJson(json{{"type", "request_keyframe"}, {"streamId", streamId}}));
        const int at = idrWithin(12);
        EXPECT_GE(at, 0) << "no IDR after request_keyframe";
        EXPECT_LE(at, 5);
        video.clear();
        video.sendKeyframeRequest(streamId);
        const int at16 = idrWithin(12);
        EXPECT_GE(at16, 0) << "no IDR after a type-16 message";
        EXPECT_LE(at16, 5);
    }
}

TEST_F(E2e, ResolutionChangeSendsOneNewStreamConfig) {
    TestWindowProcess window("E2E resize");
    const auto opened = openStream(window);
    ASSERT_TRUE(opened);
    const std::uint8_t streamId = *opened;
    auto& video = *this->video;

    ASSERT_TRUE(window.command("resize 800 600"));
    auto config = client.waitForType("stream_config", 10s);
    ASSERT_TRUE(config);
    EXPECT_EQ((*config)["streamId"], streamId);
    EXPECT_EQ((*config)["windowId"], window.windowId());
    EXPECT_EQ((*config)["width"], 800);
    EXPECT_EQ((*config)["height"], 600);
    // Exactly one: nothing more while the size stays.
    EXPECT_FALSE(client.waitForType("stream_config", 2s));

    // The frames after it decode at the new size.
    H264TestDecoder decoder{H264TestDecoder::Output::luma};
    const auto pic = firstPictureOfWidth(video, streamId, 800, decoder);
    ASSERT_TRUE(pic);
    // The encoder works on the size padded to multiples of 16; "stream_config"
    // carries the window's own size for the client to crop to.
    EXPECT_EQ(pic->height, 608);
}

// A client's "window_resize" changes the streamed window itself; the capture
// follows with a new "stream_config" and frames of the new size.
TEST_F(E2e, ClientResizeChangesTheWindowAndTheStreamFollows) {
    TestWindowProcess window("E2E client resize");
    const auto opened = openStream(window);
    ASSERT_TRUE(opened);
    const std::uint8_t streamId = *opened;
    auto& video = *this->video;

    ASSERT_TRUE(client.sendJson(json{{"type", "window_resize"},
                                     {"streamId", streamId},
                                     {"windowId", window.windowId()},
                                     {"width", 800},
                                     {"height", 600}}));
    // Both answers, in whichever order they come.
    std::optional<json> resized, config;
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
    EXPECT_EQ((*resized)["windowId"], window.windowId());
    EXPECT_EQ((*resized)["streamId"], streamId);
    EXPECT_EQ((*resized)["width"], 800);
    EXPECT_EQ((*resized)["height"], 600);
    EXPECT_TRUE(host.waitForLog("Window resized to", 1s));

    // The window's client area has the size the client asked for.
    std::optional<Picture> grab;
    for (int i = 0; i < 100; ++i) {
        grab = grabWindow(window.windowId());
        if (grab && grab->width == 800 && grab->height == 600) break;
        std::this_thread::sleep_for(50ms);
    }
    ASSERT_TRUE(grab);
    EXPECT_EQ(grab->width, 800);
    EXPECT_EQ(grab->height, 600);

    ASSERT_TRUE(config) << "no stream_config after the resize";
    EXPECT_EQ((*config)["streamId"], streamId);
    EXPECT_EQ((*config)["windowId"], window.windowId());
    EXPECT_EQ((*config)["width"], 800);
    EXPECT_EQ((*config)["height"], 600);

    // From the next keyframe on the frames decode at the new size.
    H264TestDecoder decoder{H264TestDecoder::Output::luma};
    const auto pic = firstPictureOfWidth(video, streamId, 800, decoder);
    ASSERT_TRUE(pic);
    EXPECT_EQ(pic->height, 608);  // padded to a multiple of 16
    EXPECT_EQ(decoder.errors(), 0);

    // A window the client was never offered is not resized.
    auto refused = client.request(json{{"type", "window_resize"},
                                       {"streamId", streamId},
                                       {"windowId", 0x7ffffff0},
                                       {"width", 300},
                                       {"height", 200}},
                                  "window_resized");
    ASSERT_TRUE(refused);
    EXPECT_EQ((*refused)["success"], false);
    EXPECT_EQ((*refused)["windowId"], 0x7ffffff0);
    EXPECT_EQ(host.log().find("resized successfully to 300x200"), std::string::npos);
    // Nor is an absurd size passed on for the streamed one.
    auto absurd = client.request(json{{"type", "window_resize"},
                                      {"streamId", streamId},
                                      {"windowId", window.windowId()},
                                      {"width", 100000},
                                      {"height", 600}},
                                 "window_resized");
    ASSERT_TRUE(absurd);
    EXPECT_EQ((*absurd)["success"], false);
    grab = grabWindow(window.windowId());
    ASSERT_TRUE(grab);
    EXPECT_EQ(grab->width, 800);
}

TEST_F(E2e, FeedbackLowersTheBitrateInStepsAndRaisesItAgain) {
    TestWindowProcess window("E2E congestion");
    ASSERT_TRUE(openStream(window));
    auto& video = *this->video;

    // The first report only sets the clock; then one reduction per second.
    video.sendFeedback(0, 100);
    // Each step reaches the stream's encoder (target and 1.5 times as peak).
    const std::array<std::pair<const char*, const char*>, 3> steps{{
        {"reducing bitrate 20000 -> 16000 kbps", "Bitrate updated to 16000 / 24000 kbps"},
        {"reducing bitrate 16000 -> 12800 kbps", "Bitrate updated to 12800 / 19200 kbps"},
        {"reducing bitrate 12800 -> 10240 kbps", "Bitrate updated to 10240 / 15360 kbps"},
    }};
    for (const auto& [step, encoder] : steps) {
        std::this_thread::sleep_for(1200ms);
        video.sendFeedback(0, 100);
        EXPECT_TRUE(host.waitForLog(step, 3s)) << step;
        EXPECT_TRUE(host.waitForLog(encoder, 3s)) << encoder;
    }
    EXPECT_TRUE(host.waitForLog("Network congestion (RTT=100ms, decode=0ms)", 1s));
    // Two reports within the same second change nothing more.
    video.sendFeedback(40, 0);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(host.log().find("10240 -> 8192"), std::string::npos);

    // Good reports raise it again, without a log line; congestion after that
    // starts from the raised rate (10240 -> 11264 -> 12390).
    for (const char* raised : {"Bitrate updated to 11264 / 16896 kbps", "Bitrate updated to 12390 / 18585 kbps"}) {
        std::this_thread::sleep_for(1200ms);
        video.sendFeedback(5, 5);
        EXPECT_TRUE(host.waitForLog(raised, 3s)) << raised;
    }
    std::this_thread::sleep_for(1200ms);
    video.sendFeedback(31, 0);
    EXPECT_TRUE(host.waitForLog("reducing bitrate 12390 -> 9912 kbps", 3s));
}

TEST_F(E2e, UnsubscribeStopsTheFrames) {
    TestWindowProcess window("E2E unsubscribe");
    const auto opened = openStream(window);
    ASSERT_TRUE(opened);
    const std::uint8_t streamId = *opened;
    auto& video = *this->video;
    ASSERT_TRUE(nextOf(video, streamId, 10s));

    auto stopped = client.request(json{{"type", "stream_unsubscribe"}, {"streamId", streamId}}, "stream_stopped");
    ASSERT_TRUE(stopped);
    EXPECT_EQ((*stopped)["streamId"], streamId);
    std::this_thread::sleep_for(300ms);
    video.clear();
    EXPECT_FALSE(nextOf(video, streamId, 1500ms)) << "frames still flow after stream_stopped";
}

TEST_F(E2e, ClosingTheWindowEndsTheFramesAndFreesTheStreamId) {
    TestWindowProcess window("E2E close");
    TestWindowProcess other("E2E other");
    ASSERT_TRUE(other.ok());
    const auto opened = openStream(window);
    ASSERT_TRUE(opened);
    const std::uint8_t streamId = *opened;
    auto& video = *this->video;
    ASSERT_TRUE(nextOf(video, streamId, 10s));
    ASSERT_TRUE(findWindow(other.windowId()));

    ASSERT_TRUE(window.command("close"));
    std::this_thread::sleep_for(1s);
    video.clear();
    EXPECT_FALSE(nextOf(video, streamId, 1500ms)) << "frames still flow after the window closed";

    // Walk the id counter round with failing requests (window 0 is never
    // listed) until the closed stream's id comes up again: it is free, so a
    // real request gets it.
    int guard = 0;
    for (;;) {
        auto next = client.request(json{{"type", "stream_subscribe"}, {"windowId", 0}}, "error", 5s);
        ASSERT_TRUE(next);
        ASSERT_EQ((*next)["code"], 1001);
        ASSERT_LT(++guard, 300);
        // The error consumed one id; stop when the next one is ours.
        if (guard >= 255) break;
    }
    auto again = subscribe(other.windowId());
    ASSERT_TRUE(again);
    EXPECT_EQ((*again)["streamId"], streamId);
    ASSERT_TRUE(nextOf(video, streamId, 10s));
}

}  // namespace
}  // namespace qhtest

namespace qhtest {
namespace {

// With stream 1 running, 300 further starts (each stopped again) wrap the id
// counter, and none of them is given id 1 while it runs.
TEST_F(E2e, ARunningStreamIdIsNeverHandedOutAgain) {
    TestWindowProcess window("E2E keeps id");
    TestWindowProcess small("E2E churn", 64, 64);
    ASSERT_TRUE(small.ok());
    const auto opened = openStream(window);
    ASSERT_TRUE(opened);
    ASSERT_EQ(*opened, 1);
    ASSERT_TRUE(findWindow(small.windowId()));
    int wrapped = 0;
    std::uint8_t previous = 1;
    for (int i = 0; i < 300; ++i) {
        auto started = subscribe(small.windowId());
        ASSERT_TRUE(started) << "request " << i;
        const auto id = (*started)["streamId"].get<std::uint8_t>();
        ASSERT_NE(id, 1) << "request " << i;
        if (id < previous) ++wrapped;
        previous = id;
        ASSERT_TRUE(client.request(json{{"type", "stream_unsubscribe"}, {"streamId", id}}, "stream_stopped"));
    }
    EXPECT_GE(wrapped, 1);
    // Stream 1 still delivers.
    video->clear();
    EXPECT_TRUE(nextOf(*video, 1, 5s));
    EXPECT_TRUE(quillane::host::test::signalingAlive(host.ports().signaling));
}

}  // namespace
}  // namespace qhtest
