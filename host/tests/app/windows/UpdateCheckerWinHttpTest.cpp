// WinHTTP's side of the update check under Wine: what each early failure says.

#include "app/UpdateChecker.h"
#include "support/TestSupport.h"

#include "LogCapture.h"

#include <gtest/gtest.h>

using namespace quillane::host;
using namespace quillane::host::test;

TEST(UpdateCheckerWinHttpTest, AClosedPortFailsAtSendingWithWinHttpsError) {
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
}

TEST(UpdateCheckerWinHttpTest, OnlyHttpsAddressesAreAsked) {
    UpdateChecker checker;
    for (const char* url : {"http://127.0.0.1:1/api/updates/latest.json", "not an address", ""}) {
        checker.setUpdateUrl(url);
        EXPECT_FALSE(checker.check());
        EXPECT_EQ(checker.getLastError(), std::string("Invalid update address: ") + url);
    }
}
