#include "app/Settings.h"
#include "encode/VideoLimits.h"

#include "platform/AtomicFile.h"
#include "platform/Paths.h"

#include <fmt/chrono.h>
#include <nlohmann/json.hpp>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <ctime>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>

namespace quillane::host {
namespace {

using json = nlohmann::json;

constexpr std::int64_t kPortRange[] = {1, 65535};
constexpr std::int64_t kFpsRange[] = {kMinTargetFps, kMaxTargetFps};
// Up to the encoders' ceiling: a larger value would make every stream start fail.
constexpr std::int64_t kBitrateRange[] = {kMinBitrateKbps, kMaxBitrateKbps};

// A JSON number (fraction cut off) or true/false as a whole number; nullopt when
// it lies outside [low, high]. Any other type raises the library's type error.
std::optional<std::int64_t> wholeNumber(const json& value, std::int64_t low, std::int64_t high) {
    long double number;
    if (value.is_boolean())
        number = value.get<bool>() ? 1 : 0;
    else if (value.is_number_unsigned())
        number = static_cast<long double>(value.get<std::uint64_t>());
    else if (value.is_number_integer())
        number = static_cast<long double>(value.get<std::int64_t>());
    else if (value.is_number_float())
        number = std::trunc(static_cast<long double>(value.get<double>()));
    else
        return value.get<std::int64_t>();  // throws the type error
    if (!(number >= static_cast<long double>(low) && number <= static_cast<long double>(high))) return std::nullopt;
    return static_cast<std::int64_t>(number);
}

// Reads the known keys of one JSON object into a values record.
class Reader {
public:
    Reader(const json& object, SettingsValues& values) : object(object), values(values) {}

    template <class T>
    void whole(const char* key, T SettingsValues::*field, const std::int64_t (&range)[2]) {
        with(key, [&](const json& value) {
            if (auto number = wholeNumber(value, range[0], range[1]))
                values.*field = static_cast<T>(*number);
            else
                refuse(key, value, fmt::format("{} to {}", range[0], range[1]), field);
        });
    }

    void real(const char* key, float SettingsValues::*field) {
        with(key, [&](const json& value) {
            const double number = value.is_boolean() ? (value.get<bool>() ? 1.0 : 0.0) : value.get<double>();
            // A float that overflows would be written back as null and break the next load.
            if (std::isfinite(number) && std::fabs(number) <= FLT_MAX)
                values.*field = static_cast<float>(number);
            else
                refuse(key, value, "a single-precision number", field);
        });
    }

    void flag(const char* key, bool SettingsValues::*field) {
        with(key, [&](const json& value) { values.*field = value.get<bool>(); });
    }

    void text(const char* key, std::string SettingsValues::*field) {
        with(key, [&](const json& value) { values.*field = value.get<std::string>(); });
    }

private:
    template <class Apply>
    void with(const char* key, Apply&& apply) {
        const auto found = object.find(key);
        if (found == object.end()) return;
        try {
            apply(*found);
        } catch (const json::exception& e) {
            throw std::runtime_error(fmt::format("\"{}\": {}", key, e.what()));
        }
    }

    template <class T>
    void refuse(const char* key, const json& value, const std::string& allowed, T SettingsValues::*field) {
        values.*field = SettingsValues{}.*field;
        SPDLOG_WARN("Settings: \"{}\" = {} is out of range ({}); keeping the default {}", key, value.dump(),
                    allowed, values.*field);
    }

