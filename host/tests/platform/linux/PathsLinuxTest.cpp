#include "platform/Paths.h"

#include "TestSupport.h"

#include <gtest/gtest.h>


namespace quillane::host::test {

namespace {

// Sets variables for one test and restores them afterwards.
class Environment {
public:
    void set(const std::string& name, const std::optional<std::string>& value) {
        saved_.emplace_back(name, environment(name));
        if (value) setEnvironment(name, *value);
        else unsetEnvironment(name);
    }
    ~Environment() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->second) setEnvironment(it->first, *it->second);
            else unsetEnvironment(it->first);
        }
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace

TEST(PathsLinux, FoldersComeFromXdgThenHomeThenTheUserDatabase) {
    Environment env;
    env.set("HOME", "/home/someone");
    env.set("XDG_CONFIG_HOME", "/tmp/qh-config");
    env.set("XDG_STATE_HOME", "/tmp/qh-state");
    EXPECT_EQ(appConfigFolder(), "/tmp/qh-config/Quillane");
    EXPECT_EQ(appStateFolder(), "/tmp/qh-state/Quillane");
    EXPECT_FALSE(std::filesystem::exists("/tmp/qh-config/Quillane"));  // nothing is created

    // Unset, empty or relative variables fall back to the home folder.
    env.set("XDG_CONFIG_HOME", std::nullopt);
    env.set("XDG_STATE_HOME", "");
    EXPECT_EQ(appConfigFolder(), "/home/someone/.config/Quillane");
    EXPECT_EQ(appStateFolder(), "/home/someone/.local/state/Quillane");
    env.set("XDG_CONFIG_HOME", "relative/config");
    EXPECT_EQ(appConfigFolder(), "/home/someone/.config/Quillane");

    env.set("HOME", std::nullopt);
    env.set("XDG_CONFIG_HOME", std::nullopt);
    const auto folder = appConfigFolder();
    EXPECT_TRUE(folder.is_absolute()) << folder;
    EXPECT_EQ(folder.filename(), "Quillane");
    EXPECT_EQ(folder.parent_path().filename(), ".config");
}

TEST(PathsLinux, Utf8RoundTrip) {
    const std::string name = "/tmp/Zo\xC3\xAB/\xE6\x97\xA5\xE6\x9C\xAC";
    EXPECT_EQ(pathToUtf8(pathFromUtf8(name)), name);
    EXPECT_EQ(pathFromUtf8(name).native(), name);
}

}  // namespace quillane::host::test
