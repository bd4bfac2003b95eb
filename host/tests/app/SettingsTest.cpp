#include "app/Settings.h"

#include "platform/Paths.h"
#include "support/TestSupport.h"

#include "LogCapture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <regex>

using namespace quillane::host;
using namespace quillane::host::test;
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

class SettingsTest : public ::testing::Test {
protected:
    TempFolder temp;
    std::filesystem::path file = temp.path() / "Quillane" / "settings.json";
    LogCapture log;

    bool logged(level_enum level, const std::string& part) const {
        const auto lines = log.matching(part);
        return std::any_of(lines.begin(), lines.end(), [&](const LogEntry& e) { return e.level == level; });
    }
    std::size_t loggedAt(level_enum level) const {
        const auto lines = log.entries();
        return static_cast<std::size_t>(
            std::count_if(lines.begin(), lines.end(), [&](const LogEntry& e) { return e.level == level; }));
    }

    // Loads the given file content into fresh settings.
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
    const std::string bytes = readFile(file);
    EXPECT_EQ(bytes, onDisk(kDefaultsText));
    EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\n') + 1, 17);
    EXPECT_NE(bytes.back(), '\n');
    EXPECT_TRUE(logged(level_enum::info, "Settings saved to " + pathToUtf8(file)));
    // Nothing but the file itself is left in the folder.
    EXPECT_EQ(filesIn(file.parent_path()), std::vector<std::filesystem::path>{file});
}

TEST_F(SettingsTest, NonDefaultValuesSurviveASaveAndLoad) {
    Settings settings(file);
    SettingsValues v;
    v.signalingPort = 1;
    v.videoPort = 65535;
    v.audioPort = 20000;
    v.inputPort = 20001;
    v.targetBitrate = 0xFFFFFFFE;
    v.maxBitrate = 0xFFFFFFFF;
    v.targetFps = 240;
    v.preferredEncoder = "amf";
    v.sharpeningEnabled = true;
    v.sharpness = 0.25f;
    v.vsyncEnabled = true;
    v.fullRangeColor = true;
    v.autoCheckUpdates = false;
    v.lastUpdateCheck = -5;
    v.dismissedVersion = "2.0.0-\xC3\x9F\xE6\x97\xA5";  // "ß日" as UTF-8
    settings.setValues(v);
    ASSERT_TRUE(settings.save());
    // Non-ASCII text is written as UTF-8, not escaped.
    EXPECT_NE(readFile(file).find("\"dismissedVersion\": \"2.0.0-\xC3\x9F\xE6\x97\xA5\""), std::string::npos);

    Settings reloaded(file);
    ASSERT_TRUE(reloaded.load());
    EXPECT_EQ(reloaded.values(), v);
}

TEST_F(SettingsTest, MissingFileFailsSilentlyAndCreatesTheFolder) {
    Settings settings(file);
    EXPECT_FALSE(settings.load());
    EXPECT_TRUE(std::filesystem::is_directory(file.parent_path()));
    EXPECT_EQ(settings.values(), SettingsValues{});
    EXPECT_EQ(loggedAt(level_enum::err), 0u);
}

TEST_F(SettingsTest, EmptyObjectKeepsTheDefaults) {
    Settings settings(file);
    EXPECT_TRUE(loadText(settings, "{}"));
    EXPECT_EQ(settings.values(), SettingsValues{});
    EXPECT_TRUE(logged(level_enum::info, "Settings loaded from "));
}

TEST_F(SettingsTest, MissingKeysKeepTheirCurrentValues) {
    Settings settings(file);
    settings.update([](SettingsValues& v) { v.targetFps = 90; });
    EXPECT_TRUE(loadText(settings, R"({"videoPort": 1234})"));
    EXPECT_EQ(settings.values().targetFps, 90u);
    EXPECT_EQ(settings.values().videoPort, 1234);
}

TEST_F(SettingsTest, WrongTypeFailsTheWholeLoadAndChangesNothing) {
    Settings settings(file);
    // "audioPort" sorts before "targetFps": it must not stay half-loaded.
    EXPECT_FALSE(loadText(settings, R"({"audioPort": 1111, "targetFps": "72"})"));
    EXPECT_EQ(settings.values(), SettingsValues{});
    EXPECT_TRUE(logged(level_enum::err, "Failed to load settings: \"targetFps\": "));
    EXPECT_TRUE(logged(level_enum::err, "type must be number, but is string"));
}

