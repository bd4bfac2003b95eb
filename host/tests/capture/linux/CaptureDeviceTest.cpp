#include <gtest/gtest.h>

#include "capture/CASProcessor.h"
#include "capture/linux/CpuCaptureDevice.h"
#include "capture/linux/FrameBuffer.h"
#include "capture/linux/ModeRate.h"
#include "capture/linux/XRandrFramePacer.h"
#include "LogCapture.h"

#include <cstdlib>
#include <string>
#include <vector>


namespace quillane::host::test {

namespace {

struct Source {
    std::vector<std::uint8_t> bytes;
    BgraFrame frame;
    Source(std::uint32_t w, std::uint32_t h) : bytes(std::size_t(w) * h * 4) {
        for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 13 + (i >> 7));
        frame = {bytes.data(), w * 4, w, h};
    }
};

void expectOpaqueBlack(const std::uint8_t* pixels, std::size_t count) {
    for (std::size_t i = 0; i < count * 4; ++i) ASSERT_EQ(pixels[i], (i % 4 == 3) ? 255 : 0) << "byte " << i;
}

}  // namespace

// What a successful pass writes is checked through the orchestrator's sharpening test.
TEST(CASProcessor, RefusesBadArgumentsWithoutWriting) {
    CpuCaptureDevice device;
    ASSERT_TRUE(device.initialize());
    Source src(100, 30);
    auto target = device.createFrameBuffer(&src.frame, 112, 32);
    ASSERT_TRUE(target);

    auto fresh = createCASProcessor();
    fresh->enabled = true;
    EXPECT_FALSE(fresh->apply(device.context(), &src.frame, target.get(), 100, 30)) << "not initialised";
    EXPECT_FALSE(fresh->initialize(nullptr));
    auto cas = createCASProcessor();
    ASSERT_TRUE(cas->initialize(device.device()));
    EXPECT_FALSE(cas->apply(device.context(), &src.frame, target.get(), 100, 30)) << "not enabled";
    cas->enabled = true;
    EXPECT_FALSE(cas->apply(nullptr, &src.frame, target.get(), 100, 30));
    EXPECT_FALSE(cas->apply(device.context(), nullptr, target.get(), 100, 30));
    EXPECT_FALSE(cas->apply(device.context(), &src.frame, nullptr, 100, 30));
    EXPECT_FALSE(cas->apply(device.context(), &src.frame, target.get(), 101, 30)) << "wider than the source";
    auto small = device.createFrameBuffer(&src.frame, 96, 32);
    EXPECT_FALSE(cas->apply(device.context(), &src.frame, small.get(), 100, 30)) << "target too small";
    expectOpaqueBlack(target->data(), 112 * 32);
    EXPECT_TRUE(cas->apply(device.context(), &src.frame, target.get(), 100, 30));
}

// Padding in place, its black border and clearing are checked through the orchestrator.
TEST(CaptureDevice, RefusesEmptyBuffersAndNeverShowsMoreRowsThanTheSourceHas) {
    CpuCaptureDevice device;
    ASSERT_TRUE(device.initialize());
    EXPECT_FALSE(device.gpuName().empty());
    Source src(20, 10);
    EXPECT_EQ(device.createFrameBuffer(&src.frame, 0, 16), nullptr);
    auto buffer = device.createFrameBuffer(&src.frame, 32, 16);
    ASSERT_TRUE(buffer);
    expectOpaqueBlack(buffer->data(), 32 * 16);
    device.copyRegion(&src.frame, *buffer, 18, 12);
    const BgraFrame* shown = CaptureDevice::frameInput(*buffer);
    EXPECT_EQ(shown->data, src.frame.data);
    EXPECT_EQ(shown->rowPitch, src.frame.rowPitch);
    EXPECT_EQ(shown->width, 32u);
    EXPECT_EQ(shown->storedWidth(), 18u);
    EXPECT_EQ(shown->storedHeight(), 10u);
}

// Xvfb's single output lists a mode without timings, so its rate is not known
// there; what the timings of real modes give is checked below.
TEST(FramePacer, FindsTheFirstConnectedOutput) {
    test::LogCapture log;
    CpuCaptureDevice device;
    ASSERT_TRUE(device.initialize());
    XRandrFramePacer pacer;
    EXPECT_TRUE(pacer.initialize(device.device()));
    EXPECT_TRUE(pacer.isVSyncAvailable());
    EXPECT_TRUE(log.contains("FramePacer: VSync synchronization available (refresh rate: "));

    XRandrFramePacer noDevice;
    EXPECT_FALSE(noDevice.initialize(nullptr));
    EXPECT_TRUE(log.contains("FramePacer: No device provided"));

    const std::string display = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
    setenv("DISPLAY", ":9999", 1);  // no server there
    XRandrFramePacer noDisplay;
    EXPECT_FALSE(noDisplay.initialize(device.device()));
    setenv("DISPLAY", display.c_str(), 1);
    EXPECT_FALSE(noDisplay.isVSyncAvailable());
    EXPECT_TRUE(log.contains("FramePacer: VSync not available, using timer-based pacing"));
}

TEST(FramePacer, ModeRatesFollowFromTheirTimings) {
    XRRModeInfo mode{};
    mode.dotClock = 148'500'000;  // 1920 x 1080 at 60 Hz
    mode.hTotal = 2200;
    mode.vTotal = 1125;
    EXPECT_DOUBLE_EQ(modeRefreshRate(mode), 60.0);
    mode.dotClock = 74'250'000;  // the same lines interlaced: two fields per frame
    mode.modeFlags = RR_Interlace;
    EXPECT_DOUBLE_EQ(modeRefreshRate(mode), 60.0);
    mode.dotClock = 148'500'000;  // every line scanned twice
    mode.modeFlags = RR_DoubleScan;
    EXPECT_DOUBLE_EQ(modeRefreshRate(mode), 30.0);
    mode.modeFlags = 0;
    mode.dotClock = 0;  // Xvfb's modes
    EXPECT_DOUBLE_EQ(modeRefreshRate(mode), 0.0);
}

}  // namespace quillane::host::test
