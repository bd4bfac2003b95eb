#include <gtest/gtest.h>

#include "capture/CaptureDevice.h"
#include "capture/FramePacer.h"

#include <spdlog/sinks/ringbuffer_sink.h>
#include <spdlog/spdlog.h>

#include <cstdlib>
#include <string>

using namespace quillane::host;

namespace {

class LogLines {
public:
    LogLines() : sink(std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(64)), previous(spdlog::default_logger()) {
        auto logger = std::make_shared<spdlog::logger>("test", sink);
        logger->set_pattern("%v");
        spdlog::set_default_logger(logger);
    }
    ~LogLines() { spdlog::set_default_logger(previous); }
    bool has(const std::string& text) const {
        for (const auto& line : sink->last_formatted())
            if (line.find(text) != std::string::npos) return true;
        return false;
    }

private:
    std::shared_ptr<spdlog::sinks::ringbuffer_sink_mt> sink;
    std::shared_ptr<spdlog::logger> previous;
};

}  // namespace

// Xvfb's single output lists a mode without timings: the rate stays 60.0.
TEST(FramePacer, ReadsTheFirstConnectedOutputOfTheDesktop) {
    LogLines log;
    CaptureDevice device;
    ASSERT_TRUE(device.initialize());
    FramePacer pacer;
    EXPECT_TRUE(pacer.initialize(device.device()));
    EXPECT_TRUE(pacer.isVSyncAvailable());
    EXPECT_FLOAT_EQ(pacer.getRefreshRate(), 60.0f);
    EXPECT_TRUE(log.has("FramePacer: VSync synchronization available (refresh rate: 60.0Hz)"));
    EXPECT_TRUE(pacer.vsyncEnabled.load());
}

TEST(FramePacer, NoDeviceOrNoDisplayKeeps60Hz) {
    LogLines log;
    FramePacer noDevice;
    EXPECT_FALSE(noDevice.initialize(nullptr));
    EXPECT_TRUE(log.has("FramePacer: No device provided"));
    EXPECT_FLOAT_EQ(noDevice.getRefreshRate(), 60.0f);

    const std::string display = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
    setenv("DISPLAY", ":9999", 1);  // no server there
    CaptureDevice device;
    ASSERT_TRUE(device.initialize());
    FramePacer pacer;
    EXPECT_FALSE(pacer.initialize(device.device()));
    EXPECT_FALSE(pacer.isVSyncAvailable());
    EXPECT_FLOAT_EQ(pacer.getRefreshRate(), 60.0f);
    EXPECT_TRUE(log.has("FramePacer: VSync not available, using timer-based pacing"));
    setenv("DISPLAY", display.c_str(), 1);
}
