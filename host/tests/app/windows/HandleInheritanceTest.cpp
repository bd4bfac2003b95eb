// What a program started with handle inheritance (the shell's "open" may start one so) would
// receive from the host: none of its listening sockets, client connections or log file.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "Eventually.h"
#include "SignalingTestClient.h"
#include "VideoClient.h"
#include "app/Logging.h"
#include "network/SignalingServer.h"
#include "network/TcpTransportServer.h"
#include "TestSupport.h"

namespace quillane::host::test {
namespace {

std::uint16_t localPort(SOCKET socket) {
    sockaddr_in address{};
    int length = sizeof address;
    if (getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    return ntohs(address.sin_port);
}

// This process's inheritable handles that are sockets on one of `ports` or files named `fileName`.
std::set<std::string> inheritable(const std::set<std::uint16_t>& ports, const std::wstring& fileName) {
    std::set<std::string> found;
    for (std::uintptr_t value = 4; value < 0x10000; value += 4) {
        const HANDLE handle = reinterpret_cast<HANDLE>(value);
        DWORD flags = 0;
        if (!GetHandleInformation(handle, &flags) || !(flags & HANDLE_FLAG_INHERIT)) continue;
        int type = 0;
        int length = sizeof type;
        if (getsockopt(static_cast<SOCKET>(value), SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length) == 0) {
            if (ports.count(localPort(static_cast<SOCKET>(value)))) found.insert("socket " + std::to_string(value));
            continue;
        }
        wchar_t path[MAX_PATH] = {};
        if (GetFileType(handle) == FILE_TYPE_DISK && GetFinalPathNameByHandleW(handle, path, MAX_PATH, 0) > 0 &&
            std::wstring(path).find(fileName) != std::wstring::npos)
            found.insert("log file " + std::to_string(value));
    }
    return found;
}

TEST(HandleInheritance, TheServersSocketsTheirClientsAndTheLogFileAreNotInheritable) {
    TempFolder folder;
    initializeLogging("inheritance", true, 2, (folder.path() / "inheritance-test.log").string());
    SignalingServer signaling(0);
    TcpTransportServer video(0);
    ASSERT_TRUE(signaling.start());
    ASSERT_TRUE(video.start());
    SignalingClient client;
    ASSERT_TRUE(client.connect(signaling.port()));
    ASSERT_TRUE(client.request({{"type", "hello"}}, "welcome"));
    VideoClient videoClient;
    ASSERT_TRUE(videoClient.connect(video.port()));
    ASSERT_TRUE(eventually([&] { return video.isConnected(); }));

    EXPECT_EQ(inheritable({signaling.port(), video.port()}, L"inheritance-test.log"), std::set<std::string>{});
    video.stop();
    signaling.stop();
    shutdownLogging();
}

}  // namespace
}  // namespace quillane::host::test
