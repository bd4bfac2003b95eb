// WinHTTP's side of the update check under Wine: what each early failure says.

#include "app/UpdateChecker.h"
#include "TestSupport.h"

#include "LogCapture.h"

#include <gtest/gtest.h>

#include <boost/asio/ip/tcp.hpp>

#include <chrono>
#include <memory>
#include <thread>


namespace quillane::host::test {

TEST(UpdateCheckerWinHttpTest, AClosedPortOrANonHttpsAddressFailsWithItsText) {
    LogCapture log;
    UpdateChecker checker;
    checker.setCurrentVersion("1.1.9");
    checker.setUpdateUrl("https://127.0.0.1:" + std::to_string(freeTcpPort()) + "/api/updates/latest.json");
    EXPECT_FALSE(checker.check());
    // ERROR_WINHTTP_CANNOT_CONNECT
    EXPECT_EQ(checker.getLastError(), "Failed to send HTTP request (error: 12029)");
    EXPECT_TRUE(checker.lastCheckFailed());
    EXPECT_FALSE(checker.isUpdateAvailable());
    EXPECT_TRUE(log.contains("Failed to send HTTP request (error: 12029)"));

    for (const char* url : {"http://127.0.0.1:1/api/updates/latest.json", "not an address", ""}) {
        checker.setUpdateUrl(url);
        EXPECT_FALSE(checker.check());
        EXPECT_EQ(checker.getLastError(), std::string("Invalid update address: ") + url);
    }
}

TEST(UpdateCheckerWinHttpTest, LeavingDuringACheckOnASilentServerReturnsWithinASecond) {
    LogCapture log;
    // Never accepted: the connection waits in the backlog, and the TLS handshake with it.
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor listener(io, {boost::asio::ip::address_v4::loopback(), 0});
    auto checker = std::make_unique<UpdateChecker>();
    checker->setCurrentVersion("1.1.9");
    const auto port = listener.local_endpoint().port();
    checker->setUpdateUrl("https://127.0.0.1:" + std::to_string(port) + "/api/updates/latest.json");
    bool finished = false;
    ASSERT_TRUE(checker->checkAsync([&](bool) { finished = true; }));
    ASSERT_TRUE(log.waitFor("Checking for updates..."));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // into the handshake
    EXPECT_TRUE(checker->isCheckInProgress());

    const auto start = std::chrono::steady_clock::now();
    checker.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_FALSE(finished);
}

}  // namespace quillane::host::test
