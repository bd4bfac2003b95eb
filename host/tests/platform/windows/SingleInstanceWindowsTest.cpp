#include "platform/windows/SingleInstanceWindows.h"

#include <gtest/gtest.h>

#include <string>

#include <windows.h>

namespace quillane::host::test {
namespace {

TEST(SingleInstanceWindowsTest, FirstHoldsTheNamedMutexUntilItReleasesIt) {
    // A name of its own, so that the test never meets a running host's mutex.
    const std::wstring name = L"QuillaneHost_Test_Mutex_" + std::to_wstring(GetCurrentProcessId());
    Win32SingleInstance first(name);
    ASSERT_TRUE(first.acquire());
    {
        Win32SingleInstance refused(name);
        EXPECT_FALSE(refused.acquire());
    }  // a refused instance going away leaves the holder's lock alone
    Win32SingleInstance second(name);
    EXPECT_FALSE(second.acquire());
    // What a second process would find: the named object exists.
    HANDLE other = OpenMutexW(SYNCHRONIZE, FALSE, name.c_str());
    ASSERT_NE(other, nullptr);
    CloseHandle(other);
    first.release();
    EXPECT_EQ(OpenMutexW(SYNCHRONIZE, FALSE, name.c_str()), nullptr);
    Win32SingleInstance third(name);
    EXPECT_TRUE(third.acquire());
}

} // namespace
} // namespace quillane::host
