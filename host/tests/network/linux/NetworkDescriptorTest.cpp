// Descriptor exhaustion and descriptor/thread leaks, observed through Linux's
// /proc and resource limits.
#include <dirent.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "Eventually.h"
#include "LogCapture.h"
#include "SignalingTestClient.h"
#include "network/DiscoveryResponder.h"
#include "network/SignalingServer.h"

namespace quillane::host::test {
namespace {

std::size_t countEntries(const char* directory) {
    std::size_t count = 0;
    if (DIR* dir = opendir(directory)) {
        while (const dirent* entry = readdir(dir)) {
            count += entry->d_name[0] != '.' ? 1 : 0;
        }
        closedir(dir);
    }
    return count;
}

std::size_t openDescriptors() {
    return countEntries("/proc/self/fd") - 1;  // the directory stream itself
}

std::size_t threads() {
    return countEntries("/proc/self/task");
}

TEST(NetworkDescriptors, StartAndStopManyTimesLeaveNoDescriptorsOrThreads) {
    LogCapture log;
    const std::size_t descriptorsBefore = openDescriptors();
    const std::size_t threadsBefore = threads();
    {
        SignalingServer server(0);
        DiscoveryResponder responder("Leak check", 9876, 0);
        for (int round = 0; round < 25; ++round) {
            ASSERT_TRUE(server.start()) << round;
            ASSERT_TRUE(responder.start()) << round;
            const auto port = server.getPort();
            SignalingClient welcomed;
            ASSERT_TRUE(welcomed.connect(port));
            ASSERT_TRUE(welcomed.request({{"type", "hello"}}, "welcome"));
            RawConnection handshaking;
            ASSERT_TRUE(handshaking.connect(port));
            ASSERT_TRUE(handshaking.send(webSocketUpgradeRequest(port).substr(0, 20)));
            RawConnection silent;
            ASSERT_TRUE(silent.connect(port));
            ASSERT_TRUE(discover(responder.getListenPort()));
            ASSERT_TRUE(eventually([&] { return server.getClientCount() == 3; }));
            responder.stop();
            server.stop();
            EXPECT_TRUE(welcomed.waitForClose(2s));
        }
    }
    EXPECT_EQ(openDescriptors(), descriptorsBefore);
    EXPECT_EQ(threads(), threadsBefore);
}

// Restores the descriptor limit and frees the filler descriptors on any exit.
class DescriptorSqueeze {
public:
    DescriptorSqueeze() { getrlimit(RLIMIT_NOFILE, &original); }
    ~DescriptorSqueeze() {
        release();
        setrlimit(RLIMIT_NOFILE, &original);
    }

    // Lowers the limit a little above what is open and takes every free slot.
    bool fill() {
        rlimit squeezed = original;
        squeezed.rlim_cur = openDescriptors() + 64;
        if (setrlimit(RLIMIT_NOFILE, &squeezed) != 0) {
            return false;
        }
        for (;;) {
            const int fd = dup(STDERR_FILENO);
            if (fd < 0) {
                return errno == EMFILE;
            }
            fillers.push_back(fd);
        }
    }

    void release() {
        for (const int fd : fillers) {
            close(fd);
        }
        fillers.clear();
    }

private:
    rlimit original{};
    std::vector<int> fillers;
};

TEST(NetworkDescriptors, AcceptFailuresAreLoggedRateLimitedAndAcceptingResumes) {
    LogCapture log;
    SignalingServer server(0);
    ASSERT_TRUE(server.start());
    const auto port = server.getPort();

    // The client's socket exists before the squeeze; connecting needs no new descriptor.
    const int client = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(client, 0);
    DescriptorSqueeze squeeze;
    ASSERT_TRUE(squeeze.fill());
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << std::strerror(errno);

    // Accepting fails while no descriptor is free; it is retried every 100 ms
    // but reported about once a second.
    std::this_thread::sleep_for(1500ms);
    const std::size_t reports = log.count("Accept failed: ");
    EXPECT_GE(reports, 1u);
    EXPECT_LE(reports, 3u);
    squeeze.release();

    const std::string request = webSocketUpgradeRequest(port);
    ASSERT_EQ(send(client, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
    timeval timeout{5, 0};
    setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    char response[512] = {};
    const ssize_t received = recv(client, response, sizeof response - 1, 0);
    close(client);
    ASSERT_GT(received, 0);
    EXPECT_EQ(std::string(response, 12), "HTTP/1.1 101");
    EXPECT_TRUE(signalingAlive(port));
}

}  // namespace
}  // namespace quillane::host::test
