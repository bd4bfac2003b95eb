#include "app/Settings.h"
#include "encode/EncoderBase.h"

#include "platform/Paths.h"
#include "TestSupport.h"

#include "LogCapture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <functional>
#include <regex>

namespace quillane::host::test {

using spdlog::level::level_enum;

namespace {

const std::string kDefaultsText =
    "{\n"
    "    \"audioPort\": 9945,\n"
    "    \"autoCheckUpdates\": true,\n"
    "    \"dismissedVersion\": \"\",\n"
    "    \"fullRangeColor\": false,\n"
    "    \"inputPort\": 9946,\n"
    "    \"lastUpdateCheck\": 0,\n"
    "    \"maxBitrate\": 50000,\n"
    "    \"preferredEncoder\": \"nvenc\",\n"
    "    \"sharpeningEnabled\": false,\n"
    "    \"sharpness\": 0.699999988079071,\n"
    "    \"signalingPort\": 9876,\n"
    "    \"targetBitrate\": 20000,\n"
    "    \"targetFps\": 72,\n"
    "    \"videoPort\": 9944,\n"
    "    \"vsyncEnabled\": false\n"
    "}";

std::string onDisk(std::string text) {
    if (!isWindows()) return text;
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

std::vector<std::filesystem::path> filesIn(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

bool logged(const LogCapture& log, level_enum level, const std::string& part) {
    const auto lines = log.matching(part);
    return std::any_of(lines.begin(), lines.end(), [&](const LogEntry& e) { return e.level == level; });
}

class SettingsTest : public ::testing::Test {
protected:
    TempFolder temp;
    std::filesystem::path file = temp.path() / "Quillane" / "settings.json";
    LogCapture log;

    bool loadText(Settings& settings, const std::string& text) {
        std::filesystem::create_directories(file.parent_path());
        writeFile(file, text);
        return settings.load();
    }
};

}  // namespace

TEST_F(SettingsTest, SavingTheDefaultsWritesTheExactFile) {
    Settings settings(file);
    ASSERT_TRUE(settings.save());
    EXPECT_EQ(readFile(file), onDisk(kDefaultsText));
    EXPECT_TRUE(logged(log, level_enum::info, "Settings saved to " + pathToUtf8(file)));
    EXPECT_EQ(filesIn(file.parent_path()), std::vector<std::filesystem::path>{file});
}

// Under a non-ASCII folder, with every value away from its default.
TEST_F(SettingsTest, NonDefaultValuesSurviveASaveAndLoad) {
    const auto path = temp.path() / pathFromUtf8("Zo\xC3\xAB-\xE6\x97\xA5\xE6\x9C\xAC") / "settings.json";
    Settings settings(path);
    // In member order: ports, bitrates, fps, encoder, sharpening, vsync, colour range, update check.
    const SettingsValues v{1,     65535, 20000, 20001, 4294966, 4294967, 240, "amf", true, 0.25f, true,
                           true,  false, -5,    "2.0.0-\xC3\x9F\xE6\x97\xA5"};
    settings.setValues(v);
    ASSERT_TRUE(settings.save());
    EXPECT_EQ(settings.getSettingsPath(), pathToUtf8(path));
    // Non-ASCII text is written as UTF-8, not escaped.
    EXPECT_NE(readFile(path).find("\"dismissedVersion\": \"2.0.0-\xC3\x9F\xE6\x97\xA5\""), std::string::npos);
    Settings reloaded(pathFromUtf8(settings.getSettingsPath()));
    ASSERT_TRUE(reloaded.load());
    EXPECT_EQ(reloaded.values(), v);

    // Invalid UTF-8 is replaced, so that saving still works.
    settings.update([](SettingsValues& s) { s.dismissedVersion = "1.0\xFF"; });
    ASSERT_TRUE(settings.save());
    ASSERT_TRUE(reloaded.load());
    EXPECT_EQ(reloaded.values().dismissedVersion, "1.0\xEF\xBF\xBD");
}

TEST_F(SettingsTest, MissingFileFailsSilentlyAndCreatesTheFolder) {
    Settings settings(file);
    EXPECT_FALSE(settings.load());
    EXPECT_TRUE(std::filesystem::is_directory(file.parent_path()));
    EXPECT_EQ(settings.values(), SettingsValues{});
    for (const auto& e : log.entries()) EXPECT_LT(e.level, level_enum::err) << e.text;
}

// Each file is loaded over the same non-default values; a load that succeeds
// must also save a file that loads back the same.
TEST_F(SettingsTest, LoadAcceptsRefusesAndRepairsFileContent) {
    struct Case {
        std::string text;
        bool loads;
        std::function<void(SettingsValues&)> change;  // what the load changes
        level_enum level;
        std::vector<std::string> lines;  // logged at `level`
    };
    auto none = [](SettingsValues&) {};
    const Case cases[] = {
        {"{}", true, none, level_enum::info, {"Settings loaded from "}},
        // Missing keys keep their current values.
        {R"({"videoPort": 1234})", true, [](SettingsValues& v) { v.videoPort = 1234; }, level_enum::info, {}},
        // "audioPort" sorts before "targetFps": it must not stay half-loaded.
        {R"({"audioPort": 1111, "targetFps": "72"})", false, none, level_enum::err,
         {"Failed to load settings: \"targetFps\": ", "type must be number, but is string"}},
        {R"({"sharpeningEnabled": 1})", false, none, level_enum::err, {"type must be boolean, but is number"}},
        {R"({"dismissedVersion": 3})", false, none, level_enum::err, {"type must be string, but is number"}},
        {R"({"targetFps": true, "sharpness": false})", true,
         [](SettingsValues& v) { v.targetFps = 1, v.sharpness = 0.0f; }, level_enum::info, {}},
        {R"({"sharpness": 2.5})", true, [](SettingsValues& v) { v.sharpness = 2.5f; }, level_enum::info, {}},
        // Beyond float: refused rather than saved as null.
        {R"({"sharpness": 1e300})", true, none, level_enum::warn, {"\"sharpness\""}},
        // Unknown keys are ignored, and the save drops them.
        {R"({"futureOption": [1, 2], "targetFps": 60})", true, [](SettingsValues& v) { v.targetFps = 60; },
         level_enum::info, {}},
        {R"([{"videoPort": 1234}])", false, none, level_enum::err,
         {"Failed to load settings: the top level is an array"}},
        {"{\"videoPort\": 1234,", false, none, level_enum::err, {"Failed to load settings: [json.exception.parse_error"}},
        {"// note\n{}", false, none, level_enum::err, {"Failed to load settings: "}},
        // Refused numbers return to the default, not to the value before; the rest loads.
        {R"({"signalingPort": 70000, "videoPort": 0, "audioPort": -1, "inputPort": 65535, "targetFps": 241,
             "targetBitrate": 0, "maxBitrate": 4294967296, "sharpness": 0.5})",
         true,
         [](SettingsValues& v) {
             const SettingsValues d;
             v.signalingPort = d.signalingPort, v.videoPort = d.videoPort, v.targetFps = d.targetFps;
             v.inputPort = 65535, v.sharpness = 0.5f;
         },
         level_enum::warn,
         {"\"signalingPort\" = 70000", "\"videoPort\" = 0", "\"audioPort\" = -1", "\"targetFps\" = 241",
          "\"targetBitrate\" = 0", "\"maxBitrate\" = 4294967296"}},
        // Range edges load; fractions are cut off.
        {R"({"signalingPort": 1, "videoPort": 9000.9, "targetFps": 240, "targetBitrate": 1,
             "lastUpdateCheck": 1700000000.5})",
         true,
         [](SettingsValues& v) {
             v.signalingPort = 1, v.videoPort = 9000, v.targetFps = 240, v.targetBitrate = 1;
             v.lastUpdateCheck = 1700000000;
         },
         level_enum::info, {}},
        // Bitrates above what the encoders take (4294967 kbit/s) keep their defaults.
        {R"({"targetBitrate": 4294968, "maxBitrate": 4294967295})", true, none, level_enum::warn,
         {"\"targetBitrate\" = 4294968 is out of range (1 to 4294967); keeping the default 20000",
          "\"maxBitrate\" = 4294967295 is out of range (1 to 4294967); keeping the default 50000"}},
        {R"({"targetBitrate": 30000, "maxBitrate": 25000})", true, [](SettingsValues& v) { v.targetBitrate = 30000; },
         level_enum::warn, {"\"maxBitrate\" = 25000"}},
        // Even the default ceiling is below this target: the ceiling becomes the target.
        {R"({"targetBitrate": 80000, "maxBitrate": 60000})", true,
         [](SettingsValues& v) { v.targetBitrate = 80000, v.maxBitrate = 80000; }, level_enum::warn,
         {"\"maxBitrate\" = 60000"}},
    };
    SettingsValues before;
    before.signalingPort = 1000;
    before.videoPort = 5000;
    before.targetFps = 90;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        LogCapture caseLog;
        Settings settings(file);
        settings.setValues(before);
        EXPECT_EQ(loadText(settings, c.text), c.loads);
        SettingsValues expected = before;
        c.change(expected);
        EXPECT_EQ(settings.values(), expected);
        for (const auto& line : c.lines) EXPECT_TRUE(logged(caseLog, c.level, line)) << line;
        for (const auto& e : caseLog.entries()) {
            EXPECT_TRUE(e.level < (c.loads ? level_enum::err : level_enum::off)) << e.text;
            EXPECT_TRUE(c.level != level_enum::info || e.level < level_enum::warn) << e.text;
        }
        if (!c.loads) continue;
        ASSERT_TRUE(settings.save());
        const auto saved = nlohmann::json::parse(readFile(file));
        EXPECT_EQ(saved.size(), 15u);
        Settings reloaded(file);
        ASSERT_TRUE(reloaded.load());
        EXPECT_EQ(reloaded.values(), expected);
    }
}

