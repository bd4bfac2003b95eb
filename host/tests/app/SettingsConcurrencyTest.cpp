#include "app/Settings.h"

#include "TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <spdlog/spdlog.h>

#include <atomic>
#include <thread>


namespace quillane::host::test {

// The main and update-check threads change and save the same settings: no save
// may write a half-made change, and no two saves may tear the file.
TEST(SettingsConcurrency, ChangesAndSavesFromSeveralThreadsStayWhole) {
    spdlog::set_level(spdlog::level::off);
    TempFolder temp;
    const auto file = temp.path() / "settings.json";
    Settings settings(file);
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};

    // Every change keeps maxBitrate == targetBitrate + 1000.
    auto writer = [&](std::uint32_t base) {
        for (std::uint32_t i = 0; i < 200; ++i) {
            settings.updateAndSave([&](SettingsValues& v) {
                v.targetBitrate = base + i;
                v.maxBitrate = base + i + 1000;
            });
        }
    };
    auto stamper = [&] {
        for (int i = 0; i < 200; ++i) {
            settings.update([&](SettingsValues& v) { v.lastUpdateCheck = i; });
            settings.save();
        }
    };
    std::thread reader([&] {
        while (!stop) {
            const SettingsValues v = settings.values();
            if (v.maxBitrate != v.targetBitrate + 1000 && v.targetBitrate != SettingsValues{}.targetBitrate) ++torn;
        }
    });
    std::thread a(writer, 10000), b(writer, 30000), c(stamper);
    a.join();
    b.join();
    c.join();
    stop = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);

    const auto saved = nlohmann::json::parse(readFile(file));
    EXPECT_EQ(saved["maxBitrate"].get<std::uint32_t>(), saved["targetBitrate"].get<std::uint32_t>() + 1000);
    const SettingsValues last = settings.values();
    EXPECT_EQ(saved["targetBitrate"], last.targetBitrate);
    EXPECT_EQ(saved["lastUpdateCheck"], last.lastUpdateCheck);
    // No temporary file is left behind.
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(temp.path())) ++files;
    EXPECT_EQ(files, 1u);
}

}  // namespace quillane::host::test
