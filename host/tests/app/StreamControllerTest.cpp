// The stream controller's own rules, driven directly: the cap on running
// streams, which windows may stream, and the clients' resizes.

#include <fmt/format.h>

#include "LogCapture.h"
#include "StreamComponents.h"

namespace quillane::host::test {
namespace {

// Sixteen streams run at most; a start under a running id is refused and
// never replaces its stream. Only listed windows stream.
TEST_F(StreamComponents, AtMostSixteenStreamsRunAndARunningIdIsNotStartedAgain) {
    LogCapture log;
    for (std::uint8_t id = 0; id < 16; ++id) ASSERT_TRUE(streams.start(kWindowId, id, StreamOrigin::HostWindow));
    EXPECT_FALSE(streams.start(kWindowId, 16, StreamOrigin::Client));
    EXPECT_EQ(log.count("Refusing stream for window 2a0001: 16 streams already running"), 1u);
    EXPECT_FALSE(streams.isRunning(16));
    EXPECT_FALSE(streams.start(kWindowId, 5, StreamOrigin::Client));
    EXPECT_EQ(log.count("Refusing stream for window 2a0001: stream 5 is already running"), 1u);
    EXPECT_EQ(captures->running, 16);

    EXPECT_FALSE(streams.start(0x7fffffff, 5, StreamOrigin::HostWindow));
    EXPECT_TRUE(log.contains("Window 7fffffff is not a capturable window"));
    EXPECT_TRUE(streams.isRunning(5)) << "a refused start leaves the running stream alone";

    streams.stopForClient(5);
    EXPECT_TRUE(streams.start(kWindowId, 16, StreamOrigin::HostWindow));
    EXPECT_EQ(captures->running, 16);
}

// Starts refused, failed or thrown out of, a few hundred of them on ids from the one counter,
// give back every id and client entry and leave no capture running (also when the throw comes
// after the capture started): all 256 ids can be reserved afterwards, and a start then runs.
TEST_F(StreamComponents, StartsThatFailOrThrowGiveTheirIdsBack) {
    LogCapture log;
    for (int i = 0; i < 300; ++i) {
        const auto id = streams.reserveStreamId();
        ASSERT_TRUE(id) << "start " << i;
        if (i % 4 == 0) {
            EXPECT_FALSE(streams.start(0x7fffffff, *id, StreamOrigin::Client));
        } else if (i % 4 == 1) {
            *encoderFault = EncoderFault::Fails;
            EXPECT_FALSE(streams.start(kWindowId, *id, StreamOrigin::Client));
        } else if (i % 4 == 2) {
            *encoderFault = EncoderFault::Throws;
            EXPECT_THROW(streams.start(kWindowId, *id, StreamOrigin::Client), std::runtime_error);
        } else {
            *encoderFault = EncoderFault::None;
            boostThrows = true;
            EXPECT_THROW(streams.start(kWindowId, *id, StreamOrigin::Client), std::runtime_error);
            boostThrows = false;
        }
        ASSERT_FALSE(streams.isRunning(*id));
        ASSERT_EQ(captures->running, 0) << "start " << i;
    }
    std::vector<std::uint8_t> reserved;
    while (const auto id = streams.reserveStreamId()) reserved.push_back(*id);
    EXPECT_EQ(reserved.size(), 256u);
    for (const std::uint8_t id : reserved) streams.releaseStreamId(id);

    *encoderFault = EncoderFault::None;
    const auto id = streams.reserveStreamId();
    ASSERT_TRUE(id);
    EXPECT_TRUE(streams.start(kWindowId, *id, StreamOrigin::Client));
    int clientStreams = 0;
    streams.forEachClientStream([&](std::uint8_t, std::uint32_t) { ++clientStreams; });
    EXPECT_EQ(clientStreams, 1);
    EXPECT_EQ(captures->running, 1);
}

// A resize reaches the desktop only for a listed window that still exists, at a
// size H.264 can carry, and while all captures of the window together stay
// within twice the largest picture.
TEST_F(StreamComponents, ClientResizesReachTheDesktopOnlyWithinTheWindowsAndPixelsAllowed) {
    LogCapture log;
    EXPECT_FALSE(streams.resizeWindow(0x7fffffff, 800, 600));
    EXPECT_TRUE(log.contains("Invalid window ID for resize: 7fffffff"));
    desktop->existing = 0;
    EXPECT_FALSE(streams.resizeWindow(kWindowId, 800, 600));
    EXPECT_TRUE(log.contains("Invalid window ID for resize: 2a0001"));
    desktop->existing = kWindowId;
    EXPECT_FALSE(streams.resizeWindow(kWindowId, 16385, 600));
    EXPECT_TRUE(log.contains("Failed to resize window 2a0001 to 16385x600: not a size H.264 can carry"));
    EXPECT_TRUE(desktop->positions.empty());

    ASSERT_TRUE(streams.start(kWindowId, 1, StreamOrigin::Client));
    ASSERT_TRUE(streams.start(kWindowId, 2, StreamOrigin::Client));
    EXPECT_TRUE(streams.resizeWindow(kWindowId, 8192, 4352));
    EXPECT_TRUE(log.contains("Window 2a0001 resized successfully to 8192x4352"));
    ASSERT_EQ(desktop->positions.size(), 1u);
    EXPECT_EQ(desktop->positions[0].window, kWindowId);

    ASSERT_TRUE(streams.start(kWindowId, 3, StreamOrigin::Client));
    EXPECT_FALSE(streams.resizeWindow(kWindowId, 8192, 4352));
    EXPECT_FALSE(streams.resizeWindow(kWindowId, 8192, 2912));
    EXPECT_EQ(log.count("Refusing resize of window 2a0001 to 8192x4352"), 1u);
    EXPECT_EQ(desktop->positions.size(), 1u);
    EXPECT_TRUE(streams.resizeWindow(kWindowId, 8192, 2896));
    EXPECT_EQ(desktop->positions.size(), 2u);

    // The desktop's failure is the request's failure.
    desktop->setPosError = 1400;
    EXPECT_FALSE(streams.resizeWindow(kWindowId, 640, 480));
    EXPECT_TRUE(log.contains("Failed to resize window 2a0001 to 640x480"));
}

}  // namespace
}  // namespace quillane::host::test
