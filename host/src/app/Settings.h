#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>

#include "encode/VideoLimits.h"

namespace quillane::host {

// The ranges the file accepts; the loader refuses a value outside its range.
// Bitrates go up to kMaxBitrateKbps, the encoders' ceiling.
inline constexpr std::uint32_t kMinBitrateKbps = 1;
inline constexpr std::uint32_t kMinTargetFps = 1;
inline constexpr std::uint32_t kMaxTargetFps = 240;

// The persisted values, in the file's field order; each field's JSON key is its name.
struct SettingsValues {
    std::uint16_t signalingPort = 9876;
    std::uint16_t videoPort = 9944;
    std::uint16_t audioPort = 9945;
    std::uint16_t inputPort = 9946;
    std::uint32_t targetBitrate = kDefaultBitrateKbps;  // kbps
    std::uint32_t maxBitrate = kDefaultMaxBitrateKbps;  // kbps
    std::uint32_t targetFps = kDefaultFps;
    std::string preferredEncoder = "nvenc";
    bool sharpeningEnabled = false;
    float sharpness = 0.7f;
    bool vsyncEnabled = false;
    bool fullRangeColor = false;
    bool autoCheckUpdates = true;
    std::int64_t lastUpdateCheck = 0;  // seconds since 1970-01-01 UTC; 0 = never
    std::string dismissedVersion;

    bool operator==(const SettingsValues&) const = default;
};

// The host's configuration file, "settings.json" in the program's configuration
// folder. Every read, write and save goes through one mutex, because the main
// thread and the update-check thread both change and save it.
class Settings {
public:
    Settings();  // defaults; the file in the platform's configuration folder
    explicit Settings(std::filesystem::path file);  // defaults; the given file
    Settings(const Settings&) = delete;
    Settings& operator=(const Settings&) = delete;

    SettingsValues values() const;
    void setValues(const SettingsValues& values);
    // Changes the values under the lock, so that a concurrent save never sees half a change.
    template <class Change>
    void update(Change&& change) {
        std::lock_guard lock(mutex);
        change(current);
    }
    // Changes the values and saves them as one step.
    template <class Change>
    bool updateAndSave(Change&& change) {
        std::lock_guard lock(mutex);
        change(current);
        return saveLocked();
    }

    void resetToDefaults();

    // The file's path (UTF-8), creating its folder.
    std::string getSettingsPath() const;

    // Reads the file over the current values. False, leaving the values as they
    // were, when the file is missing (silently) or cannot be used (logged; the
    // file is then kept as "settings.json.bad-<timestamp>" so that the next
    // save does not destroy it). A number outside its field's range is refused
    // with a warning naming the key; that field keeps its default.
    bool load();

    // Writes all values to the file atomically; true when written.
    bool save();

    // The file's exact text for these values (lines end with '\n').
    static std::string toFileText(const SettingsValues& values);

private:
    std::filesystem::path prepareFile() const;
    bool saveLocked();

    mutable std::mutex mutex;
    std::filesystem::path file;  // empty: the platform's configuration folder
    SettingsValues current;
};

}  // namespace quillane::host
