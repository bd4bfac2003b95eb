#include "platform/windows/DpiAwarenessWindows.h"

#include <gtest/gtest.h>

#include <string>


namespace quillane::host::test {

namespace {

DPI_AWARENESS_CONTEXT g_requested = nullptr;
int g_calls = 0;

BOOL WINAPI recordContext(DPI_AWARENESS_CONTEXT context) {
    ++g_calls;
    g_requested = context;
    return TRUE;
}

}  // namespace

// Windows before 10 1703 has no SetProcessDpiAwarenessContext: nothing is called.
TEST(DpiAwarenessWindows, MissingFunctionIsSkipped) {
    EXPECT_FALSE(enablePerMonitorDpiAwareness([](const char*) -> FARPROC { return nullptr; }));
}

TEST(DpiAwarenessWindows, AsksForPerMonitorVersionTwo) {
    g_calls = 0;
    EXPECT_TRUE(enablePerMonitorDpiAwareness([](const char* name) -> FARPROC {
        return std::string(name) == "SetProcessDpiAwarenessContext" ? reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(recordContext))
                                                                      : nullptr;
    }));
    EXPECT_EQ(g_calls, 1);
    EXPECT_EQ(g_requested, DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
}

// The user32 that is there: Wine's has the function, and finding it must not
// depend on the program importing it.
TEST(DpiAwarenessWindows, FindsUser32Functions) {
    EXPECT_NE(findUser32Function("GetSystemMetrics"), nullptr);
    EXPECT_EQ(findUser32Function("NoSuchFunctionInUser32"), nullptr);
}

}  // namespace quillane::host::test