TEST_F(SettingsTest, AFileThatFailedToLoadIsKeptBeforeASaveReplacesIt) {
    const std::string broken = R"({"targetFps": "fast"})";
    Settings settings(file);
    EXPECT_FALSE(loadText(settings, broken));
    EXPECT_FALSE(std::filesystem::exists(file));
    auto files = filesIn(file.parent_path());
    ASSERT_EQ(files.size(), 1u);
    const std::string keptName = files[0].filename().string();
    EXPECT_TRUE(std::regex_match(keptName, std::regex(R"(settings\.json\.bad-\d{8}-\d{6})"))) << keptName;
    EXPECT_EQ(readFile(files[0]), broken);
    EXPECT_TRUE(logged(log, level_enum::warn, keptName));

    settings.resetToDefaults();
    ASSERT_TRUE(settings.save());
    EXPECT_EQ(readFile(files[0]), broken);
    EXPECT_EQ(readFile(file), onDisk(kDefaultsText));

    // A second bad file in the same second does not overwrite the first copy.
    EXPECT_FALSE(loadText(settings, "[]"));
    EXPECT_EQ(readFile(files[0]), broken);
    EXPECT_EQ(filesIn(file.parent_path()).size(), 2u);
}

TEST_F(SettingsTest, SaveFailureIsReportedAndKeepsTheValues) {
    writeFile(temp.path() / "Quillane", "not a folder");  // where the folder should be
    Settings settings(file);
    settings.update([](SettingsValues& v) { v.targetFps = 50; });
    EXPECT_FALSE(settings.save());
    EXPECT_TRUE(logged(log, level_enum::err, "Failed to save settings: "));
    EXPECT_EQ(settings.values().targetFps, 50u);
    EXPECT_FALSE(settings.load());
    EXPECT_TRUE(logged(log, level_enum::err, "Failed to load settings: "));
}

