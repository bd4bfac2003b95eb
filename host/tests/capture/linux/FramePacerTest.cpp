#include <gtest/gtest.h>

#include "LogCapture.h"
#include "capture/CaptureDevice.h"
#include "capture/FramePacer.h"

#include <cstdlib>
#include <string>

using namespace quillane::host;

// Xvfb's single output lists a mode without timings: the rate stays 60.0.
TEST(FramePacer, ReadsTheFirstConnectedOutputOrKeeps60Hz) {
    test::LogCapture log;
    CaptureDevice device;
    ASSERT_TRUE(device.initialize());
    FramePacer pacer;
    EXPECT_TRUE(pacer.initialize(device.device()));
    EXPECT_TRUE(pacer.isVSyncAvailable());
    EXPECT_FLOAT_EQ(pacer.getRefreshRate(), 60.0f);
    EXPECT_TRUE(log.contains("FramePacer: VSync synchronization available (refresh rate: 60.0Hz)"));
    EXPECT_TRUE(pacer.vsyncEnabled.load());

    FramePacer noDevice;
    EXPECT_FALSE(noDevice.initialize(nullptr));
    EXPECT_TRUE(log.contains("FramePacer: No device provided"));
    EXPECT_FLOAT_EQ(noDevice.getRefreshRate(), 60.0f);

    const std::string display = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
    setenv("DISPLAY", ":9999", 1);  // no server there
    FramePacer noDisplay;
    EXPECT_FALSE(noDisplay.initialize(device.device()));
    setenv("DISPLAY", display.c_str(), 1);
    EXPECT_FALSE(noDisplay.isVSyncAvailable());
    EXPECT_FLOAT_EQ(noDisplay.getRefreshRate(), 60.0f);
    EXPECT_TRUE(log.contains("FramePacer: VSync not available, using timer-based pacing"));
}
