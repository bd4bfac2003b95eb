// Replays the fuzz target's seed corpus, so that the target builds and its
// checks hold in every ordinary test run.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

namespace quillane::host::test {

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

TEST(SignalingFuzzCorpus, EverySeedRunsCleanly) {
    const std::filesystem::path corpus = std::filesystem::path(QH_SOURCE_DIR) / "host/tests/network/fuzz/corpus";
    std::size_t seeds = 0;
    for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
        std::ifstream file(entry.path(), std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        EXPECT_EQ(LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), 0)
            << entry.path();
        ++seeds;
    }
    EXPECT_GE(seeds, 10u);
}

}  // namespace quillane::host::test