    const json& object;
    SettingsValues& values;
};

SettingsValues parseSettings(const std::string& text, const SettingsValues& current) {
    const json document = json::parse(text, nullptr, true, false);
    if (!document.is_object())
        throw std::runtime_error(fmt::format("the top level is {} {}, not an object",
                                             document.is_array() ? "an" : "a", document.type_name()));
    SettingsValues values = current;
    Reader read(document, values);
    read.whole("signalingPort", &SettingsValues::signalingPort, kPortRange);
    read.whole("videoPort", &SettingsValues::videoPort, kPortRange);
    read.whole("audioPort", &SettingsValues::audioPort, kPortRange);
    read.whole("inputPort", &SettingsValues::inputPort, kPortRange);
    read.whole("targetBitrate", &SettingsValues::targetBitrate, kBitrateRange);
    read.whole("maxBitrate", &SettingsValues::maxBitrate, kBitrateRange);
    read.whole("targetFps", &SettingsValues::targetFps, kFpsRange);
    read.text("preferredEncoder", &SettingsValues::preferredEncoder);
    read.flag("sharpeningEnabled", &SettingsValues::sharpeningEnabled);
    read.real("sharpness", &SettingsValues::sharpness);
    read.flag("vsyncEnabled", &SettingsValues::vsyncEnabled);
    read.flag("fullRangeColor", &SettingsValues::fullRangeColor);
    read.flag("autoCheckUpdates", &SettingsValues::autoCheckUpdates);
    read.whole("lastUpdateCheck", &SettingsValues::lastUpdateCheck,
               {std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max()});
    read.text("dismissedVersion", &SettingsValues::dismissedVersion);

    if (values.maxBitrate < values.targetBitrate) {
        // The encoder cannot cap below its target; the default is raised to the
        // target when even that is too low.
        const std::uint32_t fallback = std::max(SettingsValues{}.maxBitrate, values.targetBitrate);
        SPDLOG_WARN("Settings: \"maxBitrate\" = {} is below \"targetBitrate\" = {}; using {}", values.maxBitrate,
                    values.targetBitrate, fallback);
        values.maxBitrate = fallback;
    }
    return values;
}

// Moves a file that failed to load out of the way, so that the next save cannot
// destroy what the user may want to repair.
void keepBadFile(const std::filesystem::path& file) {
    const std::string stamp = fmt::format("{:%Y%m%d-%H%M%S}", fmt::localtime(std::time(nullptr)));
    std::filesystem::path kept = file;
    kept += ".bad-" + stamp;
    std::error_code error;
    for (int n = 1; std::filesystem::exists(kept, error) && n < 100; ++n) {
        kept = file;
        kept += ".bad-" + stamp + "-" + std::to_string(n);
    }
    std::filesystem::rename(file, kept, error);
    if (error)
        SPDLOG_WARN("Could not keep the unreadable settings file as {}: {}", pathToUtf8(kept), error.message());
    else
        SPDLOG_WARN("Kept the settings file that failed to load as {}", pathToUtf8(kept));
}

}  // namespace

Settings::Settings() = default;

Settings::Settings(std::filesystem::path file) : file(std::move(file)) {}

SettingsValues Settings::values() const {
    std::lock_guard lock(mutex);
    return current;
}

void Settings::setValues(const SettingsValues& values) {
    std::lock_guard lock(mutex);
    current = values;
}

void Settings::resetToDefaults() {
    std::lock_guard lock(mutex);
    current = SettingsValues{};
}

std::filesystem::path Settings::prepareFile() const {
    if (!file.empty()) {
        if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path());
        return file;
    }
    const auto folder = appConfigFolder();
    if (folder.empty()) return "settings.json";
    std::filesystem::create_directories(folder);
    return folder / "settings.json";
}

std::string Settings::getSettingsPath() const {
    try {
        return pathToUtf8(prepareFile());
    } catch (const std::exception& e) {
        SPDLOG_WARN("Cannot create the settings folder: {}", e.what());
        if (!file.empty()) return pathToUtf8(file);
        const auto folder = appConfigFolder();
        return pathToUtf8(folder.empty() ? std::filesystem::path("settings.json") : folder / "settings.json");
    }
}

bool Settings::load() {
    std::lock_guard lock(mutex);
    std::filesystem::path path;
    bool read = false;
    try {
        path = prepareFile();
        // A save that a kill interrupted leaves its temporary file behind.
        removeLeftoverTemporaryFiles(path);
        std::ifstream in(path, std::ios::binary);
        if (!in) return false;
        const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        if (in.bad()) throw std::runtime_error("cannot read " + pathToUtf8(path));
        read = true;
        current = parseSettings(text, current);
        SPDLOG_INFO("Settings loaded from {}", pathToUtf8(path));
        return true;
    } catch (const std::exception& e) {
        SPDLOG_ERROR("Failed to load settings: {}", e.what());
        if (read) keepBadFile(path);
        return false;
    }
}

bool Settings::save() {
    std::lock_guard lock(mutex);
    return saveLocked();
}

bool Settings::saveLocked() {
    try {
        const std::string text = toFileText(current);
        const auto path = prepareFile();
        const AtomicWriteResult result = writeTextFileAtomically(path, text);
        if (result.status == AtomicWriteResult::Status::OpenFailed) {
            SPDLOG_ERROR("Failed to open settings file for writing");
            SPDLOG_WARN("Settings file: {}", result.error);
            return false;
        }
        if (!result) throw std::runtime_error(result.error);
        SPDLOG_INFO("Settings saved to {}", pathToUtf8(path));
        return true;
    } catch (const std::exception& e) {
        SPDLOG_ERROR("Failed to save settings: {}", e.what());
        return false;
    }
}

std::string Settings::toFileText(const SettingsValues& v) {
    json j = json::object();
    j["signalingPort"] = v.signalingPort;
    j["videoPort"] = v.videoPort;
    j["audioPort"] = v.audioPort;
    j["inputPort"] = v.inputPort;
    j["targetBitrate"] = v.targetBitrate;
    j["maxBitrate"] = v.maxBitrate;
    j["targetFps"] = v.targetFps;
    j["preferredEncoder"] = v.preferredEncoder;
    j["sharpeningEnabled"] = v.sharpeningEnabled;
    j["sharpness"] = static_cast<double>(v.sharpness);
    j["vsyncEnabled"] = v.vsyncEnabled;
    j["fullRangeColor"] = v.fullRangeColor;
    j["autoCheckUpdates"] = v.autoCheckUpdates;
    j["lastUpdateCheck"] = v.lastUpdateCheck;
    j["dismissedVersion"] = v.dismissedVersion;
    // Invalid UTF-8 (a version text from the network, say) must not make every
    // later save fail: it is replaced rather than refused.
    return j.dump(4, ' ', false, json::error_handler_t::replace);
}

}  // namespace quillane::host
