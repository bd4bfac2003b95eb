#include "platform/Paths.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>


namespace quillane::host::test {

TEST(PathsWindows, BothFoldersAreQuillaneInTheLocalAppDataFolder) {
    wchar_t local[MAX_PATH] = {};
    ASSERT_TRUE(SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, local)));
    const auto expected = std::filesystem::path(local) / L"Quillane";
    EXPECT_EQ(appConfigFolder(), expected);
    EXPECT_EQ(appStateFolder(), expected);
}

TEST(PathsWindows, Utf8ConvertsToTheWideName) {
    const std::string name = "C:\\Zo\xC3\xAB\\\xE6\x97\xA5\xE6\x9C\xAC";
    EXPECT_EQ(pathFromUtf8(name).native(), L"C:\\Zo\u00EB\\\u65E5\u672C");
    EXPECT_EQ(pathToUtf8(pathFromUtf8(name)), name);
}

}  // namespace quillane::host::test
