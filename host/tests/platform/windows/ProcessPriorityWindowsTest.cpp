#include "platform/ProcessPriority.h"

#include <gtest/gtest.h>

#include <windows.h>

namespace quillane::host::test {
namespace {

TEST(ProcessPriorityTest, BoostRaisesThePriorityClassAndRestoreLowersIt) {
    auto priority = createProcessPriority();
    ASSERT_EQ(GetPriorityClass(GetCurrentProcess()), static_cast<DWORD>(NORMAL_PRIORITY_CLASS));
    EXPECT_TRUE(priority->boost());
    EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), static_cast<DWORD>(HIGH_PRIORITY_CLASS));
    EXPECT_TRUE(priority->boost());  // a second boost changes nothing
    priority->restore();
    EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), static_cast<DWORD>(NORMAL_PRIORITY_CLASS));
    priority->restore();
    EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), static_cast<DWORD>(NORMAL_PRIORITY_CLASS));
}

} // namespace
} // namespace quillane::host
