// The bitrate controller driven directly: the window's settings within the
// file's range, and one fan-out of every change to the client streams' encoders.

#include <thread>

#include "LogCapture.h"
#include "StreamComponents.h"
#include "app/BitrateController.h"
#include "app/Settings.h"
#include "network/TransportTypes.h"

namespace quillane::host::test {
namespace {

using Bitrate = EncoderLog::Bitrate;

class BitrateComponents : public StreamComponents {
protected:
    BitrateController bitrate{orchestrator, streams};
    Settings settings;
};

// New settings reach the encoders of the client streams at once and the
// encoders created later; a host-window stream keeps its own.
TEST_F(BitrateComponents, NewSettingsReachTheClientStreamsAndLaterEncoders) {
    ASSERT_TRUE(streams.start(kWindowId, 1, StreamOrigin::Client));       // encoder 0
    ASSERT_TRUE(streams.start(kWindowId, 200, StreamOrigin::HostWindow));  // encoder 1
    ASSERT_TRUE(bitrate.applySettings(settings, 30000, 60000, 90));
    EXPECT_EQ(encoders->bitrates(), (std::vector<Bitrate>{{0, 30000, 60000}}));
    EXPECT_EQ(settings.values().targetBitrate, 30000u);
    EXPECT_EQ(settings.values().maxBitrate, 60000u);
    EXPECT_EQ(settings.values().targetFps, 90u);
    EXPECT_EQ(bitrate.targetBitrateKbps(), 30000u);
    EXPECT_EQ(bitrate.targetFps(), 90u);
    EXPECT_EQ(bitrate.currentBitrateKbps(), 30000u);

    ASSERT_TRUE(streams.start(kWindowId, 2, StreamOrigin::Client));  // encoder 2
    const auto created = encoders->createdWith();
    ASSERT_EQ(created.size(), 3u);
    EXPECT_EQ(created[2].bitrateKbps, 30000u);
    EXPECT_EQ(created[2].maxBitrateKbps, 60000u);
    EXPECT_EQ(created[2].fps, 90u);
}

TEST_F(BitrateComponents, SettingsOutsideTheFilesRangeAreRefusedAndChangeNothing) {
    LogCapture log;
    ASSERT_TRUE(streams.start(kWindowId, 1, StreamOrigin::Client));
    bitrate.setTargets(20000, 60);
    const SettingsValues before = settings.values();
    EXPECT_FALSE(bitrate.applySettings(settings, 20000, 50000, 0));
    EXPECT_FALSE(bitrate.applySettings(settings, 0, 50000, 60));
    EXPECT_EQ(log.count("Refusing settings"), 2u);
    EXPECT_EQ(settings.values(), before);
    EXPECT_TRUE(encoders->bitrates().empty());
    EXPECT_EQ(bitrate.targetBitrateKbps(), 20000u);
}

// Congestion lowers the client streams' bitrate by a fifth, with one warning;
// the host window's stream is left alone.
TEST_F(BitrateComponents, CongestionLowersTheClientStreamsOnly) {
    LogCapture log;
    bitrate.setTargets(20000, 60);
    ASSERT_TRUE(streams.start(kWindowId, 1, StreamOrigin::HostWindow));  // encoder 0
    ASSERT_TRUE(streams.start(kWindowId, 7, StreamOrigin::Client));      // encoder 1
    ClientFeedback feedback;
    feedback.rttMs = 100;
    bitrate.onClientFeedback(feedback);  // sets the clock
    EXPECT_EQ(bitrate.lastRttMs(), 100);
    // Changes come at most once a second.
    std::this_thread::sleep_for(std::chrono::milliseconds(1050));
    bitrate.onClientFeedback(feedback);
    EXPECT_EQ(encoders->bitrates(), (std::vector<Bitrate>{{1, 16000, 24000}}));
    EXPECT_EQ(bitrate.currentBitrateKbps(), 16000u);
    EXPECT_EQ(log.count("Network congestion (RTT=100ms, decode=0ms), reducing bitrate 20000 -> 16000 kbps"), 1u);
}

}  // namespace
}  // namespace quillane::host::test
