#include "platform/windows/SingleInstanceWindows.h"

#include <gtest/gtest.h>

#include <string>

#include <windows.h>

namespace quillane::host {
namespace {

// A name of its own, so that the test never meets a running host's mutex.
std::wstring testMutexName() {
    return L"QuillaneHost_Test_Mutex_" + std::to_wstring(GetCurrentProcessId());
}

TEST(SingleInstanceWindowsTest, FirstHoldsTheMutexAndASecondDoesNot) {
    Win32SingleInstance first(testMutexName());
    ASSERT_TRUE(first.acquire());
    Win32SingleInstance second(testMutexName());
    EXPECT_FALSE(second.acquire());
    first.release();
    Win32SingleInstance third(testMutexName());
    EXPECT_TRUE(third.acquire());
}

TEST(SingleInstanceWindowsTest, AnotherProcessSeesTheMutexWhileItIsHeld) {
    Win32SingleInstance first(testMutexName());
    ASSERT_TRUE(first.acquire());
    // What a second process would find: the named object exists.
    HANDLE other = OpenMutexW(SYNCHRONIZE, FALSE, testMutexName().c_str());
    ASSERT_NE(other, nullptr);
    CloseHandle(other);
    first.release();
    EXPECT_EQ(OpenMutexW(SYNCHRONIZE, FALSE, testMutexName().c_str()), nullptr);
}

} // namespace
} // namespace quillane::host