TEST_F(SettingsTest, DefaultFileIsSettingsJsonInTheConfigFolder) {
    // Linux reads the folder from XDG_CONFIG_HOME; Windows asks the shell and ignores it.
    const auto previous = environment("XDG_CONFIG_HOME");
    setEnvironment("XDG_CONFIG_HOME", pathToUtf8(temp.path()));
    Settings settings;
    const auto folder = appConfigFolder();
    EXPECT_EQ(folder.filename(), "Quillane");
    EXPECT_EQ(settings.getSettingsPath(), pathToUtf8(folder / "settings.json"));
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    if (!isWindows()) {
        EXPECT_EQ(folder, temp.path() / "Quillane");
    }
    if (previous) setEnvironment("XDG_CONFIG_HOME", *previous);
    else unsetEnvironment("XDG_CONFIG_HOME");
}

// The encoders and the capture start from the values the settings file starts from.
TEST(SettingsDefaults, AnEncoderConfiguredWithNothingElseRunsAtTheSettingsFilesDefaults) {
    const EncoderConfig encoder;
    const SettingsValues file;
    EXPECT_EQ(encoder.bitrateKbps, file.targetBitrate);
    EXPECT_EQ(encoder.maxBitrateKbps, file.maxBitrate);
    EXPECT_EQ(encoder.fps, file.targetFps);
}

}  // namespace quillane::host::test
