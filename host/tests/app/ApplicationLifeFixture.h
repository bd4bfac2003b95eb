#pragma once

// The Application's life with its real components in the test's process: a
// home of the test's own (Windows: the settings folder of the test's Wine
// prefix, emptied again afterwards) and a recorded priority boost.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "ApplicationTestSupport.h"
#include "LogCapture.h"
#include "app/Application.h"
#include "input/InputPlatform.h"
#include "platform/Paths.h"
#include "TestSupport.h"

namespace quillane::host::test {

// The warnings and errors logged so far, to say why a start failed.
inline std::string problems(const LogCapture& log) {
    std::string out;
    for (const auto& e : log.entries())
        if (e.level >= spdlog::level::warn) out += e.text + "\n";
    return out;
}

class ApplicationLife : public ::testing::Test {
protected:
    struct Ports {
        std::uint16_t signaling = 0, video = 0, audio = 0, input = 0;
    };

    void SetUp() override {
        const std::string home = temp.path().string();
        setEnvironment("HOME", home);
        setEnvironment("XDG_CONFIG_HOME", home + "/config");
        setEnvironment("XDG_STATE_HOME", home + "/state");
        settingsFolder = appConfigFolder();
        std::error_code ec;
        std::filesystem::remove(settingsFolder / "settings.json", ec);
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove(settingsFolder / "settings.json", ec);
    }

    // A settings file with four different free ports.
    void writeFreePorts() {
        const auto free = writeFreePortSettings(settingsFolder);
        ports = {free[0], free[1], free[2], free[3]};
    }

    std::unique_ptr<Application> makeApp(std::shared_ptr<InputPlatform> input = nullptr) {
        auto priority = std::make_unique<RecordingPriority>(priorityLog);
        return input ? std::make_unique<Application>(std::move(priority), std::move(input))
                     : std::make_unique<Application>(std::move(priority));
    }

    TempFolder temp;
    std::filesystem::path settingsFolder;
    Ports ports;
    std::shared_ptr<RecordingPriority::Log> priorityLog = std::make_shared<RecordingPriority::Log>();
    LogCapture log;
};

}  // namespace quillane::host::test
