// The real opener runs xdg-open with the address as its one argument; a
// stand-in xdg-open on PATH records what it was given.

#include "app/UpdateChecker.h"
#include "app/UrlOpener.h"
#include "support/TestSupport.h"

#include "Eventually.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

using namespace quillane::host;
using namespace quillane::host::test;

// Puts `folder` first on PATH (or alone) until it goes.
struct PathOverride {
    PathOverride(const std::filesystem::path& folder, bool alone) {
        setEnvironment("PATH", alone ? folder.string() : folder.string() + ":" + old);
    }
    ~PathOverride() { setEnvironment("PATH", old); }
    std::string old = environment("PATH").value_or("/usr/bin:/bin");
};

TEST(XdgUrlOpenerTest, TheAddressReachesXdgOpenAsOneArgumentNoShellSees) {
    TempFolder temp;
    const auto record = temp.path() / "arguments";
    const auto script = temp.path() / "xdg-open";
    writeFile(script, "#!/bin/sh\nprintf '%s\\n' \"$#\" \"$1\" > '" + record.string() + ".part'\nmv '" +
                          record.string() + ".part' '" + record.string() + "'\n");
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    std::optional<PathOverride> path(std::in_place, temp.path(), false);

    const auto marker = temp.path() / "pwned";
    const std::string url = "https://quillane.app/a b;touch " + marker.string() + "&$(touch " + marker.string() +
                            ")'\"`touch " + marker.string() + "`";
    ASSERT_TRUE(UpdateChecker::openDownloadPage(url));
    path.reset();

    ASSERT_TRUE(eventually([&] { return std::filesystem::exists(record); }));
    EXPECT_EQ(readLines(record), (std::vector<std::string>{"1", url}));
    EXPECT_FALSE(std::filesystem::exists(marker));
}

TEST(XdgUrlOpenerTest, AMissingXdgOpenIsAFailure) {
    TempFolder temp;
    PathOverride path(temp.path(), true);
    EXPECT_FALSE(createUrlOpener()->open("https://quillane.app/"));
}
