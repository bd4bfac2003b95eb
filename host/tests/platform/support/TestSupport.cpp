#include "TestSupport.h"

#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

namespace quillane::host::test {

TempFolder::TempFolder() {
    std::random_device random;
    std::mt19937_64 rng(random());
    for (;;) {
        std::ostringstream name;
        name << "qh-test-" << std::hex << rng();
        path_ = std::filesystem::temp_directory_path() / name.str();
        if (std::filesystem::create_directories(path_)) break;
    }
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string readFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const std::filesystem::path& file, const std::string& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::vector<std::string> readLines(const std::filesystem::path& file) {
    std::vector<std::string> lines;
    std::istringstream in(readFile(file));
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

}  // namespace quillane::host::test