TEST_F(SettingsTest, FlagsTakeOnlyBooleansButNumbersTakeBooleans) {
    {
        Settings settings(file);
        EXPECT_FALSE(loadText(settings, R"({"sharpeningEnabled": 1})"));
        EXPECT_TRUE(logged(level_enum::err, "type must be boolean, but is number"));
    }
    {
        Settings settings(file);
        EXPECT_TRUE(loadText(settings, R"({"targetFps": true, "sharpness": false})"));
        EXPECT_EQ(settings.values().targetFps, 1u);
        EXPECT_EQ(settings.values().sharpness, 0.0f);
    }
    {
        Settings settings(file);
        EXPECT_FALSE(loadText(settings, R"({"dismissedVersion": 3})"));
        EXPECT_TRUE(logged(level_enum::err, "type must be string, but is number"));
    }
}

TEST_F(SettingsTest, SharpnessOutsideZeroToOneLoadsUnchanged) {
    Settings settings(file);
    EXPECT_TRUE(loadText(settings, R"({"sharpness": 2.5})"));
    EXPECT_EQ(settings.values().sharpness, 2.5f);
}

TEST_F(SettingsTest, SharpnessBeyondFloatIsRefusedInsteadOfSavedAsNull) {
    Settings settings(file);
    EXPECT_TRUE(loadText(settings, R"({"sharpness": 1e300})"));
    EXPECT_EQ(settings.values().sharpness, 0.7f);
    EXPECT_TRUE(logged(level_enum::warn, "\"sharpness\""));
    ASSERT_TRUE(settings.save());
    Settings again(file);
    EXPECT_TRUE(again.load());
}

TEST_F(SettingsTest, UnknownKeyIsIgnoredAndDroppedByTheNextSave) {
    Settings settings(file);
    EXPECT_TRUE(loadText(settings, R"({"futureOption": [1, 2], "targetFps": 60})"));
    EXPECT_EQ(settings.values().targetFps, 60u);
    ASSERT_TRUE(settings.save());
    const auto saved = nlohmann::json::parse(readFile(file));
    EXPECT_FALSE(saved.contains("futureOption"));
    EXPECT_EQ(saved.size(), 15u);
    EXPECT_EQ(saved["targetFps"], 60);
}

TEST_F(SettingsTest, TopLevelArrayIsAFailedLoad) {
    Settings settings(file);
    settings.update([](SettingsValues& v) { v.videoPort = 5000; });
    EXPECT_FALSE(loadText(settings, R"([{"videoPort": 1234}])"));
    EXPECT_EQ(settings.values().videoPort, 5000);
    EXPECT_TRUE(logged(level_enum::err, "Failed to load settings: the top level is an array"));
}

TEST_F(SettingsTest, NotJsonIsAFailedLoad) {
    Settings settings(file);
    EXPECT_FALSE(loadText(settings, "{\"videoPort\": 1234,"));
    EXPECT_TRUE(logged(level_enum::err, "Failed to load settings: [json.exception.parse_error"));
    // Comments are not JSON.
    Settings other(file);
    EXPECT_FALSE(loadText(other, "// note\n{}"));
}

TEST_F(SettingsTest, OutOfRangeNumbersAreRefusedByKeyWhileTheRestLoads) {
    Settings settings(file);
    settings.update([](SettingsValues& v) {
        v.signalingPort = 1000;  // refused values return to the default, not to this
        v.targetFps = 30;
    });
    EXPECT_TRUE(loadText(settings, R"({
        "signalingPort": 70000, "videoPort": 0, "audioPort": -1, "inputPort": 65535,
        "targetFps": 241, "targetBitrate": 0, "maxBitrate": 4294967296, "sharpness": 0.5})"));
    const SettingsValues v = settings.values();
    const SettingsValues d;
    EXPECT_EQ(v.signalingPort, d.signalingPort);
    EXPECT_EQ(v.videoPort, d.videoPort);
    EXPECT_EQ(v.audioPort, d.audioPort);
    EXPECT_EQ(v.inputPort, 65535);
    EXPECT_EQ(v.targetFps, d.targetFps);
    EXPECT_EQ(v.targetBitrate, d.targetBitrate);
    EXPECT_EQ(v.maxBitrate, d.maxBitrate);
    EXPECT_EQ(v.sharpness, 0.5f);
    for (const char* key : {"\"signalingPort\" = 70000", "\"videoPort\" = 0", "\"audioPort\" = -1",
                            "\"targetFps\" = 241", "\"targetBitrate\" = 0", "\"maxBitrate\" = 4294967296"})
        EXPECT_TRUE(logged(level_enum::warn, key)) << key;
    EXPECT_FALSE(logged(level_enum::warn, "inputPort"));
}

