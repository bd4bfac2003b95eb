// The real opener runs xdg-open with the address as its one argument; a
// stand-in xdg-open on PATH records what it was given.

#include "app/UpdateChecker.h"
#include "app/UrlOpener.h"
#include "TestSupport.h"

#include "Eventually.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>


namespace quillane::host::test {

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

// Descriptors left inheritable (as a library might leave them): a pipe, a listening socket and a
// connection on it. The browser gets none of them, only standard input, output and error, and
// SIGPIPE, which the host ignores, at its default.
TEST(XdgUrlOpenerTest, TheBrowserStartsWithOnlyStandardDescriptorsAndDefaultSignals) {
    TempFolder temp;
    std::filesystem::create_symlink(QH_DESCRIPTOR_LISTER, temp.path() / "xdg-open");
    const auto record = temp.path() / "descriptors";
    int leakedPipe[2] = {-1, -1};
    ASSERT_EQ(pipe(leakedPipe), 0);
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const int connection = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(connection, reinterpret_cast<sockaddr*>(&address), length), 0);
    const int accepted = accept(listener, nullptr, nullptr);
    ASSERT_GE(accepted, 0);
    const auto oldPipeHandler = signal(SIGPIPE, SIG_IGN);

    const auto oldPath = environment("PATH").value_or("/usr/bin:/bin");
    setEnvironment("PATH", temp.path().string() + ":" + oldPath);
    setEnvironment("QH_DESCRIPTOR_LIST", record.string());
    const bool opened = createUrlOpener()->open("https://quillane.app/");
    setEnvironment("PATH", oldPath);
    unsetEnvironment("QH_DESCRIPTOR_LIST");
    signal(SIGPIPE, oldPipeHandler);
    for (const int fd : {leakedPipe[0], leakedPipe[1], listener, connection, accepted}) close(fd);
    ASSERT_TRUE(opened);

    ASSERT_TRUE(eventually([&] { return std::filesystem::exists(record); }));
    const auto lines = readLines(record);
    ASSERT_FALSE(lines.empty());
    for (auto line = lines.begin(); line + 1 != lines.end(); ++line) {
        EXPECT_LE(std::stoi(*line), 2) << "inherited: " << *line;
    }
    EXPECT_EQ(lines.back(), "SIGPIPE default");
}

}  // namespace quillane::host::test
