// Accepting while the process has no free descriptor (Linux's resource limit).
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include <gtest/gtest.h>

#include "Eventually.h"
#include "LogCapture.h"
#include "SignalingTestClient.h"
#include "ProcessResources.h"
#include "network/SignalingServer.h"

namespace quillane::host::test {
namespace {

// Lowers the limit a little above what is open and takes every free slot;
// undone on any exit.
class DescriptorSqueeze {
public:
    DescriptorSqueeze() { getrlimit(RLIMIT_NOFILE, &original); }
    ~DescriptorSqueeze() {
        release();
        setrlimit(RLIMIT_NOFILE, &original);
    }

    bool fill() {
        rlimit squeezed = original;
        const auto open = openDescriptorCount();
        if (!open) {
            return false;
        }
        squeezed.rlim_cur = *open + 64;
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

TEST(SignalingDescriptors, AcceptFailuresAreLoggedRateLimitedAndAcceptingResumes) {
    LogCapture log;
    SignalingServer server(0);
    ASSERT_TRUE(server.start());
    const auto port = server.port();

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

    // Accepting is retried every 100 ms but reported about once a second.
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
