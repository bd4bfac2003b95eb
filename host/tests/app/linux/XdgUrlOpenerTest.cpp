// The real opener runs xdg-open with the address as its one argument; a
// stand-in xdg-open on PATH records what it was given.

#include "app/UpdateChecker.h"
#include "app/UrlOpener.h"
#include "support/TestSupport.h"

#include "Eventually.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace quillane::host;
using namespace quillane::host::test;

TEST(XdgUrlOpenerTest, TheAddressReachesXdgOpenAsOneArgumentNoShellSees) {
    TempFolder temp;
    const auto record = temp.path() / "arguments";
    const auto script = temp.path() / "xdg-open";
    writeFile(script, "#!/bin/sh\nprintf '%s\\n' \"$#\" \"$1\" > '" + record.string() + ".part'\nmv '" +
                          record.string() + ".part' '" + record.string() + "'\n");
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    const auto oldPath = environment("PATH").value_or("/usr/bin:/bin");
    setEnvironment("PATH", temp.path().string() + ":" + oldPath);

    const auto marker = temp.path() / "pwned";
    const std::string url = "https://quillane.app/a b;touch " + marker.string() + "&$(touch " + marker.string() +
                            ")'\"`touch " + marker.string() + "`";
    const bool opened = UpdateChecker::openDownloadPage(url);
    setEnvironment("PATH", oldPath);
    ASSERT_TRUE(opened);

    ASSERT_TRUE(eventually([&] { return std::filesystem::exists(record); }));
    EXPECT_EQ(readLines(record), (std::vector<std::string>{"1", url}));
    EXPECT_FALSE(std::filesystem::exists(marker));
}

TEST(XdgUrlOpenerTest, AMissingXdgOpenIsAFailure) {
    TempFolder temp;
    const auto oldPath = environment("PATH").value_or("/usr/bin:/bin");
    setEnvironment("PATH", temp.path().string());
    const bool opened = createUrlOpener()->open("https://quillane.app/");
    setEnvironment("PATH", oldPath);
    EXPECT_FALSE(opened);
}
