#include "platform/CrashHandler.h"

#include "platform/Paths.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <regex>


namespace quillane::host::test {

TEST(CrashHandler, DumpPathIsTimestampedInTheCrashesFolder) {
    TempFolder temp;
    const auto previous = environment("XDG_STATE_HOME");
    setEnvironment("XDG_STATE_HOME", pathToUtf8(temp.path()));
    const auto path = GetCrashDumpPath();
    EXPECT_EQ(path.parent_path(), appStateFolder() / "crashes");
    EXPECT_TRUE(std::filesystem::is_directory(path.parent_path()));
    const std::string name = path.filename().string();
    EXPECT_TRUE(std::regex_match(name, std::regex(isWindows() ? R"(crash_\d{8}_\d{6}\.dmp)" : R"(crash_\d{8}_\d{6}\.txt)")))
        << name;
    if (previous) setEnvironment("XDG_STATE_HOME", *previous);
    else unsetEnvironment("XDG_STATE_HOME");
}

TEST(CrashHandler, AtMostEightCleanupsAreKept) {
    int accepted = 0;
    for (int i = 0; i < 10; ++i) accepted += registerCrashCleanup([]() noexcept {}) ? 1 : 0;
    EXPECT_EQ(accepted, 8);
    EXPECT_FALSE(registerCrashCleanup(nullptr));
}

}  // namespace quillane::host::test
