#include "platform/AtomicFile.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

using namespace quillane::host;
using namespace quillane::host::test;

namespace {

std::size_t entries(const std::filesystem::path& folder) {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(folder)) ++n;
    return n;
}

}  // namespace

TEST(AtomicFile, CreatesAndReplacesWithThePlatformLineEnding) {
    TempFolder temp;
    const auto file = temp.path() / "a.json";
    ASSERT_TRUE(writeTextFileAtomically(file, "first\nsecond"));
    EXPECT_EQ(readFile(file), isWindows() ? "first\r\nsecond" : "first\nsecond");
    ASSERT_TRUE(writeTextFileAtomically(file, "x"));
    EXPECT_EQ(readFile(file), "x");
    EXPECT_EQ(entries(temp.path()), 1u);  // no temporary file left
}

TEST(AtomicFile, EmptyTextGivesAnEmptyFile) {
    TempFolder temp;
    const auto file = temp.path() / "empty";
    writeFile(file, "old content");
    ASSERT_TRUE(writeTextFileAtomically(file, ""));
    EXPECT_TRUE(std::filesystem::exists(file));
    EXPECT_EQ(readFile(file), "");
}

TEST(AtomicFile, MissingFolderIsAnOpenFailureAndLeavesNothing) {
    TempFolder temp;
    const auto result = writeTextFileAtomically(temp.path() / "missing" / "a.json", "x");
    EXPECT_FALSE(result);
    EXPECT_EQ(result.status, AtomicWriteResult::Status::OpenFailed);
    EXPECT_NE(result.error.find("missing"), std::string::npos) << result.error;
    EXPECT_EQ(entries(temp.path()), 0u);
}

TEST(AtomicFile, AFolderInTheWayIsAReplaceFailureAndKeepsIt) {
    TempFolder temp;
    const auto target = temp.path() / "taken";
    std::filesystem::create_directories(target / "inside");
    const auto result = writeTextFileAtomically(target, "x");
    EXPECT_EQ(result.status, AtomicWriteResult::Status::ReplaceFailed);
    EXPECT_TRUE(std::filesystem::is_directory(target / "inside"));
    EXPECT_EQ(entries(temp.path()), 1u);  // the temporary file was removed
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
