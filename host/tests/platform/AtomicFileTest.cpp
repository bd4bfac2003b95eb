#include "platform/AtomicFile.h"

#include "TestSupport.h"

#include <gtest/gtest.h>


namespace quillane::host::test {

namespace {

std::size_t entries(const std::filesystem::path& folder) {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(folder), {}));
}

}  // namespace

TEST(AtomicFile, CreatesAndReplacesWithThePlatformLineEnding) {
    TempFolder temp;
    const auto file = temp.path() / "a.json";
    ASSERT_TRUE(writeTextFileAtomically(file, "first\nsecond"));
    EXPECT_EQ(readFile(file), isWindows() ? "first\r\nsecond" : "first\nsecond");
    ASSERT_TRUE(writeTextFileAtomically(file, ""));
    EXPECT_TRUE(std::filesystem::exists(file));
    EXPECT_EQ(readFile(file), "");
    EXPECT_EQ(entries(temp.path()), 1u);  // no temporary file left
}

TEST(AtomicFile, FailuresSayWhereAndLeaveNothingBehind) {
    TempFolder temp;
    auto result = writeTextFileAtomically(temp.path() / "missing" / "a.json", "x");
    EXPECT_FALSE(result);
    EXPECT_EQ(result.status, AtomicWriteResult::Status::OpenFailed);
    EXPECT_NE(result.error.find("missing"), std::string::npos) << result.error;
    EXPECT_EQ(entries(temp.path()), 0u);

    // A folder in the way is kept; the temporary file is removed.
    const auto target = temp.path() / "taken";
    std::filesystem::create_directories(target / "inside");
    result = writeTextFileAtomically(target, "x");
    EXPECT_EQ(result.status, AtomicWriteResult::Status::ReplaceFailed);
    EXPECT_TRUE(std::filesystem::is_directory(target / "inside"));
    EXPECT_EQ(entries(temp.path()), 1u);
}

TEST(AtomicFile, LeftoverTemporaryFilesOfThatFileAreRemoved) {
    TempFolder temp;
    const auto file = temp.path() / "settings.json";
    writeFile(file, "{}");
    writeFile(temp.path() / "settings.json.tmp-123", "{\"half");
    writeFile(temp.path() / "settings.json.tmp-98765", "");
    writeFile(temp.path() / "other.json.tmp-123", "kept");
    writeFile(temp.path() / "settings.json.tmp-", "kept: no process id");
    EXPECT_EQ(removeLeftoverTemporaryFiles(file), 2u);
    EXPECT_EQ(entries(temp.path()), 3u);
    EXPECT_EQ(readFile(file), "{}");
    EXPECT_EQ(readFile(temp.path() / "other.json.tmp-123"), "kept");
}

}  // namespace quillane::host::test