TEST_F(SettingsTest, RangeEdgesAndFractions) {
    Settings settings(file);
    EXPECT_TRUE(loadText(settings, R"({"signalingPort": 1, "videoPort": 9000.9, "targetFps": 240,
                                      "targetBitrate": 1, "lastUpdateCheck": 1700000000.5})"));
    const SettingsValues v = settings.values();
    EXPECT_EQ(v.signalingPort, 1);
    EXPECT_EQ(v.videoPort, 9000);  // the fraction is cut off
    EXPECT_EQ(v.targetFps, 240u);
    EXPECT_EQ(v.targetBitrate, 1u);
    EXPECT_EQ(v.lastUpdateCheck, 1700000000);
    EXPECT_EQ(loggedAt(level_enum::warn), 0u);
}

TEST_F(SettingsTest, MaxBitrateBelowTargetIsRefused) {
    {
        Settings settings(file);
        EXPECT_TRUE(loadText(settings, R"({"targetBitrate": 30000, "maxBitrate": 25000})"));
        EXPECT_EQ(settings.values().targetBitrate, 30000u);
        EXPECT_EQ(settings.values().maxBitrate, 50000u);
        EXPECT_TRUE(logged(level_enum::warn, "\"maxBitrate\" = 25000"));
    }
    {
        // Even the default is below this target: the ceiling becomes the target.
        Settings settings(file);
        EXPECT_TRUE(loadText(settings, R"({"targetBitrate": 80000, "maxBitrate": 60000})"));
        EXPECT_EQ(settings.values().maxBitrate, 80000u);
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
    EXPECT_TRUE(logged(level_enum::warn, keptName));

    settings.resetToDefaults();
    ASSERT_TRUE(settings.save());
    EXPECT_EQ(readFile(files[0]), broken);
    EXPECT_EQ(readFile(file), onDisk(kDefaultsText));

    // A second bad file in the same second does not overwrite the first copy.
    EXPECT_FALSE(loadText(settings, "[]"));
    EXPECT_EQ(readFile(files[0]), broken);
    EXPECT_EQ(filesIn(file.parent_path()).size(), 2u);
}

TEST_F(SettingsTest, InvalidUtf8IsReplacedSoSavingStillWorks) {
    Settings settings(file);
    settings.update([](SettingsValues& v) { v.dismissedVersion = "1.0\xFF"; });
    ASSERT_TRUE(settings.save());
    Settings reloaded(file);
    ASSERT_TRUE(reloaded.load());
    EXPECT_EQ(reloaded.values().dismissedVersion, "1.0\xEF\xBF\xBD");
}

TEST_F(SettingsTest, SaveFailureIsReportedAndKeepsTheValues) {
    // The settings folder's place is taken by a file.
    writeFile(temp.path() / "Quillane", "not a folder");
    Settings settings(file);
    settings.update([](SettingsValues& v) { v.targetFps = 50; });
    EXPECT_FALSE(settings.save());
    EXPECT_TRUE(logged(level_enum::err, "Failed to save settings: "));
    EXPECT_EQ(settings.values().targetFps, 50u);
    EXPECT_FALSE(settings.load());
    EXPECT_TRUE(logged(level_enum::err, "Failed to load settings: "));
}

TEST_F(SettingsTest, DefaultFileIsSettingsJsonInTheConfigFolder) {
    // Linux reads the folder from XDG_CONFIG_HOME; Windows asks the shell and ignores it.
    const auto previous = environment("XDG_CONFIG_HOME");
    setEnvironment("XDG_CONFIG_HOME", pathToUtf8(temp.path()));
    Settings settings;
    const auto folder = appConfigFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(folder.filename(), "Quillane");
    EXPECT_EQ(settings.getSettingsPath(), pathToUtf8(folder / "settings.json"));
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    if (!isWindows()) {
        EXPECT_EQ(folder, temp.path() / "Quillane");
    }
    if (previous) setEnvironment("XDG_CONFIG_HOME", *previous);
    else unsetEnvironment("XDG_CONFIG_HOME");
}

TEST_F(SettingsTest, NonAsciiFolderReachesTheSameFile) {
    const auto folder = temp.path() / pathFromUtf8("Zo\xC3\xAB-\xE6\x97\xA5\xE6\x9C\xAC");
    Settings settings(folder / "settings.json");
    settings.update([](SettingsValues& v) { v.targetFps = 61; });
    ASSERT_TRUE(settings.save());
    EXPECT_TRUE(std::filesystem::exists(folder / "settings.json"));
    EXPECT_EQ(settings.getSettingsPath(), pathToUtf8(folder / "settings.json"));
    Settings reloaded(pathFromUtf8(settings.getSettingsPath()));
    ASSERT_TRUE(reloaded.load());
    EXPECT_EQ(reloaded.values().targetFps, 61u);
}
